// Where the desk's program goes, and how the operator finds their way in
// it: the timeline, the monitor-audio row on real null sinks, the screen
// output on two real displays (Xvfb monitors, one of them unplugged and
// plugged back), the stream controls against a real RTMP server whose
// recording is read back, and the support dialog with the real clipboard.

// QtTest first: the OBS headers' SIMD shim must come after the compiler's intrinsics.
#include <QtTest>

#include "desk_support.h"
#include "frontend.h"
#include "fullscreen_output.h"
#include "media.h"
#include "playback_panel.h"
#include "support_dialog.h"
#include "timeline_slider.h"
#include "video_view.h"
#include "zk_player.h"
#include "zk_streamer.h"

#include <QClipboard>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <QSlider>

#include <cmath>

extern int qInitResources_resources();
extern int qCleanupResources_resources();

using namespace TestSupport;
using namespace DeskSupport;

namespace {

QImage filled(const QSize &size, const QColor &colour)
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(colour);
    return image;
}

} // namespace

class TestDeskOutputs : public QObject {
    Q_OBJECT

private:
    // Puts a still on program (through preview and a swap).
    static void stillOnProgram(PlaybackPanel &p, const QString &path)
    {
        p.loadToPreview(Type::Image, path);
        p.onTake();
    }
    QTemporaryDir m_dir;
    std::unique_ptr<Server> m_rtmp;

private slots:
    void initTestCase();
    void init() { deskSettings().clear(); }
    void timelineTicks_data();
    void timelineTicks();
    void timelinePaintsLabelsInside();
    void timeDisplayAndSeeks();
    void monitorAudio();
    void screenPreselection_data();
    void screenPreselection();
    void screenOutput();
    void screenOutputFollowsDisplays();
    void streamControls();
    void supportDialog();
};

void TestDeskOutputs::initTestCase()
{
    HostLog::instance().install(QString());
    m_rtmp = std::make_unique<Server>(QStringLiteral(ZK_TESTS_DIR "/rtmp-server"), m_dir.path());
    QVERIFY(m_rtmp->up());
    QVERIFY2(QGuiApplication::screens().size() == 2, "the tests expect the two displays A and B of scripts/test");
    for (const char *name : {"av20.mp4", "tone1k.mp4"})
        QVERIFY(QFileInfo(Media::path(name)).exists());
}

void TestDeskOutputs::timelineTicks_data()
{
    QTest::addColumn<int>("maximum");
    QTest::addColumn<int>("interval");
    QTest::addColumn<QString>("lastLabel");
    QTest::newRow("25 s") << 25 << 5 << "0:25";
    QTest::newRow("95 s") << 95 << 10 << "1:30";
    QTest::newRow("an hour") << 3600 << 300 << "1:00:00";
    QTest::newRow("7265 s") << 7265 << 600 << "2:00:00";
    QTest::newRow("ten hours") << 36000 << 600 << "10:00:00";
}

void TestDeskOutputs::timelineTicks()
{
    QFETCH(int, maximum);
    QFETCH(int, interval);
    QFETCH(QString, lastLabel);
    QCOMPARE(TimelineSlider::tickInterval(maximum), interval);
    QCOMPARE(TimelineSlider::tickLabel(maximum / interval * interval, maximum), lastLabel);
    QCOMPARE(TimelineSlider::tickLabel(0, maximum), maximum < 3600 ? QStringLiteral("0:00") : QStringLiteral("0:00:00"));
    if (maximum == 36000)
        QCOMPARE(maximum / interval + 1, 61);
}

void TestDeskOutputs::timelinePaintsLabelsInside()
{
    // Labels at the ends are moved inside: the first starts at x = 0, the
    // last ends at the right edge; an empty timeline paints none.
    TimelineSlider slider(nullptr);
    slider.resize(600, 42);
    auto labelColumns = [&slider] {
        const QImage shot = slider.grab().toImage();
        const QColor background = shot.pixelColor(shot.width() / 2, shot.height() - 2);
        QVector<int> columns;
        for (int x = 0; x < shot.width(); ++x)
            for (int y = shot.height() - 12; y < shot.height() - 3; ++y)
                if (qAbs(qGray(shot.pixel(x, y)) - qGray(background.rgb())) > 40) {
                    columns << x;
                    break;
                }
        return columns;
    };
    slider.setRange(0, 0);
    QVERIFY(labelColumns().isEmpty());
    slider.setRange(0, 25);
    const QVector<int> columns = labelColumns();
    QVERIFY(!columns.isEmpty());
    QVERIFY2(columns.first() <= 1 && columns.last() >= 597, qPrintable(QString("%1..%2").arg(columns.first()).arg(columns.last())));
}

