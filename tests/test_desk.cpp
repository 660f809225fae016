// The desk (panel, lanes and swap, input sources, instant replay) built
// against the stand-in host's frontend with real players on real media, a
// real growing recording, a private PulseAudio server with null sinks (the
// program's sound is checked on what the sink plays), the real settings
// store in a temporary folder and real widgets on the display.

// QtTest first: the OBS headers' SIMD shim must come after the compiler's intrinsics.
#include <QtTest>

#include "desk_main.h"
#include "frontend.h"
#include "media.h"
#include "playback_panel.h"
#include "test_support.h"
#include "timeline_slider.h"
#include "video_view.h"
#include "zk_player.h"
#include "zk_streamer.h"

#include <QAudioSink>
#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QSlider>
#include <QTemporaryDir>
#include <QToolButton>

#include <cmath>

using namespace TestSupport;
using Type = PlaybackPanel::Channel::Type;

namespace {

QSettings settings()
{
    return QSettings(QStringLiteral("Zerka"), QStringLiteral("Plavo"));
}

// What sinkA plays for `ms`: interleaved s16 stereo.
QByteArray listen(int ms)
{
    QProcess parec;
    parec.start("parec", {"-d", "sinkA.monitor", "--raw", "--rate=48000", "--channels=2", "--format=s16le"});
    parec.waitForStarted();
    QTest::qWait(ms);
    parec.kill();
    parec.waitForFinished();
    return parec.readAllStandardOutput();
}

// The tone's pitch (zero crossings of the left channel) and its loudness.
std::pair<int, double> pitchAndLevel(const QByteArray &pcm)
{
    const auto *s = reinterpret_cast<const qint16 *>(pcm.constData());
    const qsizetype frames = pcm.size() / 4;
    qint64 crossings = 0;
    double sum = 0;
    for (qsizetype i = 1; i < frames; ++i) {
        crossings += (s[2 * i] >= 0) != (s[2 * i - 2] >= 0);
        sum += double(s[2 * i]) * s[2 * i];
    }
    const double seconds = frames / 48000.0;
    return {seconds > 0 ? int(crossings / 2 / seconds) : 0, frames ? std::sqrt(sum / frames) : 0};
}

QString writeImage(const QString &path, const QSize &size, const QColor &colour)
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(colour);
    image.save(path);
    return path;
}

} // namespace

class TestDesk : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<PlaybackPanel> makePanel();
    static ZKPlayer *player(PlaybackPanel &p, PlaybackPanel::Channel *ch) { return ch->player; }
    // Waits until the lane has shown a picture of its own.
    static bool waitForPicture(PlaybackPanel::Channel *ch, int ms = 10000);
    void chooseFilesInDialog(const QStringList &files);

    QTemporaryDir m_dir;

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void construction();
    void settingsRestoredWithoutWritingBack_data();
    void settingsRestoredWithoutWritingBack();
    void monitorsLetterbox_data();
    void monitorsLetterbox();
    void swapKeepsBothLanesPlayingAndSoundFollowsProgram();
    void imagesAndPauseRules();
    void timelineOwnerAndStatusLine();
    void inputStrip_data();
    void inputStrip();
    void backupListThroughTheFileDialog();
    void failedLoadsLeaveTheLanePlaying();
    void instantReplay();
    void recordingStopEndsFollowing();
};

void TestDesk::initTestCase()
{
    HostLog::instance().install(QString());
    RecorderConfig config;
    config.folder = m_dir.filePath("recordings");
    StandInFrontend::instance().recorder().setConfig(config);
    for (const char *name : {"av.mp4", "av20.mp4", "tone1k.mp4"})
        QVERIFY(QFileInfo(Media::path(name)).exists());
}

void TestDesk::init()
{
    settings().clear();
}

void TestDesk::cleanup()
{
    StandInFrontend::instance().simulateRecording(false);
    StandInFrontend::instance().recorder().stopAndWait();
}

std::unique_ptr<PlaybackPanel> TestDesk::makePanel()
{
    auto panel = std::make_unique<PlaybackPanel>(nullptr);
    panel->resize(640, 720);
    panel->show();
    return panel;
}

