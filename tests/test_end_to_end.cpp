// The desk's main job, end to end, in the stand-in host as an operator runs
// it (zerka-host --scenario): the host records; the instant replay goes to
// preview and is swapped to program; program goes full screen on the second
// display, streams to a local RTMP server and sounds on the monitor device.
// Each output is checked on what it really got: the stream read back from
// the server, a screenshot of the second display, the sink's own monitor.

// QtTest first: the OBS headers' SIMD shim must come after the compiler's intrinsics.
#include <QtTest>

#include "test_support.h"

#include <QTemporaryDir>

#include <cmath>

using namespace TestSupport;

class TestEndToEnd : public QObject {
    Q_OBJECT

private slots:
    void programReachesEveryOutput();
};

void TestEndToEnd::programReachesEveryOutput()
{
    QTemporaryDir dir;
    const auto audio = startAudioServer();
    QVERIFY(audio && audio->up());
    Server rtmp(ZK_TESTS_DIR "/rtmp-server", dir.path());
    QVERIFY(rtmp.up());
    QProcess listen; // what the monitor device plays, for the whole run
    listen.start("parec", {"-d", "sinkA.monitor", "--raw", "--rate=48000", "--channels=2", "--format=s16le"});
    QVERIFY(listen.waitForStarted());

    QProcess host;
    host.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    host.start(ZK_HOST_PATH, {"--recordings", dir.filePath("recordings"), "--log", dir.filePath("host.log"),
                              "--scenario", "--rtmp", "rtmp://127.0.0.1:19350/live/e2e", "--shots",
                              dir.filePath("shots"), "--stream-seconds", "6"});
    // The event loop runs meanwhile: it keeps reading what the sink plays.
    QTRY_VERIFY_WITH_TIMEOUT(host.state() == QProcess::NotRunning, 120000);
    listen.kill();
    listen.waitForFinished();
    QFile log(dir.filePath("host.log"));
    QVERIFY(log.open(QIODevice::ReadOnly));
    const QString lines = QString::fromUtf8(log.readAll());
    QVERIFY2(host.exitStatus() == QProcess::NormalExit && host.exitCode() == 0, qPrintable(lines.right(3000)));
    QVERIFY(lines.contains("[Zerka] Dock 已注册 (PV/PGM 布局)"));
    QVERIFY(!lines.contains("[error]"));

    // The stream: pictures and sound for the time it ran.
    const QString received = dir.filePath("rec/e2e.flv");
    QString streams;
    run("ffprobe", {"-v", "error", "-show_entries", "stream=codec_name,width,height", "-of", "compact=p=0:nk=1", received},
        &streams);
    QCOMPARE(streams.trimmed().split('\n'), (QStringList{"h264|1920|1080", "aac"}));
    const double streamed = probeDuration(received);
    QVERIFY2(streamed > 5.0 && streamed < 9.0, qPrintable(QString::number(streamed)));
    QVERIFY(decodedFrames(received) > 5 * 25);

    // The second display shows program: the recording's colour bars.
    const QImage display(dir.filePath("shots/display-B.png"));
    QVERIFY(!display.isNull());
    QCOMPARE(display.size(), QSize(1920, 1080));
    int coloured = 0;
    for (int x = 40; x < 1920; x += 80)
        coloured += qGray(display.pixel(x, 540)) > 40;
    QVERIFY2(coloured > 15, qPrintable(QString("%1 of 24 points lit").arg(coloured)));

    // The monitor device played program's tone.
    const QByteArray pcm = listen.readAllStandardOutput();
    const auto *samples = reinterpret_cast<const qint16 *>(pcm.constData());
    qint64 loud = 0;
    for (qsizetype i = 0; i < pcm.size() / 2; ++i)
        loud += qAbs(samples[i]) > 1000;
    QVERIFY2(loud > 48000 * 2 * 3, qPrintable(QString("%1 loud samples").arg(loud)));
}

QTEST_GUILESS_MAIN(TestEndToEnd)
#include "test_end_to_end.moc"