void TestDeskOutputs::timeDisplayAndSeeks()
{
    const std::pair<double, const char *> times[] = {{3725.9, "01:02:05"}, {0.4, "00:00:00"}, {360000, "100:00:00"}};
    for (const auto &[seconds, text] : times)
        QCOMPARE(PlaybackPanel::formatTime(seconds), QString(text));

    auto panel = makePanel();
    PlaybackPanel &p = *panel;
    // Instant replay on program at 754 s of 900 recorded.
    p.pgm->type = Type::Live;
    p.pgm->player->open(Media::path("av20.mp4"), false, 0);
    p.recordedSecs = 900;
    p.updateTimelineRange();
    QCOMPARE(p.totalLabel->text(), QStringLiteral("/ 00:15:00"));
    p.routeFrame(p.pgm, filled(QSize(4, 4), Qt::gray), 950.0); // past the recorded length
    QCOMPARE(p.delayLabel->text(), QStringLiteral("延时 00:00"));
    // Dragging: the labels follow the frames, the handle stays with the hand.
    p.timeline->setSliderDown(true);
    p.sliderDragging = true;
    p.timeline->setValue(754);
    p.routeFrame(p.pgm, filled(QSize(4, 4), Qt::gray), 300.2);
    QCOMPARE(p.timeline->value(), 754);
    QCOMPARE(p.posLabel->text(), QStringLiteral("00:05:00"));
    const int mark = logMark();
    p.onSliderReleased();
    QCOMPARE(logLines(mark).value(0), (LogLine{LOG_INFO, "[Zerka] 时间轴 seek → 754s (PGM)"}));
    QTRY_VERIFY(!logTexts(mark).filter("[ZKPlayer] seek").isEmpty());
    QVERIFY(!p.sliderDragging);
    p.recordedSecs = 0;
    p.routeFrame(p.pgm, filled(QSize(4, 4), Qt::gray), 10.0);
    QCOMPARE(p.delayLabel->text(), QString()); // nothing recorded: no delay shown

    // A backup video on preview owns the timeline: its range comes with its
    // duration, and a second click on it (a jump to 0) keeps the duration.
    p.recordedSecs = 900;
    p.pgm->type = Type::Video;
    p.loadToPreview(Type::Video, Media::path("av20.mp4"));
    QCOMPARE(p.timeline->maximum(), 900); // kept until the duration arrives
    QTRY_COMPARE(p.timeline->maximum(), 20);
    p.loadToPreview(Type::Video, Media::path("av20.mp4"));
    QCOMPARE(p.pv->durationSec > 19, true);
    QCOMPARE(p.timeline->maximum(), 20);
    // A nonsense duration stays within what the slider holds.
    p.pv->durationSec = 1e300;
    p.updateTimelineRange();
    QCOMPARE(p.timeline->maximum(), INT_MAX);
}