bool TestDesk::waitForPicture(PlaybackPanel::Channel *ch, int ms)
{
    QElapsedTimer waited;
    waited.start();
    while (ch->lastFrame.isNull() && waited.elapsed() < ms)
        QTest::qWait(20);
    return !ch->lastFrame.isNull();
}

void TestDesk::construction()
{
    auto panel = makePanel();
    PlaybackPanel &p = *panel;
    // Every row as the operator sees it: texts, tooltips, styles.
    struct Row {
        QWidget *widget;
        const char *text;
        const char *style;
    };
    const Row rows[] = {
            {p.pvTag, "预览 PV — (空)", "color:#4caf50; font-weight:700; font-size:12px;"},
            {p.pgmTag, "节目 PGM — (空)", "color:#e53935; font-weight:700; font-size:12px;"},
            {p.pvFrame, "", "QFrame { border: 2px solid #4caf50; }"},
            {p.takeButton, "⇄\n切换", ""},
            {p.posLabel, "00:00:00", "color:#fff; font-weight:600;"},
            {p.totalLabel, "/ --:--:--", "color:#888;"},
            {p.delayLabel, "", "color:#d32f2f;"},
            {p.statusLabel, "提示: 点下方输入源进预览,按 ⇄切换 上节目", "color: #888; font-size: 11px;"},
            {p.pvPauseButton, "⏯ 预览", ""},
            {p.pgmPauseButton, "⏯ 节目", ""},
            {p.loopCheck, "🔁 视频循环", ""},
            {p.muteButton, "静音", ""},
            {p.volumeLabel, "80", "color:#888; font-family:Menlo;"},
            {p.hdmiButton, "🟢  HDMI 输出 - 未启用", ""},
            {p.streamButton, "▶ 开始推流", ""},
            {p.streamStatsLabel, "", "color:#4caf50; font-family:Menlo; font-size:11px;"},
    };
    for (const Row &row : rows) {
        const QVariant shown = row.widget->property("text");
        QVERIFY2(!shown.isValid() || shown.toString() == QString::fromUtf8(row.text), qPrintable(shown.toString()));
        QVERIFY2(!*row.style || row.widget->styleSheet() == QString::fromUtf8(row.style), qPrintable(row.widget->styleSheet()));
    }
    QVERIFY(p.takeButton->styleSheet().startsWith("QPushButton { background:#e6a23c; color:#111;"));
    QCOMPARE(p.takeButton->toolTip(), QStringLiteral("预览 ⇄ 节目 瞬间互换(音频跟节目)"));
    QCOMPARE(p.takeButton->minimumSize(), QSize(52, 84));
    QCOMPARE(p.pvView->minimumSize(), QSize(240, 135));
    QCOMPARE(p.rtmpEdit->placeholderText(), QStringLiteral("rtmp://服务器/live/串流码"));
    QCOMPARE(p.timeline->minimumHeight(), 42);
    QVERIFY(!p.timeline->isEnabled());
    QCOMPARE(p.posLabel->font().family(), QStringLiteral("Menlo, monospace"));
    QCOMPARE(p.audioDeviceCombo->itemText(0), QStringLiteral("系统默认"));
    QCOMPARE(p.bitrateCombo->count(), 4);
    // The strip: instant replay, then the add button.
    auto *replay = qobject_cast<QPushButton *>(p.inputsLayout->itemAt(0)->widget());
    QCOMPARE(replay->text(), QStringLiteral("📺 即时回放"));
    QCOMPARE(replay->toolTip(), QStringLiteral("跟随正在录制的 PGM 文件(默认 2 分钟延时,可拖时间轴)"));
    QCOMPARE(qobject_cast<QPushButton *>(p.inputsLayout->itemAt(1)->widget())->text(), QStringLiteral("＋ 添加"));
    QVERIFY(p.inputsLayout->itemAt(2)->spacerItem());
    // Roles at start, the preview silent.
    QCOMPARE(p.pgm, &p.channelA);
    QCOMPARE(p.pv, &p.channelB);
    QVERIFY(p.channelB.player->m_muted && !p.channelA.player->m_muted);
}

