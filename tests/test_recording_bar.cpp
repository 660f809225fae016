// The recording bar and the panel's recording start, built directly against
// the stand-in host's frontend: states, texts, elapsed time, path refresh.

// QtTest first: the OBS headers' SIMD shim must come after the compiler's intrinsics.
#include <QtTest>

#include "frontend.h"
#include "playback_panel.h"
#include "recording_bar.h"

#include <QDateTime>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

class TestRecordingBar : public QObject {
    Q_OBJECT

private:
    // Runs tick() with the bar started `elapsed` seconds ago; retries when
    // the clock's second turns over in between, so the result is exact.
    static QString tickAt(RecordingBar &bar, qint64 elapsed);

    QTemporaryDir m_dir;

private slots:
    void initTestCase();
    void cleanup();
    void idleLook();
    void barBuiltWhileRecordingCountsFromItsCreation();
    void repeatedEventsKeepTheFirstStart();
    void elapsedFormat();
    void pathIsReadAtMultiplesOfFiveSeconds();
    void unknownPath_data();
    void unknownPath();
    void stopShowsIdleAtOnce();
    void toggleOnlyRequests();
    void panelRecordStart();
};

QString TestRecordingBar::tickAt(RecordingBar &bar, qint64 elapsed)
{
    for (;;) {
        const qint64 now = QDateTime::currentSecsSinceEpoch();
        bar.startSecs = now - elapsed;
        bar.tick();
        if (QDateTime::currentSecsSinceEpoch() == now)
            return bar.elapsedLabel->text();
    }
}

void TestRecordingBar::initTestCase()
{
    RecorderConfig config;
    config.folder = m_dir.filePath("recordings");
    StandInFrontend::instance().recorder().setConfig(config);
}

void TestRecordingBar::cleanup()
{
    StandInFrontend &host = StandInFrontend::instance();
    host.simulateRecording(false);
    host.setPathAnswer(StandInFrontend::PathAnswer::RecordingFolder);
    host.recorder().stopAndWait();
}

void TestRecordingBar::idleLook()
{
    RecordingBar bar(nullptr);
    QCOMPARE(bar.toggleButton->text(), QStringLiteral("🔴  开始录制 PGM"));
    QCOMPARE(bar.toggleButton->styleSheet(), RecordingBar::buttonStyleIdle());
    QCOMPARE(bar.toggleButton->minimumHeight(), 36);
    QCOMPARE(bar.elapsedLabel->text(), QStringLiteral("00:00:00"));
    QCOMPARE(bar.elapsedLabel->styleSheet(), QStringLiteral("color: #888;"));
    QCOMPARE(bar.elapsedLabel->font().pointSize(), 16);
    QVERIFY(bar.elapsedLabel->font().bold());
    QCOMPARE(bar.elapsedLabel->font().family(), QStringLiteral("Menlo, monospace"));
    QCOMPARE(bar.pathLabel->text(), QStringLiteral("(未录制)"));
    QCOMPARE(bar.pathLabel->styleSheet(), QStringLiteral("color: #777; font-size: 11px;"));
    QCOMPARE(int(bar.pathLabel->textInteractionFlags()), 1);
    QVERIFY(bar.pathLabel->wordWrap());
    QVERIFY(!bar.tickTimer->isActive());
    QCOMPARE(bar.tickTimer->interval(), 500);
    QCOMPARE(bar.startSecs, 0);

    QCOMPARE(RecordingBar::buttonStyleIdle(),
             QStringLiteral("QPushButton { background:#3a3a3a; color:white; font-size:14px; font-weight:600; "
                            "border:1px solid #555; border-radius:6px; padding:0 16px; }"
                            "QPushButton:hover { background:#4a4a4a; }"));
    QCOMPARE(RecordingBar::buttonStyleRecording(),
             QStringLiteral("QPushButton { background:#d32f2f; color:white; font-size:14px; font-weight:600; "
                            "border:1px solid #b22222; border-radius:6px; padding:0 16px; }"
                            "QPushButton:hover { background:#e23a3a; }"));
}

void TestRecordingBar::barBuiltWhileRecordingCountsFromItsCreation()
{
    StandInFrontend::instance().simulateRecording(true);
    const qint64 before = QDateTime::currentSecsSinceEpoch();
    RecordingBar bar(nullptr);
    QVERIFY(bar.startSecs >= before && bar.startSecs <= QDateTime::currentSecsSinceEpoch());
    QCOMPARE(bar.toggleButton->text(), QStringLiteral("⏹  停止录制"));
    QCOMPARE(bar.toggleButton->styleSheet(), RecordingBar::buttonStyleRecording());
    QCOMPARE(bar.elapsedLabel->styleSheet(), QStringLiteral("color: #d32f2f;"));
    QCOMPARE(bar.elapsedLabel->text(), QStringLiteral("00:00:00"));
    QCOMPARE(bar.pathLabel->text(), QStringLiteral("📁 %1").arg(m_dir.filePath("recordings")));
    QVERIFY(bar.tickTimer->isActive());
}

void TestRecordingBar::repeatedEventsKeepTheFirstStart()
{
    StandInFrontend::instance().simulateRecording(true);
    RecordingBar bar(nullptr);
    bar.startSecs -= 100;
    const qint64 start = bar.startSecs;
    bar.refreshState();
    bar.refreshState();
    QCOMPARE(bar.startSecs, start);
}