void TestDeskOutputs::monitorAudio()
{
    // A saved device is restored without the setting being written again.
    deskSettings().setValue("audioDeviceId", QByteArray("sinkC"));
    deskSettings().sync();
    auto panel = makePanel();
    PlaybackPanel &p = *panel;
    QCOMPARE(p.audioDeviceCombo->currentIndex(), 3);
    QCOMPARE(p.audioDeviceCombo->currentText(), QStringLiteral("SinkC"));
    QCOMPARE(p.channelA.player->m_audioDeviceId, QByteArray("sinkC"));
    QCOMPARE(p.channelB.player->m_audioDeviceId, QByteArray("sinkC"));
    p.audioDeviceCombo->setCurrentIndex(0); // "系统默认"
    QCOMPARE(p.audioDeviceCombo->currentText(), QStringLiteral("系统默认"));
    QCOMPARE(deskSettings().value("audioDeviceId").toByteArray(), QByteArray());
    QVERIFY(deskSettings().contains("audioDeviceId"));
    QCOMPARE(p.channelA.player->m_audioDeviceId, QByteArray());

    // A drag writes every value it passes; preview stays silent.
    p.loadToPreview(Type::Video, Media::path("tone1k.mp4"));
    p.onTake();
    p.loadToPreview(Type::Video, Media::path("av20.mp4"));
    for (int v = 79; v >= 60; --v) {
        p.volumeSlider->triggerAction(QAbstractSlider::SliderSingleStepSub);
        QCOMPARE(deskSettings().value("volume").toInt(), v);
        QCOMPARE(p.volumeLabel->text(), QString::number(v));
    }
    QVERIFY(p.pv->player->m_muted);
    QCOMPARE(p.pgm->player->m_volume, 60);
    // Muted program: the device plays nothing, the setting is not touched,
    // and after a swap the new program is muted too.
    QTest::qWait(2500); // past a new stream's first second on a null sink
    QVERIFY(listen("sinkA", 800).second > 300);
    QTest::mouseClick(p.muteButton, Qt::LeftButton);
    QTest::qWait(400); // what the sink had already taken
    QVERIFY(listen("sinkA", 800).second < 50);
    p.onTake();
    QTest::qWait(400);
    QVERIFY(listen("sinkA", 800).second < 50);
    QVERIFY(!deskSettings().allKeys().join(' ').contains("mute", Qt::CaseInsensitive));
    QTest::mouseClick(p.muteButton, Qt::LeftButton);
    QCOMPARE(p.pgm->player->m_volume, 60);
    QVERIFY(!p.pgm->player->m_muted && p.pv->player->m_muted);
    panel = makePanel();
    QVERIFY(!panel->muteButton->isChecked());
}

void TestDeskOutputs::screenPreselection_data()
{
    QTest::addColumn<QList<bool>>("primary");
    QTest::addColumn<int>("selected");
    QTest::newRow("one display") << QList<bool>{true} << 0;
    QTest::newRow("primary first") << QList<bool>{true, false} << 1;
    QTest::newRow("primary second") << QList<bool>{false, true} << 0;
    QTest::newRow("primary in the middle of three") << QList<bool>{false, true, false} << 2;
}

void TestDeskOutputs::screenPreselection()
{
    QFETCH(QList<bool>, primary);
    QFETCH(int, selected);
    QCOMPARE(PlaybackPanel::defaultScreen(primary), selected);
}

void TestDeskOutputs::screenOutput()
{
    auto panel = makePanel();
    PlaybackPanel &p = *panel;
    QCOMPARE(p.screenCombo->count(), 2);
    QCOMPARE(p.screenCombo->itemText(0), QStringLiteral("A [主屏] 1920×1080"));
    QCOMPARE(p.screenCombo->currentText(), QStringLiteral("B 1920×1080"));
    // On: a frameless window over display B with program's picture at once,
    // a 4:3 picture with bands left and right.
    const QString still = m_dir.filePath("four-three.png");
    filled(QSize(800, 600), Qt::yellow).save(still);
    stillOnProgram(p, still);
    int mark = logMark();
    QTest::mouseClick(p.hdmiButton, Qt::LeftButton);
    QVERIFY(p.fullscreen);
    QCOMPARE(p.hdmiButton->text(), QStringLiteral("🔴  HDMI 输出 - 已开启(Esc / 双击 退出)"));
    QVERIFY(p.fullscreen->windowFlags() & Qt::FramelessWindowHint);
    QTRY_COMPARE(p.fullscreen->geometry(), QRect(1920, 0, 1920, 1080));
    QCOMPARE(p.fullscreen->currentFrame(), p.pgm->still);
    const QImage shown = p.fullscreen->grab().toImage();
    QCOMPARE(qGray(shown.pixel(100, 540)), 0);
    QVERIFY(qGray(shown.pixel(960, 540)) > 150);
    QCOMPARE(logTexts(mark).filter("主屏").size(), 0);
    // Another display while on: the output moves, with a warning for the primary.
    p.screenCombo->setCurrentIndex(0);
    QVERIFY(p.fullscreen);
    QTRY_COMPARE(p.fullscreen->geometry(), QRect(0, 0, 1920, 1080));
    QVERIFY(logLines(mark).contains(LogLine{LOG_WARNING, "[Zerka] HDMI 输出指向主屏,会盖住 OBS"}));
    // Esc closes it; the button comes up with its off text. A double click too.
    QTest::keyClick(p.fullscreen, Qt::Key_Escape);
    QVERIFY(!p.fullscreen && !p.hdmiButton->isChecked());
    QCOMPARE(p.hdmiButton->text(), QStringLiteral("🟢  HDMI 输出 - 未启用"));
    QTest::mouseClick(p.hdmiButton, Qt::LeftButton);
    QTest::mouseDClick(p.fullscreen, Qt::LeftButton);
    QVERIFY(!p.fullscreen && !p.hdmiButton->isChecked());
    // No display for the selection: refused.
    p.screenCombo->setItemData(p.screenCombo->currentIndex(), QStringLiteral("gone"));
    QTest::mouseClick(p.hdmiButton, Qt::LeftButton);
    QVERIFY(!p.fullscreen && !p.hdmiButton->isChecked());
    QCOMPARE(p.statusLabel->text(), QStringLiteral("❌ 未检测到可用显示器"));
    // The desk closes its output when it goes.
    p.refreshScreens();
    QTest::mouseClick(p.hdmiButton, Qt::LeftButton);
    QPointer<FullscreenOutput> output = p.fullscreen;
    panel.reset();
    QTRY_VERIFY(output.isNull());
}

