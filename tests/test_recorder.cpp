// The stand-in host's recording: a real file that grows in real time and is
// whole after a stop, with OBS's recording events in OBS's order.

// QtTest first: the OBS headers' SIMD shim must come after the compiler's intrinsics.
#include <QtTest>

#include "frontend.h"
#include "test_support.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>

using namespace TestSupport;

namespace {

QVector<int> g_events;

void recordEvent(enum obs_frontend_event event, void *)
{
    g_events.append(int(event));
}

} // namespace

class TestRecorder : public QObject {
    Q_OBJECT

private:
    // Records for about `seconds` through the frontend calls; returns the
    // file and the time between the started and stopped events.
    void record(const RecorderConfig &config, int seconds, QString *file, double *recorded);

    QTemporaryDir m_dir;

private slots:
    void initTestCase();
    void init();
    void growsAndEndsWhole_data();
    void growsAndEndsWhole();
    void writerThatCannotRecordFailsCleanly_data();
    void writerThatCannotRecordFailsCleanly();
};

void TestRecorder::initTestCase()
{
    HostLog::instance().install(QString());
    obs_frontend_add_event_callback(recordEvent, nullptr);
}

void TestRecorder::init()
{
    g_events.clear();
}

void TestRecorder::record(const RecorderConfig &config, int seconds, QString *file, double *recorded)
{
    StandInFrontend &host = StandInFrontend::instance();
    Recorder &recorder = host.recorder();
    recorder.setConfig(config);
    QSignalSpy started(&recorder, &Recorder::started);
    QSignalSpy stopped(&recorder, &Recorder::stopped);
    obs_frontend_recording_start();
    QVERIFY(started.wait(20000));
    QElapsedTimer timer;
    timer.start();
    *file = recorder.currentFile();

    // While it records, the file grows and what is there decodes.
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(*file).size() > 0, 20000);
    const qint64 size = QFileInfo(*file).size();
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(*file).size() > size, 20000);
    QTRY_VERIFY_WITH_TIMEOUT(decodedFrames(*file) > 0, 20000);
    QTRY_VERIFY_WITH_TIMEOUT(timer.elapsed() >= seconds * 1000, seconds * 1000 + 5000);
    obs_frontend_recording_stop();
    QVERIFY(stopped.wait(20000));
    *recorded = timer.elapsed() / 1000.0;
    QVERIFY(stopped.first().first().toBool());
}

void TestRecorder::growsAndEndsWhole_data()
{
    QTest::addColumn<QString>("container");
    QTest::addColumn<bool>("looped");
    QTest::addColumn<QString>("video");
    QTest::newRow("matroska") << "mkv" << false << "h264|1280|720";
    QTest::newRow("fragmented mp4") << "fmp4" << false << "h264|1280|720";
    // One second of source recorded for three: the source loops in real time.
    QTest::newRow("looped source file") << "mkv" << true << "h264|640|360";
}

void TestRecorder::growsAndEndsWhole()
{
    QFETCH(QString, container);
    QFETCH(bool, looped);
    QFETCH(QString, video);
    RecorderConfig config;
    config.folder = m_dir.filePath(QTest::currentDataTag());
    config.container = container;
    if (looped) {
        config.source = m_dir.filePath("one-second.mp4");
        config.size = QSize(640, 360);
        QCOMPARE(run("ffmpeg", {"-v", "error", "-y", "-f", "lavfi", "-i", "testsrc2=size=320x240:rate=25", "-f", "lavfi",
                                "-i", "sine=frequency=1000:sample_rate=44100", "-t", "1", "-c:v", "libx264", "-c:a", "aac",
                                config.source}),
                 0);
    }
    double recorded = 0;
    QString file;
    record(config, 3, &file, &recorded);
    if (QTest::currentTestFailed())
        return;
    QVERIFY(file.endsWith(container == "mkv" ? ".mkv" : ".mp4"));

    const double duration = probeDuration(file);
    QVERIFY2(qAbs(duration - recorded) < 1.0, qPrintable(QString("%1 vs %2").arg(duration).arg(recorded)));
    // A looped file's frame rate is converted at each loop's seam; the test
    // picture alone gives exactly 30 a second.
    QVERIFY(looped || decodedFrames(file) >= int(duration * 30) - 2);
    QString streams;
    run("ffprobe", {"-v", "error", "-show_entries", "stream=codec_name,width,height,sample_rate", "-of",
                    "compact=p=0:nk=1", file},
        &streams);
    QCOMPARE(streams.trimmed().split('\n'), (QStringList{video, "aac|48000"}));

    QCOMPARE(g_events, (QVector<int>{OBS_FRONTEND_EVENT_RECORDING_STARTING, OBS_FRONTEND_EVENT_RECORDING_STARTED,
                                     OBS_FRONTEND_EVENT_RECORDING_STOPPING, OBS_FRONTEND_EVENT_RECORDING_STOPPED}));
    char *last = obs_frontend_get_last_recording();
    QCOMPARE(QString::fromUtf8(last), file);
    bfree(last);
    QVERIFY(!obs_frontend_recording_active());
}

void TestRecorder::writerThatCannotRecordFailsCleanly_data()
{
    QTest::addColumn<QString>("ffmpeg");
    QTest::addColumn<QString>("source");
    QTest::newRow("source missing") << "ffmpeg" << "no-such-file.mp4";
    QTest::newRow("writer missing") << "/nonexistent/ffmpeg" << QString();
}

void TestRecorder::writerThatCannotRecordFailsCleanly()
{
    // As OBS when its output cannot start: a message, back to stopped, and
    // no file named that was never written.
    QFETCH(QString, ffmpeg);
    QFETCH(QString, source);
    RecorderConfig config;
    config.folder = m_dir.filePath("failing");
    config.ffmpeg = ffmpeg;
    config.source = source.isEmpty() ? QString() : m_dir.filePath(source);
    Recorder &recorder = StandInFrontend::instance().recorder();
    recorder.setConfig(config);
    char *before = obs_frontend_get_last_recording();
    const QString previous = QString::fromUtf8(before);
    bfree(before);
    QSignalSpy failed(&recorder, &Recorder::failed);
    QSignalSpy stopped(&recorder, &Recorder::stopped);
    obs_frontend_recording_start();
    QVERIFY(stopped.wait(20000));
    QCOMPARE(failed.size(), 1);
    QVERIFY(!obs_frontend_recording_active());
    QCOMPARE(recorder.state(), Recorder::State::Idle);
    QCOMPARE(g_events, (QVector<int>{OBS_FRONTEND_EVENT_RECORDING_STARTING, OBS_FRONTEND_EVENT_RECORDING_STOPPED}));
    char *last = obs_frontend_get_last_recording();
    QCOMPARE(QString::fromUtf8(last), previous);
    bfree(last);
}

QTEST_MAIN(TestRecorder)
#include "test_recorder.moc"