void TestRecordingBar::elapsedFormat()
{
    StandInFrontend::instance().simulateRecording(true);
    RecordingBar bar(nullptr);
    QCOMPARE(tickAt(bar, 0), QStringLiteral("00:00:00"));
    QCOMPARE(tickAt(bar, 59), QStringLiteral("00:00:59"));
    QCOMPARE(tickAt(bar, 3725), QStringLiteral("01:02:05"));
    QCOMPARE(tickAt(bar, 100 * 3600), QStringLiteral("100:00:00"));

    // An idle bar's tick does nothing.
    bar.startSecs = 0;
    bar.elapsedLabel->setText("x");
    bar.tick();
    QCOMPARE(bar.elapsedLabel->text(), QStringLiteral("x"));
}

void TestRecordingBar::pathIsReadAtMultiplesOfFiveSeconds()
{
    StandInFrontend &host = StandInFrontend::instance();
    host.simulateRecording(true);
    RecordingBar bar(nullptr);
    const QString known = QStringLiteral("📁 %1").arg(m_dir.filePath("recordings"));
    QCOMPARE(bar.pathLabel->text(), known);

    host.setPathAnswer(StandInFrontend::PathAnswer::Null);
    tickAt(bar, 11);
    QCOMPARE(bar.pathLabel->text(), known);
    tickAt(bar, 10);
    QCOMPARE(bar.pathLabel->text(), QStringLiteral("(路径未知)"));

    host.setPathAnswer(StandInFrontend::PathAnswer::RecordingFolder);
    tickAt(bar, 14);
    QCOMPARE(bar.pathLabel->text(), QStringLiteral("(路径未知)"));
    tickAt(bar, 0);
    QCOMPARE(bar.pathLabel->text(), known);
}

void TestRecordingBar::unknownPath_data()
{
    QTest::addColumn<int>("answer");
    QTest::newRow("null") << int(StandInFrontend::PathAnswer::Null);
    QTest::newRow("empty") << int(StandInFrontend::PathAnswer::Empty);
}

void TestRecordingBar::unknownPath()
{
    QFETCH(int, answer);
    StandInFrontend &host = StandInFrontend::instance();
    host.setPathAnswer(StandInFrontend::PathAnswer(answer));
    host.simulateRecording(true);
    RecordingBar bar(nullptr);
    QCOMPARE(bar.pathLabel->text(), QStringLiteral("(路径未知)"));
    // Counting goes on.
    QCOMPARE(tickAt(bar, 7), QStringLiteral("00:00:07"));
}

void TestRecordingBar::stopShowsIdleAtOnce()
{
    StandInFrontend &host = StandInFrontend::instance();
    host.simulateRecording(true);
    RecordingBar bar(nullptr);
    tickAt(bar, 42);
    host.simulateRecording(false);
    bar.refreshState();
    QCOMPARE(bar.startSecs, 0);
    QCOMPARE(bar.elapsedLabel->text(), QStringLiteral("00:00:00"));
    QCOMPARE(bar.elapsedLabel->styleSheet(), QStringLiteral("color: #888;"));
    QCOMPARE(bar.pathLabel->text(), QStringLiteral("(未录制)"));
    QCOMPARE(bar.toggleButton->text(), QStringLiteral("🔴  开始录制 PGM"));
    QCOMPARE(bar.toggleButton->styleSheet(), RecordingBar::buttonStyleIdle());
    QVERIFY(!bar.tickTimer->isActive());
}

void TestRecordingBar::toggleOnlyRequests()
{
    // A click asks the host to record; the bar itself changes only on events.
    StandInFrontend &host = StandInFrontend::instance();
    RecordingBar bar(nullptr);
    QTest::mouseClick(bar.toggleButton, Qt::LeftButton);
    QVERIFY(host.recorder().state() != Recorder::State::Idle);
    QCOMPARE(bar.toggleButton->text(), QStringLiteral("🔴  开始录制 PGM"));

    // Once the host records, a click asks it to stop.
    QTRY_VERIFY_WITH_TIMEOUT(host.recordingActive(), 20000);
    bar.refreshState();
    QCOMPARE(bar.toggleButton->text(), QStringLiteral("⏹  停止录制"));
    QTest::mouseClick(bar.toggleButton, Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(host.recorder().state(), Recorder::State::Idle, 20000);
    QCOMPARE(bar.toggleButton->text(), QStringLiteral("⏹  停止录制"));
}

void TestRecordingBar::panelRecordStart()
{
    PlaybackPanel panel(nullptr);
    QCOMPARE(panel.recordStartSeconds(), 0);
    panel.onRecordingStateChanged(true);
    const qint64 first = panel.recordStartSeconds();
    QVERIFY(qAbs(first - QDateTime::currentSecsSinceEpoch()) <= 1);
    // The host reports recording active from starting to stopping: later
    // notifications of the same recording keep its start.
    QTRY_VERIFY_WITH_TIMEOUT(QDateTime::currentSecsSinceEpoch() > first, 3000);
    panel.onRecordingStateChanged(true);
    QCOMPARE(panel.recordStartSeconds(), first);
    panel.onRecordingStateChanged(false);
    QCOMPARE(panel.recordStartSeconds(), 0);
}

QTEST_MAIN(TestRecordingBar)
#include "test_recording_bar.moc"