void TestDeskOutputs::screenOutputFollowsDisplays()
{
    // Display B unplugged while the output is on it: the output closes
    // rather than land on the operator's display; plugged back, it is
    // listed again and chosen by name.
    auto panel = makePanel();
    PlaybackPanel &p = *panel;
    QTest::mouseClick(p.hdmiButton, Qt::LeftButton);
    QVERIFY(p.fullscreen);
    QCOMPARE(run("xrandr", {"--delmonitor", "B"}), 0);
    QTRY_COMPARE_WITH_TIMEOUT(QGuiApplication::screens().size(), 1, 5000);
    QTRY_VERIFY(!p.fullscreen);
    QVERIFY(!p.hdmiButton->isChecked());
    QCOMPARE(p.screenCombo->count(), 1);
    QCOMPARE(run("xrandr", {"--setmonitor", "B", "1920/508x1080/286+1920+0", "none"}), 0);
    QTRY_COMPARE_WITH_TIMEOUT(p.screenCombo->count(), 2, 5000);
    QCOMPARE(p.screenCombo->currentText(), QStringLiteral("B 1920×1080"));
}

void TestDeskOutputs::streamControls()
{
    auto panel = makePanel();
    PlaybackPanel &p = *panel;
    // Refused: nothing stored, the streamer untouched.
    for (const char *url : {"RTMP://127.0.0.1/live/x", "", "http://127.0.0.1/live/x"}) {
        p.rtmpEdit->setText(url);
        QTest::mouseClick(p.streamButton, Qt::LeftButton);
        QVERIFY(!p.streamButton->isChecked() && !p.streamer->isStreaming());
        QCOMPARE(p.statusLabel->text(), QStringLiteral("❌ 推流地址要以 rtmp:// 开头"));
        QVERIFY(!deskSettings().contains("rtmpUrl"));
    }
    // Accepted with blanks around it: stored and streamed without them.
    const QString still = m_dir.filePath("green.png");
    filled(QSize(320, 240), Qt::green).save(still);
    stillOnProgram(p, still);
    p.rtmpEdit->setText("  rtmp://127.0.0.1:19350/live/desk ");
    p.bitrateCombo->setCurrentIndex(3);
    QTest::mouseClick(p.streamButton, Qt::LeftButton);
    QVERIFY(p.streamButton->isChecked() && p.streamer->isStreaming());
    QCOMPARE(p.streamButton->text(), QStringLiteral("⏹ 停止推流"));
    QCOMPARE(deskSettings().value("rtmpUrl").toString(), QStringLiteral("rtmp://127.0.0.1:19350/live/desk"));
    QCOMPARE(deskSettings().value("rtmpBitrate").toInt(), 8000);
    QCOMPARE(p.rtmpEdit->text(), QStringLiteral("  rtmp://127.0.0.1:19350/live/desk "));
    QVERIFY(!p.rtmpEdit->isEnabled() && !p.bitrateCombo->isEnabled());
    QTRY_COMPARE_WITH_TIMEOUT(p.statusLabel->text(), QStringLiteral("📡 推流: 推流中"), 10000);
    QTRY_VERIFY_WITH_TIMEOUT(p.streamStatsLabel->text().endsWith(" kbps"), 5000);
    p.onStreamStats(0);
    QCOMPARE(p.streamStatsLabel->text(), QStringLiteral("— kbps"));
    QTest::qWait(1500);
    QTest::mouseClick(p.streamButton, Qt::LeftButton);
    QCOMPARE(p.statusLabel->text(), QStringLiteral("📡 推流已停止"));
    QVERIFY(p.rtmpEdit->isEnabled() && p.bitrateCombo->isEnabled());
    QCOMPARE(p.streamButton->text(), QStringLiteral("▶ 开始推流"));
    QTRY_COMPARE(p.statusLabel->text(), QStringLiteral("📡 推流: 已停止"));
    QCOMPARE(p.streamStatsLabel->text(), QString());
    // The still on program was the stream's picture from the start.
    QProcess ffmpeg;
    ffmpeg.start("ffmpeg", {"-v", "error", "-i", m_dir.filePath("rec/desk.flv"), "-frames:v", "1", "-vf",
                            "crop=2:2:959:539", "-f", "rawvideo", "-pix_fmt", "rgb24", "-"});
    QVERIFY(ffmpeg.waitForFinished(30000));
    const QByteArray rgb = ffmpeg.readAllStandardOutput();
    QVERIFY2(rgb.size() >= 3 && uchar(rgb[1]) > 200 && uchar(rgb[0]) < 60, "the first picture streamed is not the still");
    // rtmps is accepted too (this server has no TLS: the attempt fails, the desk keeps trying).
    p.rtmpEdit->setText("rtmps://127.0.0.1:19350/live/tls");
    QTest::mouseClick(p.streamButton, Qt::LeftButton);
    QVERIFY(p.streamer->isStreaming());
    QTest::mouseClick(p.streamButton, Qt::LeftButton);
}

