// The desk (panel, lanes and swap, input sources, instant replay) against
// the stand-in host's frontend with real players on real media, a real
// growing recording, null sinks (which lane is heard is told by its tone),
// the settings store in a temporary folder and real widgets.

// QtTest first: the OBS headers' SIMD shim must come after the compiler's intrinsics.
#include <QtTest>

#include "desk_support.h"
#include "frontend.h"
#include "media.h"
#include "timeline_slider.h"
#include "video_view.h"
#include "zk_player.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSlider>
#include <QToolButton>

using namespace TestSupport;
using namespace DeskSupport;

class TestDesk : public QObject {
    Q_OBJECT

private:
    void chooseFilesInDialog(const QStringList &files);
    QTemporaryDir m_dir;

private slots:
    void initTestCase();
    void init() { deskSettings().clear(); }
    void cleanup() { StandInFrontend::instance().recorder().stopAndWait(); }
    void construction();
    void settingsRestoredWithoutWritingBack_data();
    void settingsRestoredWithoutWritingBack();
    void monitorsLetterbox_data();
    void monitorsLetterbox();
    void swapKeepsBothLanesPlayingAndSoundFollowsProgram();
    void stillsPausesAndFailedLoads();
    void timelineOwnerAndStatusLine();
    void inputStrip_data();
    void inputStrip();
    void backupListThroughTheFileDialog();
    void instantReplayAndTheRecordingsEnd();
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

void TestDesk::construction()
{
    // What a fresh desk must be before anything is loaded: program on lane
    // A and heard, preview silent, no timeline, the replay button first.
    auto panel = makePanel();
    PlaybackPanel &p = *panel;
    QVERIFY(p.pgm == &p.channelA && p.pv == &p.channelB);
    QVERIFY(p.channelB.player->m_muted && !p.channelA.player->m_muted);
    QVERIFY(!p.timeline->isEnabled());
    QCOMPARE(qobject_cast<QPushButton *>(p.inputsLayout->itemAt(0)->widget())->text(), QStringLiteral("📺 即时回放"));
    QCOMPARE(p.bitrateCombo->currentText(), QStringLiteral("4 Mbps"));
}

void TestDesk::settingsRestoredWithoutWritingBack_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QVariant>("saved");
    QTest::addColumn<QString>("shown");
    QTest::newRow("loop off") << "loopBackup" << QVariant(false) << "false";
    QTest::newRow("bit rate without an item") << "rtmpBitrate" << QVariant(5000) << "4 Mbps";
    QTest::newRow("bit rate 8000") << "rtmpBitrate" << QVariant(8000) << "8 Mbps";
    QTest::newRow("volume 80") << "volume" << QVariant(80) << "80";
    QTest::newRow("volume 60") << "volume" << QVariant(60) << "60";
    QTest::newRow("stream URL") << "rtmpUrl" << QVariant("rtmp://a.example/live/k") << "rtmp://a.example/live/k";
}

void TestDesk::settingsRestoredWithoutWritingBack()
{
    QFETCH(QString, key);
    QFETCH(QVariant, saved);
    QFETCH(QString, shown);
    deskSettings().setValue(key, saved);
    const QStringList listed{Media::path("av.mp4"), m_dir.filePath("gone.mp4")};
    deskSettings().setValue("backupFiles", listed);
    deskSettings().sync();
    QFile file(deskSettings().fileName());
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray stored = file.readAll();
    auto panel = makePanel();
    const QString restored = key == "loopBackup"    ? QVariant(panel->loopCheck->isChecked()).toString()
                             : key == "rtmpBitrate" ? panel->bitrateCombo->currentText()
                             : key == "rtmpUrl"     ? panel->rtmpEdit->text()
                                                    : panel->volumeLabel->text();
    QCOMPARE(restored, shown);
    QCOMPARE(panel->channelA.player->m_volume, key == "volume" ? saved.toInt() : 80); // the volume handler ran
    file.seek(0);
    QCOMPARE(file.readAll(), stored); // nothing written back
    QCOMPARE(panel->backupFiles, QStringList{Media::path("av.mp4")}); // the missing file dropped, the list kept
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
    for (int y = 0; y < 200; ++y)
        for (int x : {0, 63, 64, 120, 175, 176, 239})
            QVERIFY2((qGray(grabbed.pixel(x, y)) > 128) == drawn.contains(x, y), qPrintable(QString("%1,%2").arg(x).arg(y)));
}