void TestDesk::settingsRestoredWithoutWritingBack_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QVariant>("saved");
    QTest::addColumn<QString>("shown");
    QTest::newRow("loop off") << "loopBackup" << QVariant(false) << "unchecked";
    QTest::newRow("bit rate without an item") << "rtmpBitrate" << QVariant(5000) << "4 Mbps";
    QTest::newRow("bit rate 8000") << "rtmpBitrate" << QVariant(8000) << "8 Mbps";
    QTest::newRow("volume 80") << "volume" << QVariant(80) << "80 quiet";
    QTest::newRow("volume 60") << "volume" << QVariant(60) << "60";
    QTest::newRow("stream URL") << "rtmpUrl" << QVariant("rtmp://a.example/live/k") << "rtmp://a.example/live/k";
}

void TestDesk::settingsRestoredWithoutWritingBack()
{
    QFETCH(QString, key);
    QFETCH(QVariant, saved);
    QFETCH(QString, shown);
    settings().setValue(key, saved);
    const QString missing = m_dir.filePath("gone.mp4");
    const QStringList listed{Media::path("av.mp4"), missing};
    settings().setValue("backupFiles", listed);
    const QString file = settings().fileName();
    settings().sync();
    QFile before(file);
    QVERIFY(before.open(QIODevice::ReadOnly));
    const QByteArray stored = before.readAll();
    auto panel = makePanel();
    if (key == "loopBackup")
        QVERIFY(!panel->loopCheck->isChecked());
    else if (key == "rtmpBitrate")
        QCOMPARE(panel->bitrateCombo->currentText(), shown);
    else if (key == "rtmpUrl")
        QCOMPARE(panel->rtmpEdit->text(), shown);
    else {
        QCOMPARE(panel->volumeLabel->text(), shown.left(2));
        QCOMPARE(panel->channelA.player->m_volume, shown.left(2).toInt());
    }
    // Restoring writes nothing back (a saved 60 runs the volume handler,
    // which writes the same 60).
    QFile after(file);
    QVERIFY(after.open(QIODevice::ReadOnly));
    QCOMPARE(after.readAll(), stored);
    QCOMPARE(panel->backupFiles, QStringList{Media::path("av.mp4")}); // the missing file is dropped...
    QCOMPARE(settings().value("backupFiles").toStringList(), listed); // ...without rewriting the list
}

void TestDesk::monitorsLetterbox_data()
{
    QTest::addColumn<QSize>("picture");
    QTest::addColumn<QRect>("drawn");
    QTest::newRow("1920x1080 in 240x200") << QSize(1920, 1080) << QRect(0, 32, 240, 135);
    QTest::newRow("portrait") << QSize(1080, 1920) << QRect(64, 0, 112, 200);
    QTest::newRow("no picture") << QSize() << QRect();
}

void TestDesk::monitorsLetterbox()
{
    QFETCH(QSize, picture);
    QFETCH(QRect, drawn);
    VideoView view(nullptr, 240, 135);
    view.resize(240, 200);
    if (picture.isValid()) {
        QImage image(picture, QImage::Format_RGB32);
        image.fill(Qt::white);
        view.setFrame(image);
    }
    const QImage grabbed = view.grab().toImage();
    QCOMPARE(grabbed.size(), QSize(240, 200));
    for (int y = 0; y < 200; y += 1)
        for (int x : {0, 63, 64, 120, 175, 176, 239}) {
            const bool white = qGray(grabbed.pixel(x, y)) > 128;
            QVERIFY2(white == drawn.contains(x, y), qPrintable(QString("pixel %1,%2").arg(x).arg(y)));
        }
}