void TestDeskOutputs::supportDialog()
{
    auto panel = makePanel();
    // Drives the modal dialog from inside its own event loop.
    auto inDialog = [this](const std::function<void(SupportDialog *)> &act) {
        QTimer::singleShot(300, this, [act] {
            auto *dialog = qobject_cast<SupportDialog *>(QApplication::activeModalWidget());
            QVERIFY(dialog);
            act(dialog);
        });
    };
    QString copiedText;
    inDialog([&](SupportDialog *dialog) {
        QCOMPARE(dialog->windowTitle(), QStringLiteral("支持 & 联系作者"));
        QVERIFY(!dialog->findChildren<QLabel *>().first()->pixmap().isNull());
        QTest::mouseClick(buttonStartingWith(dialog, "📋"), Qt::LeftButton);
        copiedText = buttonStartingWith(dialog, "✅") ? buttonStartingWith(dialog, "✅")->text() : QString();
        QTest::mouseClick(buttonStartingWith(dialog, "关闭"), Qt::LeftButton);
    });
    panel->showDonateDialog();
    QCOMPARE(copiedText, QStringLiteral("✅ 已复制"));
    QCOMPARE(QGuiApplication::clipboard()->text(), SupportDialog::contactNumber());
    QVERIFY(panel->findChildren<SupportDialog *>().isEmpty());
    // Opened again: the copy button is fresh. Without the picture: a placeholder.
    qCleanupResources_resources();
    inDialog([&](SupportDialog *dialog) {
        QVERIFY(buttonStartingWith(dialog, "📋"));
        QCOMPARE(dialog->findChildren<QLabel *>().first()->text(), QStringLiteral("(二维码图片加载失败)"));
        dialog->reject();
    });
    panel->showDonateDialog();
    qInitResources_resources();
    // The desk may go while its dialog is open (the host exits).
    QTimer::singleShot(300, this, [&panel] { panel.reset(); });
    panel->showDonateDialog();
    QVERIFY(!panel);
}

ZK_AUDIO_TEST_MAIN(TestDeskOutputs, QApplication)
#include "test_desk_outputs.moc"