void TestDesk::swapKeepsBothLanesPlayingAndSoundFollowsProgram()
{
    auto panel = makePanel();
    PlaybackPanel &p = *panel;
    p.onTake();
    QCOMPARE(p.statusLabel->text(), QStringLiteral("预览是空的 — 先点一个输入源"));
    QVERIFY(p.pgm == &p.channelA);
    // 440 Hz to program, 1000 Hz into preview.
    p.volumeSlider->setValue(50);
    p.loadToPreview(Type::Video, Media::path("av20.mp4"));
    QVERIFY(waitForPicture(p.pv));
    p.onTake();
    QCOMPARE(p.statusLabel->text(), QStringLiteral("已切换 → 节目: ▶ av20.mp4"));
    p.loadToPreview(Type::Video, Media::path("tone1k.mp4"));
    QVERIFY(waitForPicture(p.pv));
    QCOMPARE(p.pvTag->text() + p.pgmTag->text(), QStringLiteral("预览 PV — ▶ tone1k.mp4节目 PGM — ▶ av20.mp4"));
    QTest::qWait(3000); // past a new stream's first-second stall on a null sink

    // A swap exchanges roles only (no pause, seek or reopen); the new
    // program's picture is on its monitor at once and its tone is heard.
    int frames[2] = {0, 0};
    qint64 last[2] = {0, 0}, worstGap = 0;
    QElapsedTimer clock;
    clock.start();
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
        const auto [pitch, level] = listen("sinkA", 1200);
        const int expected = p.pgm->path.endsWith("tone1k.mp4") ? 1000 : 440;
        QVERIFY2(qAbs(pitch - expected) < 100 && level > 300, qPrintable(QString("%1 Hz, program plays %2 Hz").arg(pitch).arg(expected)));
        p.onTake();
        QCOMPARE(p.pgmView->currentFrame(), p.pgm->lastFrame);
        QVERIFY(p.pv->player->m_muted && !p.pgm->player->m_muted && p.pgm->player->m_volume == 50);
    }
    QCOMPARE(p.pgm, program); // two swaps: back where it was
    QCOMPARE(countLog("[ZKPlayer] open:", mark) + countLog("[ZKPlayer] seek", mark) + countLog("[ZKPlayer] 同文件", mark), 0);
    QVERIFY2(frames[0] > 50 && frames[1] > 50 && worstGap < 250, qPrintable(QString("gap %1 ms").arg(worstGap)));
}