void TestDesk::swapKeepsBothLanesPlayingAndSoundFollowsProgram()
{
    auto panel = makePanel();
    PlaybackPanel &p = *panel;
    p.onTake();
    QCOMPARE(p.statusLabel->text(), QStringLiteral("预览是空的 — 先点一个输入源"));
    QCOMPARE(p.pgm, &p.channelA);

    // 440 Hz to program, then 1000 Hz into preview.
    p.volumeSlider->setValue(50);
    p.loadToPreview(Type::Video, Media::path("av20.mp4"));
    QVERIFY(waitForPicture(p.pv));
    p.onTake();
    QCOMPARE(p.statusLabel->text(), QStringLiteral("已切换 → 节目: ▶ av20.mp4"));
    p.loadToPreview(Type::Video, Media::path("tone1k.mp4"));
    QVERIFY(waitForPicture(p.pv));
    QCOMPARE(p.pvTag->text(), QStringLiteral("预览 PV — ▶ tone1k.mp4"));
    QCOMPARE(p.pgmTag->text(), QStringLiteral("节目 PGM — ▶ av20.mp4"));
    QTest::qWait(3000); // past a new stream's first-second stall on a null sink

    // Swaps exchange roles only: no pause, seek or reopen, and the new
    // program's picture is on its outputs at once.
    int frames[2] = {0, 0};
    qint64 worstGap = 0;
    QElapsedTimer clock;
    clock.start();
    qint64 last[2] = {0, 0};
    for (int i : {0, 1})
        connect((i ? p.channelB : p.channelA).player, &ZKPlayer::frameReady, this, [&, i] {
            if (last[i])
                worstGap = qMax(worstGap, clock.elapsed() - last[i]);
            last[i] = clock.elapsed();
            ++frames[i];
        });
    const int mark = logMark();
    PlaybackPanel::Channel *program = p.pgm;
    for (int swap = 0; swap < 2; ++swap) {
        const auto [pitch, level] = pitchAndLevel(listen(1200));
        const int expected = p.pgm->path.endsWith("tone1k.mp4") ? 1000 : 440;
        qInfo("program %s: %d Hz at level %.0f", qPrintable(p.pgm->name()), pitch, level);
        // One tone alone: the preview (the other tone) is silent.
        QVERIFY2(qAbs(pitch - expected) < 100 && level > 300,
                 qPrintable(QString("%1 Hz, program plays %2 Hz").arg(pitch).arg(expected)));
        p.onTake();
        QCOMPARE(p.pgmView->currentFrame(), p.pgm->lastFrame);
        QVERIFY(p.pv->player->m_muted && !p.pgm->player->m_muted);
        QCOMPARE(p.pgm->player->m_volume, 50);
    }
    QCOMPARE(p.pgm, program); // two swaps: back where it was
    QCOMPARE(countLog("[ZKPlayer] open:", mark) + countLog("[ZKPlayer] seek", mark) + countLog("[ZKPlayer] 同文件", mark), 0);
    QVERIFY2(frames[0] > 50 && frames[1] > 50 && worstGap < 250,
             qPrintable(QString("%1 and %2 pictures, longest gap %3 ms").arg(frames[0]).arg(frames[1]).arg(worstGap)));
}

void TestDesk::imagesAndPauseRules()
{
    auto panel = makePanel();
    PlaybackPanel &p = *panel;
    // Pausing an empty lane does nothing.
    p.togglePause(p.pv);
    QVERIFY(!p.channelB.player->isPaused());
    const QString still = writeImage(m_dir.filePath("still.PNG"), QSize(64, 48), Qt::red);
    p.loadToPreview(Type::Image, still);
    QCOMPARE(p.pv->type, Type::Image);
    QCOMPARE(p.pvView->currentFrame().format(), QImage::Format_RGB32);
    QCOMPARE(p.statusLabel->text(), QStringLiteral("预览加载: 🖼 still.PNG"));
    QTest::mouseClick(p.pvPauseButton, Qt::LeftButton); // an image lane ignores it
    QVERIFY(!p.pv->player->isPaused());
    p.onTake(); // a still reaches the program monitor at once
    QCOMPARE(p.pgmView->currentFrame(), p.pgm->still);
    // The pause buttons act on the lane in that role at the click.
    p.loadToPreview(Type::Video, Media::path("av20.mp4"));
    QVERIFY(waitForPicture(p.pv));
    QTest::mouseClick(p.pvPauseButton, Qt::LeftButton);
    QVERIFY(p.pv->player->isPaused());
    p.onTake();
    QTest::mouseClick(p.pgmPauseButton, Qt::LeftButton);
    QVERIFY(!p.pgm->player->isPaused());
}

