// The recording bar, built directly against the stand-in host's frontend:
// its looks idle and recording, and the path as the host answers it. Its
// button starting and stopping OBS's recording: test_obs.

// QtTest first: the OBS headers' SIMD shim must come after the compiler's intrinsics.
#include <QtTest>

#include "frontend.h"
#include "obs_recording.h"
#include "recording_bar.h"

#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>

class TestRecordingBar : public QObject {
    Q_OBJECT

private:
    static QString look(const RecordingBar &bar)
    {
        return QStringList{bar.findChild<QPushButton *>("toggleButton")->text(),
                           bar.findChild<QLabel *>("elapsedLabel")->text(),
                           bar.findChild<QLabel *>("elapsedLabel")->styleSheet(),
                           bar.findChild<QLabel *>("pathLabel")->text()}
                .join(" | ");
    }

    QTemporaryDir m_dir;
    QString m_folder;
    ObsRecording m_host;

private slots:
    void initTestCase()
    {
        RecorderConfig config;
        config.folder = m_folder = m_dir.filePath("recordings");
        StandInFrontend::instance().recorder().setConfig(config);
    }
    void cleanup()
    {
        StandInFrontend &host = StandInFrontend::instance();
        host.simulateRecording(false);
        host.setPathAnswer(StandInFrontend::PathAnswer::RecordingFolder);
        host.recorder().stopAndWait();
    }
    void looksAndPath();
};

void TestRecordingBar::looksAndPath()
{
    StandInFrontend &host = StandInFrontend::instance();
    RecordingBar idle(&m_host, nullptr);
    const QString idleLook = QStringLiteral("🔴  开始录制 PGM | 00:00:00 | color: #888; | (未录制)");
    QCOMPARE(look(idle), idleLook);
    // Built while the host records: recording at once, counting from its own creation.
    host.simulateRecording(true);
    RecordingBar bar(&m_host, nullptr);
    QCOMPARE(look(bar), QStringLiteral("⏹  停止录制 | 00:00:00 | color: #d32f2f; | 📁 %1").arg(m_folder));
    QTRY_COMPARE_WITH_TIMEOUT(bar.findChild<QLabel *>("elapsedLabel")->text(), QStringLiteral("00:00:01"), 3000);
    // The path as the host answers it.
    const std::pair<StandInFrontend::PathAnswer, QString> answers[] = {
            {StandInFrontend::PathAnswer::Null, "(路径未知)"}, {StandInFrontend::PathAnswer::Empty, "(路径未知)"},
            {StandInFrontend::PathAnswer::RecordingFolder, "📁 " + m_folder}};
    for (const auto &[answer, shown] : answers) {
        host.setPathAnswer(answer);
        bar.updatePath();
        QCOMPARE(bar.findChild<QLabel *>("pathLabel")->text(), shown);
    }
    // Stopped: idle at once, without waiting for a tick.
    host.simulateRecording(false);
    bar.refreshState();
    QCOMPARE(look(bar), idleLook);
}

QTEST_MAIN(TestRecordingBar)
#include "test_recording_bar.moc"