void TestDesk::stillsPausesAndFailedLoads()
{
    auto panel = makePanel();
    PlaybackPanel &p = *panel;
    p.togglePause(p.pv); // an empty lane ignores the pause button
    QVERIFY(!p.pv->player->isPaused());
    p.loadToPreview(Type::Image, writeImage(m_dir.filePath("still.PNG"), QSize(64, 48), Qt::red));
    QCOMPARE(p.statusLabel->text(), QStringLiteral("预览加载: 🖼 still.PNG"));
    QCOMPARE(p.pvView->currentFrame().format(), QImage::Format_RGB32);
    p.togglePause(p.pv); // so does a still
    QVERIFY(!p.pv->player->isPaused());
    p.onTake(); // a still reaches the program monitor at once
    QCOMPARE(p.pgmView->currentFrame(), p.pgm->still);
    // The pause buttons act on the lane in that role at the click.
    p.loadToPreview(Type::Video, Media::path("av20.mp4"));
    QVERIFY(waitForPicture(p.pv));
    QTest::mouseClick(p.pvPauseButton, Qt::LeftButton);
    QVERIFY(p.pv->player->isPaused());
    QTest::mouseClick(p.pvPauseButton, Qt::LeftButton);
    // A load that cannot succeed leaves the lane playing what it had:
    // a vanished video (the player's refusal, in red) or a broken picture.
    const QImage before = p.pv->lastFrame;
    const QString gone = m_dir.filePath("vanished.mp4");
    p.loadToPreview(Type::Video, gone);
    QCOMPARE(p.statusLabel->text(), QStringLiteral("❌ 文件不存在或为空: ") + gone);
    QCOMPARE(p.statusLabel->styleSheet(), QStringLiteral("color: #d32f2f; font-size: 11px;"));
    QCOMPARE(p.pvTag->text(), QStringLiteral("预览 PV — ▶ av20.mp4"));
    QTRY_VERIFY(p.pv->lastFrame != before);
    const QString broken = writeImage(m_dir.filePath("broken.png"), QSize(4, 4), Qt::blue);
    QFile(broken).resize(20);
    p.loadToPreview(Type::Image, broken);
    QCOMPARE(p.statusLabel->text(), QStringLiteral("❌ 图片加载失败: ") + broken);
    QVERIFY(p.pv->type == Type::Video && p.pv->player->isPlaying());
    // A swap right after a load airs black, never the source before it.
    p.loadToPreview(Type::Video, Media::path("tone1k.mp4"));
    p.onTake();
    QVERIFY(p.pgmView->currentFrame().isNull());
}

void TestDesk::timelineOwnerAndStatusLine()
{
    auto panel = makePanel();
    PlaybackPanel &p = *panel;
    // (preview, program, owner: 1 preview, 2 program, 0 none)
    const std::tuple<Type, Type, int> rows[] = {{Type::Live, Type::Live, 1}, {Type::Video, Type::Live, 2},
                                                {Type::Video, Type::Video, 1}, {Type::Image, Type::Video, 2},
                                                {Type::Image, Type::Empty, 0}};
    for (const auto &[pvType, pgmType, owner] : rows) {
        p.pv->type = pvType;
        p.pgm->type = pgmType;
        QCOMPARE(p.timelineOwner(), owner == 1 ? p.pv : owner == 2 ? p.pgm : nullptr);
    }
    // Frames of the lane that does not own the timeline move no time widget.
    p.pv->type = p.pgm->type = Type::Video;
    p.recordedSecs = 300;
    p.routeFrame(p.pgm, QImage(4, 4, QImage::Format_RGB32), 42.0);
    QCOMPARE(p.posLabel->text(), QStringLiteral("00:00:00"));
    p.pv->type = Type::Live;
    p.routeFrame(p.pv, QImage(4, 4, QImage::Format_RGB32), 180.4);
    QCOMPARE(p.posLabel->text() + p.delayLabel->text(), QStringLiteral("00:03:00延时 01:59"));
    // A player error turns the status line red; a take keeps it red; a
    // preview load turns it grey.
    p.onError("解析文件失败: x");
    QCOMPARE(p.statusLabel->text(), QStringLiteral("❌ 解析文件失败: x"));
    p.onTake();
    QCOMPARE(p.statusLabel->styleSheet(), QStringLiteral("color: #d32f2f; font-size: 11px;"));
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
    deskSettings().setValue("backupFiles", QStringList{path});
    auto panel = makePanel();
    auto *source = panel->inputsLayout->itemAt(1)->widget()->findChild<QPushButton *>();
    QCOMPARE(source->text(), button);
    QCOMPARE(source->toolTip(), path);
}