void TestDesk::timelineOwnerAndStatusLine()
{
    auto panel = makePanel();
    PlaybackPanel &p = *panel;
    // (preview, program, owner: 1 preview, 2 program, 0 none)
    const std::tuple<Type, Type, int> rows[] = {
            {Type::Live, Type::Live, 1}, {Type::Video, Type::Live, 2}, {Type::Video, Type::Video, 1},
            {Type::Image, Type::Video, 2}, {Type::Image, Type::Empty, 0}};
    for (const auto &[pvType, pgmType, owner] : rows) {
        p.pv->type = pvType;
        p.pgm->type = pgmType;
        QCOMPARE(p.timelineOwner(), owner == 1 ? p.pv : owner == 2 ? p.pgm : nullptr);
    }
    // Frames of the lane that does not own the timeline move no time widget.
    p.pv->type = Type::Video;
    p.pgm->type = Type::Video;
    p.recordedSecs = 300;
    p.routeFrame(p.pgm, QImage(4, 4, QImage::Format_RGB32), 42.0);
    QCOMPARE(p.posLabel->text(), QStringLiteral("00:00:00"));
    p.pv->type = Type::Live;
    p.routeFrame(p.pv, QImage(4, 4, QImage::Format_RGB32), 180.4);
    QCOMPARE(p.posLabel->text(), QStringLiteral("00:03:00"));
    QCOMPARE(p.delayLabel->text(), QStringLiteral("延时 01:59"));

    // A player error turns the status line red; the next take keeps it red;
    // a preview load turns it grey.
    p.onError("解析文件失败: x");
    QCOMPARE(p.statusLabel->text(), QStringLiteral("❌ 解析文件失败: x"));
    QCOMPARE(p.statusLabel->styleSheet(), QStringLiteral("color: #d32f2f; font-size: 11px;"));
    p.onTake();
    QVERIFY(p.statusLabel->styleSheet().startsWith("color: #d32f2f"));
    p.loadToPreview(Type::Image, writeImage(m_dir.filePath("grey.png"), QSize(8, 8), Qt::gray));
    QCOMPARE(p.statusLabel->styleSheet(), QStringLiteral("color: #888; font-size: 11px;"));
}

void TestDesk::inputStrip_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("button");
    QTest::newRow("20 characters") << "abcdefghijklmnop.mp4" << "▶ abcdefghijklmnop.mp4";
    QTest::newRow("21 characters") << "abcdefghijklmnopq.mp4" << "▶ abcdefghijklmnopq.…";
    QTest::newRow("36 characters") << "a name with blank and more texts.mov" << "▶ a name with blank …";
    QTest::newRow("upper case image") << "STILL.JPG" << "🖼 STILL.JPG";
    QTest::newRow("mixed case image") << "photo.Heic" << "🖼 photo.Heic";
    QTest::newRow("video after an image suffix") << "clip.jpg.mov" << "▶ clip.jpg.mov";
    QTest::newRow("no suffix") << "README" << "▶ README";
}

void TestDesk::inputStrip()
{
    QFETCH(QString, name);
    QFETCH(QString, button);
    const QString path = m_dir.filePath(name);
    QFile(path).open(QIODevice::WriteOnly);
    settings().setValue("backupFiles", QStringList{path});
    auto panel = makePanel();
    auto *holder = panel->inputsLayout->itemAt(1)->widget();
    auto *source = holder->findChild<QPushButton *>();
    QCOMPARE(source->text(), button);
    QCOMPARE(source->toolTip(), path);
    QCOMPARE(holder->findChild<QToolButton *>()->text(), QStringLiteral("✕"));
}

