// The recording bar, built directly against the stand-in host's frontend:
// states, texts, elapsed time, path refresh.

// QtTest first: the OBS headers' SIMD shim must come after the compiler's intrinsics.
#include <QtTest>

#include "frontend.h"
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
    static QString tickAt(RecordingBar &bar, qint64 elapsed)
    {
        for (;;) {
            const qint64 now = QDateTime::currentSecsSinceEpoch();
            bar.startSecs = now - elapsed;
            bar.tick();
            if (QDateTime::currentSecsSinceEpoch() == now)
                return bar.elapsedLabel->text();
        }
    }
    static QString look(const RecordingBar &bar)
    {
        return QStringList{bar.toggleButton->text(), bar.elapsedLabel->text(), bar.elapsedLabel->styleSheet(),
                           bar.pathLabel->text(), bar.tickTimer->isActive() ? "ticking" : "still"}
                .join(" | ");
    }

    QTemporaryDir m_dir;
    QString m_folder;

private slots:
    void initTestCase();
    void cleanup();
    void idleAndRecording();
    void elapsedAndPath_data();
    void elapsedAndPath();
    void toggleOnlyRequests();
};

void TestRecordingBar::initTestCase()
{
    RecorderConfig config;
    config.folder = m_folder = m_dir.filePath("recordings");
    StandInFrontend::instance().recorder().setConfig(config);
}

void TestRecordingBar::cleanup()
{
    StandInFrontend &host = StandInFrontend::instance();
    host.simulateRecording(false);
    host.setPathAnswer(StandInFrontend::PathAnswer::RecordingFolder);
    host.recorder().stopAndWait();
}

void TestRecordingBar::idleAndRecording()
{
    RecordingBar idle(nullptr);
    QCOMPARE(look(idle), QStringLiteral("🔴  开始录制 PGM | 00:00:00 | color: #888; | (未录制) | still"));

    // Built while the host records: recording at once, counting from its own creation.
    StandInFrontend::instance().simulateRecording(true);
    const qint64 before = QDateTime::currentSecsSinceEpoch();
    RecordingBar bar(nullptr);
    QVERIFY(bar.startSecs >= before && bar.startSecs <= QDateTime::currentSecsSinceEpoch());
    QCOMPARE(look(bar), QStringLiteral("⏹  停止录制 | 00:00:00 | color: #d32f2f; | 📁 %1 | ticking").arg(m_folder));
    // Repeated events keep the first start.
    bar.startSecs -= 100;
    const qint64 start = bar.startSecs;
    bar.refreshState();
    QCOMPARE(bar.startSecs, start);
    // Stopped: idle at once, without waiting for a tick.
    tickAt(bar, 42);
    StandInFrontend::instance().simulateRecording(false);
    bar.refreshState();
    QCOMPARE(look(bar), look(idle));
    QCOMPARE(bar.startSecs, 0);
}

void TestRecordingBar::elapsedAndPath_data()
{
    QTest::addColumn<int>("answer");
    QTest::newRow("path known") << int(StandInFrontend::PathAnswer::RecordingFolder);
    QTest::newRow("null") << int(StandInFrontend::PathAnswer::Null);
    QTest::newRow("empty") << int(StandInFrontend::PathAnswer::Empty);
}

void TestRecordingBar::elapsedAndPath()
{
    QFETCH(int, answer);
    StandInFrontend &host = StandInFrontend::instance();
    host.simulateRecording(true);
    RecordingBar bar(nullptr);
    const QString known = QStringLiteral("📁 %1").arg(m_folder);
    host.setPathAnswer(StandInFrontend::PathAnswer(answer));
    const QString shown = answer ? QStringLiteral("(路径未知)") : known;
    // Hours are not wrapped; the path is read again at multiples of 5 s only.
    const std::pair<qint64, const char *> times[] = {{59, "00:00:59"}, {3725, "01:02:05"}, {100 * 3600, "100:00:00"}};
    for (const auto &[elapsed, text] : times) {
        QCOMPARE(tickAt(bar, elapsed), QString(text));
        QCOMPARE(bar.pathLabel->text(), elapsed % 5 ? known : shown);
    }
    tickAt(bar, 11);
    QCOMPARE(bar.pathLabel->text(), shown);
    // An idle bar's tick does nothing.
    bar.startSecs = 0;
    bar.elapsedLabel->setText("x");
    bar.tick();
    QCOMPARE(bar.elapsedLabel->text(), QStringLiteral("x"));
}

void TestRecordingBar::toggleOnlyRequests()
{
    // A click asks the host to record; the bar itself changes only on events.
    StandInFrontend &host = StandInFrontend::instance();
    RecordingBar bar(nullptr);
    QTest::mouseClick(bar.toggleButton, Qt::LeftButton);
    QVERIFY(host.recorder().state() != Recorder::State::Idle);
    QCOMPARE(bar.toggleButton->text(), QStringLiteral("🔴  开始录制 PGM"));
    QTRY_VERIFY_WITH_TIMEOUT(host.recordingActive(), 20000);
    bar.refreshState();
    QTest::mouseClick(bar.toggleButton, Qt::LeftButton); // now a request to stop
    QTRY_COMPARE_WITH_TIMEOUT(host.recorder().state(), Recorder::State::Idle, 20000);
    QCOMPARE(bar.toggleButton->text(), QStringLiteral("⏹  停止录制"));
}

QTEST_MAIN(TestRecordingBar)
#include "test_recording_bar.moc"