void TestDesk::chooseFilesInDialog(const QStringList &files)
{
    // As a user would: the dialog opens, the names are typed, Enter.
    QTimer::singleShot(300, this, [files] {
        auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
        QVERIFY(dialog && dialog->windowTitle() == QStringLiteral("选择备播视频/图片(可多选)"));
        auto *name = dialog->findChild<QLineEdit *>("fileNameEdit");
        name->setText("\"" + files.join("\" \"") + "\"");
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
    deskSettings().setValue("backupFiles", QStringList());
    chooseFilesInDialog({clip});
    panel->onAddBackup();
    QCOMPARE(deskSettings().value("backupFiles").toStringList(), (QStringList{clip, still}));
    QCOMPARE(panel->inputsLayout->count(), 5); // replay, two entries, add, stretch
    // Removing an entry from its own button while it handles its click.
    QPointer<QToolButton> remove = panel->inputsLayout->itemAt(1)->widget()->findChild<QToolButton *>();
    QTest::mouseClick(remove, Qt::LeftButton);
    QCOMPARE(deskSettings().value("backupFiles").toStringList(), QStringList{still});
    QTRY_VERIFY(remove.isNull()); // gone once the event loop has run
    QCOMPARE(panel->inputsLayout->count(), 4);
}

void TestDesk::instantReplayAndTheRecordingsEnd()
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
    const qint64 started = p.recordStartSecs;
    const QString recording = host.lastRecording();
    // Where preview starts: two minutes behind, never before 0, or where a
    // program lane following the same recording is.
    const std::tuple<double, double, const char *> starts[] = {
            {300, -1, "startSec=180.0"}, {90, -1, "startSec=0.0"}, {300, 754.3, "startSec=754.3"}};
    for (const auto &[recorded, programAt, line] : starts) {
        p.recordedSecs = recorded;
        p.pgm->type = programAt >= 0 ? Type::Live : Type::Video;
        p.pgm->path = recording;
        p.pgm->positionSec = qMax(0.0, programAt);
        p.pv->player->close();
        const int mark = logMark();
        p.loadToPreview(Type::Live, QString());
        QVERIFY(!logTexts(mark).filter("[ZKPlayer] open: " + recording + " (followLive=1, " + line).isEmpty());
    }
    QCOMPARE(p.statusLabel->text(), QStringLiteral("预览加载: 📺 即时回放"));
    p.pgm->type = Type::Empty;
    p.recordedSecs = 0;
    p.pv->player->close();
    p.loadToPreview(Type::Live, QString());
    QVERIFY(waitForPicture(p.pv, 20000));
    int mark = logMark();
    p.loadToPreview(Type::Live, QString()); // again: a jump within the open file
    QCOMPARE(countLog("[ZKPlayer] 同文件快速 seek → ", mark) + countLog("[ZKPlayer] open:", mark) * 10, 1);

    // The recording stops while the replay is on program: it plays to its end;
    // a video lane is left alone; the recorded length keeps its last value.
    p.onTake();
    p.loadToPreview(Type::Video, Media::path("av20.mp4"));
    QTest::qWait(2000);
    p.refreshTotal();
    const double length = p.recordedSecs;
    p.onRecordingStateChanged(true); // stopping: still reported active
    QCOMPARE(p.recordStartSecs, started);
    QSignalSpy programStates(p.pgm->player, &ZKPlayer::stateChanged);
    host.stopRecording();
    QTRY_VERIFY_WITH_TIMEOUT(!host.recordingActive(), 20000);
    p.onRecordingStateChanged(false);
    QVERIFY(!p.pgm->player->m_followLive && p.pv->player->isPlaying());
    p.refreshTotal();
    QVERIFY(p.recordedSecs >= length);
    QTRY_VERIFY_WITH_TIMEOUT(programStates.contains(QVariantList{QStringLiteral("已播完")}), 30000);
    // Instant replay of the finished recording plays to its end too.
    p.onTake();
    p.pv->player->close();
    QSignalSpy previewStates(p.pv->player, &ZKPlayer::stateChanged);
    p.loadToPreview(Type::Live, QString());
    QCOMPARE(previewStates.first().first().toString(), QStringLiteral("播放中"));
    QTRY_VERIFY_WITH_TIMEOUT(previewStates.contains(QVariantList{QStringLiteral("已播完")}), 30000);
}

ZK_AUDIO_TEST_MAIN(TestDesk, QApplication)
#include "test_desk.moc"