void TestDesk::chooseFilesInDialog(const QStringList &files)
{
    // As a user would: the dialog opens, the names are typed, Enter.
    QTimer::singleShot(300, this, [files] {
        auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
        QVERIFY(dialog);
        QCOMPARE(dialog->windowTitle(), QStringLiteral("选择备播视频/图片(可多选)"));
        auto *name = dialog->findChild<QLineEdit *>("fileNameEdit");
        QStringList quoted;
        for (const QString &file : files)
            quoted << "\"" + file + "\"";
        name->setText(quoted.join(' '));
        QTest::keyClick(name, Qt::Key_Return);
    });
}

void TestDesk::backupListThroughTheFileDialog()
{
    const QString clip = QFileInfo(Media::path("av.mp4")).absoluteFilePath();
    const QString still = writeImage(m_dir.filePath("pick.png"), QSize(8, 8), Qt::blue);
    auto panel = makePanel();
    chooseFilesInDialog({clip, still});
    panel->onAddBackup();
    QCOMPARE(panel->backupFiles, (QStringList{clip, still}));
    // The same file again: one entry, but the list is written and the strip rebuilt.
    settings().setValue("backupFiles", QStringList());
    chooseFilesInDialog({clip});
    panel->onAddBackup();
    QCOMPARE(settings().value("backupFiles").toStringList(), (QStringList{clip, still}));
    QCOMPARE(panel->inputsLayout->count(), 5); // replay, two entries, add, stretch

    // Removing an entry from its own button while it handles its click.
    QToolButton *remove = panel->inputsLayout->itemAt(1)->widget()->findChild<QToolButton *>();
    QPointer<QToolButton> removed(remove);
    QTest::mouseClick(remove, Qt::LeftButton);
    QCOMPARE(panel->backupFiles, QStringList{still});
    QCOMPARE(settings().value("backupFiles").toStringList(), QStringList{still});
    QTRY_VERIFY(removed.isNull()); // gone once the event loop has run
    QCOMPARE(panel->inputsLayout->count(), 4);
}

void TestDesk::failedLoadsLeaveTheLanePlaying()
{
    auto panel = makePanel();
    PlaybackPanel &p = *panel;
    p.loadToPreview(Type::Video, Media::path("av20.mp4"));
    QVERIFY(waitForPicture(p.pv));
    const QImage before = p.pv->lastFrame;
    // A vanished backup video: the player's refusal in red, the lane untouched.
    const QString gone = m_dir.filePath("vanished.mp4");
    p.loadToPreview(Type::Video, gone);
    QCOMPARE(p.statusLabel->text(), QStringLiteral("❌ 文件不存在或为空: ") + gone);
    QCOMPARE(p.statusLabel->styleSheet(), QStringLiteral("color: #d32f2f; font-size: 11px;"));
    QCOMPARE(p.pv->path, Media::path("av20.mp4"));
    QCOMPARE(p.pvTag->text(), QStringLiteral("预览 PV — ▶ av20.mp4"));
    QTRY_VERIFY(p.pv->lastFrame != before); // still playing
    // An image that does not decode.
    const QString broken = m_dir.filePath("broken.png");
    QFile garbage(broken);
    QVERIFY(garbage.open(QIODevice::WriteOnly));
    garbage.write("not a picture");
    garbage.close();
    p.loadToPreview(Type::Image, broken);
    QCOMPARE(p.statusLabel->text(), QStringLiteral("❌ 图片加载失败: ") + broken);
    QCOMPARE(p.pv->type, Type::Video);
    QVERIFY(p.pv->player->isPlaying());

    // A swap right after a load airs black, never the source before it.
    p.loadToPreview(Type::Video, Media::path("tone1k.mp4"));
    p.onTake();
    QVERIFY(p.pgmView->currentFrame().isNull());
}

void TestDesk::instantReplay()
{
    StandInFrontend &host = StandInFrontend::instance();
    auto panel = makePanel();
    PlaybackPanel &p = *panel;
    p.loadToPreview(Type::Live, QString());
    QCOMPARE(p.statusLabel->text(), QStringLiteral("OBS 当前没有录制 — 先点开始录制"));
    QCOMPARE(p.pv->type, Type::Empty);

    host.startRecording();
    QTRY_VERIFY_WITH_TIMEOUT(host.recordingActive(), 20000);
    p.onRecordingStateChanged(true);
    const QString recording = host.lastRecording();
    struct Case {
        double recorded;
        double programAt; // < 0: program plays something else
        QString startLine;
    };
    const Case cases[] = {{300, -1, "startSec=180.0"}, {90, -1, "startSec=0.0"}, {300, 754.3, "startSec=754.3"}};
    for (const Case &c : cases) {
        p.recordedSecs = c.recorded;
        p.pgm->type = c.programAt >= 0 ? Type::Live : Type::Video;
        p.pgm->path = recording;
        p.pgm->positionSec = qMax(0.0, c.programAt);
        p.pv->player->close();
        const int mark = logMark();
        p.loadToPreview(Type::Live, QString());
        QVERIFY2(!logTexts(mark).filter("[ZKPlayer] open: " + recording + " (followLive=1, " + c.startLine).isEmpty(),
                 qPrintable(logTexts(mark).join('\n')));
    }
    QCOMPARE(p.statusLabel->text(), QStringLiteral("预览加载: 📺 即时回放"));
    // Pressed again: a jump within the open file, not a reopen.
    p.pgm->type = Type::Empty;
    p.recordedSecs = 0;
    p.pv->player->close();
    p.loadToPreview(Type::Live, QString());
    QVERIFY(waitForPicture(p.pv, 20000));
    const int mark = logMark();
    p.loadToPreview(Type::Live, QString());
    QCOMPARE(countLog("[ZKPlayer] 同文件快速 seek → ", mark), 1);
    QCOMPARE(countLog("[ZKPlayer] open:", mark), 0);
}

void TestDesk::recordingStopEndsFollowing()
{
    StandInFrontend &host = StandInFrontend::instance();
    auto panel = makePanel();
    PlaybackPanel &p = *panel;
    host.startRecording();
    QTRY_VERIFY_WITH_TIMEOUT(host.recordingActive(), 20000);
    p.onRecordingStateChanged(true);
    const qint64 started = p.recordStartSecs;
    p.loadToPreview(Type::Live, QString());
    QVERIFY(waitForPicture(p.pv, 20000));
    p.onTake(); // instant replay on program
    p.loadToPreview(Type::Video, Media::path("av20.mp4"));
    QTest::qWait(2500);
    p.refreshTotal();
    const double length = p.recordedSecs;
    QVERIFY(length >= 2);

    // The host reports recording active while it stops: the count keeps its start.
    p.onRecordingStateChanged(true);
    QCOMPARE(p.recordStartSecs, started);
    QSignalSpy programStates(p.pgm->player, &ZKPlayer::stateChanged);
    host.stopRecording();
    QTRY_VERIFY_WITH_TIMEOUT(!host.recordingActive(), 20000);
    p.onRecordingStateChanged(false);
    QVERIFY(!p.pgm->player->m_followLive); // the live lane plays to the end
    QVERIFY(p.pv->player->isPlaying() && p.pv->type == Type::Video); // the video lane untouched
    p.refreshTotal();
    QCOMPARE(p.recordedSecs, length + (p.recordedSecs - length)); // stays at its last value
    QVERIFY(p.recordedSecs >= length);
    QTRY_VERIFY_WITH_TIMEOUT(programStates.contains(QVariantList{QStringLiteral("已播完")}), 30000);

    // Instant replay of the finished recording plays to its end too.
    p.onTake();
    QSignalSpy previewStates(p.pv->player, &ZKPlayer::stateChanged);
    p.pv->player->close();
    p.loadToPreview(Type::Live, QString());
    QCOMPARE(previewStates.first().first().toString(), QStringLiteral("播放中"));
    QTRY_VERIFY_WITH_TIMEOUT(previewStates.contains(QVariantList{QStringLiteral("已播完")}), 30000);
}

ZK_DESK_TEST_MAIN(TestDesk)

#include "test_desk.moc"
