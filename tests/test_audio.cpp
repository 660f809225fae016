// The player's sound on a real audio server: a private PulseAudio with two
// null sinks, started by this test before Qt looks for devices. Device
// choice, volume, what audioData carries, the audio clock, end-to-end A/V
// sync measured on what the sink really played, the statistics line and
// the watchdog that drops a device which stopped consuming.

// QtTest first: the OBS headers' SIMD shim must come after the compiler's intrinsics.
#include <QtTest>

#include "media.h"
#include "sync_meter.h"
#include "test_support.h"
#include "zk_player.h"

#include <QAudioSink>
#include <QMediaDevices>
#include <QRegularExpression>

#include <cmath>
#include <cstdlib>
#include <cstring>

using namespace TestSupport;

namespace {

QString g_serverDir;

int pactl(const QStringList &args)
{
    return run("pactl", args);
}

// One sink suspended for the length of a scope (the device stops consuming).
struct SuspendedSink {
    QString name;
    explicit SuspendedSink(const QString &sink) : name(sink) { pactl({"suspend-sink", name, "1"}); }
    ~SuspendedSink() { pactl({"suspend-sink", name, "0"}); }
};

} // namespace

class TestAudio : public QObject {
    Q_OBJECT

private:
    // Opens `file` and waits until the audio clock runs.
    void openWithSound(ZKPlayer &player, const QString &file);
    static QByteArray sinkDevice(ZKPlayer &player)
    {
        return player.m_sink ? player.m_sink->property("zk_device_id").toByteArray() : QByteArray();
    }
    static QString lastStatsLine(int from);

private slots:
    void initTestCase();
    void cleanup();
    void deviceChoice();
    void volumeAndMute();
    void audioDataFollowsTheDevice();
    void audioDataIsExactlyWhatTheSinkTook();
    void clockAnchorsAndJumps();
    void frozenDeviceStopsTheClock();
    void avSyncOnWhatTheSinkPlayed();
    void statisticsLine();
    void watchdogDropsAStalledDevice();
    void watchdogSparesIdleAndPausedSinks();
    void twoPlayersJudgeTheirOwnSinks();
};

void TestAudio::initTestCase()
{
    HostLog::instance().install(QString());
    QVERIFY2(!QMediaDevices::audioOutputs().isEmpty(), "the test's PulseAudio server is not reachable");
    for (const char *name : {"av20.mp4", "sync.mkv", "gap1s.mkv", "gap02s.mkv"})
        QVERIFY(QFileInfo(Media::path(name)).exists());
}

void TestAudio::cleanup()
{
    pactl({"suspend-sink", "sinkA", "0"});
    pactl({"suspend-sink", "sinkB", "0"});
}

void TestAudio::openWithSound(ZKPlayer &player, const QString &file)
{
    player.open(file, false, 0);
    QVERIFY(player.m_sink);
    QTRY_VERIFY_WITH_TIMEOUT(player.m_audioClockValid, 10000);
}

QString TestAudio::lastStatsLine(int from)
{
    const QStringList lines = logTexts(from).filter("[ZK统计]");
    return lines.isEmpty() ? QString() : lines.last();
}

void TestAudio::deviceChoice()
{
    ZKPlayer player(nullptr);
    QSignalSpy frames(&player, &ZKPlayer::frameReady);
    int before = HostLog::instance().count();
    player.setAudioDevice("no-such-device");
    openWithSound(player, Media::path("av20.mp4"));
    QCOMPARE(sinkDevice(player), QByteArray("sinkA")); // the default
    QVERIFY(logTexts(before).contains("[ZKPlayer] CoreAudio 操作: 新建 QAudioSink: SinkA"));

    // Another id that resolves to the same device keeps the sink.
    QAudioSink *sink = player.m_sink;
    before = HostLog::instance().count();
    player.setAudioDevice("sinkA");
    QCOMPARE(player.m_sink, sink);
    QCOMPARE(logTexts(before), QStringList{"[ZKPlayer] 复用 QAudioSink(零 CoreAudio 调用): SinkA"});
    QVERIFY(!player.m_audioClockValid); // the next chunk re-anchors
    QTRY_VERIFY_WITH_TIMEOUT(player.m_audioClockValid, 5000);

    // Switching to the other sink while playing moves the sound there. Wait
    // until sound and picture are in step: a null sink can stall its first
    // second, and the picture then waits for the sound to catch up.
    QTRY_VERIFY_WITH_TIMEOUT(qAbs(player.masterClockSec() - player.m_lastPts) < 0.1, 10000);
    before = HostLog::instance().count();
    player.setAudioDevice("sinkB");
    QCOMPARE(sinkDevice(player), QByteArray("sinkB"));
    QStringList expected{"[ZKPlayer] CoreAudio 操作开始: 销毁旧 sink", "[ZKPlayer] CoreAudio 操作开始: stop+delete sink",
                         "[ZKPlayer] CoreAudio 操作完成: sink 已销毁", "[ZKPlayer] CoreAudio 操作: 新建 QAudioSink: SinkB"};
    QCOMPARE(logTexts(before).mid(0, 4), expected);
    const int shown = frames.size();
    QProcess parec;
    parec.start("parec", {"-d", "sinkB.monitor", "--raw", "--rate=48000", "--channels=2", "--format=s16le"});
    QVERIFY(parec.waitForStarted());
    QTest::qWait(2500); // a new stream on a null sink can stall for its first second
    parec.kill();
    parec.waitForFinished();
    const QByteArray pcm = parec.readAllStandardOutput();
    const auto *samples = reinterpret_cast<const qint16 *>(pcm.constData());
    int loud = 0;
    for (int i = 0; i < pcm.size() / 2; ++i)
        loud += qAbs(samples[i]) > 1000;
    QVERIFY2(loud > 1000, qPrintable(QString("%1 loud samples on sinkB").arg(loud)));
    QVERIFY2(frames.size() > shown + 30, qPrintable(QString("%1 pictures after the switch").arg(frames.size() - shown))); // the picture went on
}

void TestAudio::volumeAndMute()
{
    ZKPlayer player(nullptr);
    openWithSound(player, Media::path("av20.mp4"));
    player.setVolume(150);
    QCOMPARE(player.m_volume, 100);
    QVERIFY(qAbs(player.m_sink->volume() - 1.0) < 0.01);
    player.setVolume(-5);
    QCOMPARE(player.m_volume, 0);
    player.setMuted(true);
    player.setVolume(50);
    QVERIFY(player.m_sink->volume() < 0.01); // muted stays silent
    player.setMuted(false);
    QVERIFY(qAbs(player.m_sink->volume() - 0.5) < 0.01);
}

void TestAudio::audioDataFollowsTheDevice()
{
    ZKPlayer player(nullptr);
    QByteArray carried;
    int blocks = 0;
    connect(&player, &ZKPlayer::audioData, this, [&](const QByteArray &pcm) {
        carried += pcm;
        ++blocks;
        QVERIFY(pcm.size() % 4 == 0);
    });
    openWithSound(player, Media::path("av20.mp4"));
    QTest::qWait(1000); // past the sink's initial fill
    carried.clear();
    QElapsedTimer timer;
    timer.start();
    QTest::qWait(3000);
    const double rate = carried.size() / (timer.elapsed() / 1000.0);
    QVERIFY2(qAbs(rate - 192000) < 192000 * 0.1, qPrintable(QString::number(rate)));
    QVERIFY(blocks > 50);
}

void TestAudio::audioDataIsExactlyWhatTheSinkTook()
{
    // Known bytes through a real sink: a counting pattern in chunks of odd
    // sizes, fed by the audio tick alone (no file, no decode thread).
    ZKPlayer player(nullptr);
    player.setupAudioOutput();
    QVERIFY(player.m_sink && player.m_sinkIo);
    QByteArray pattern;
    {
        std::lock_guard<std::mutex> lock(player.m_mutex);
        quint32 counter = 0;
        double pts = 0;
        for (int bytes : {4000, 12, 20000, 4, 96000, 7996, 48000}) {
            QByteArray pcm(bytes, Qt::Uninitialized);
            for (int i = 0; i < bytes; i += 4, ++counter)
                memcpy(pcm.data() + i, &counter, 4);
            pattern += pcm;
            player.m_audioQueue.push_back({pcm, pts});
            player.m_queuedAudioSec += bytes / 192000.0;
            pts += bytes / 192000.0;
        }
    }
    QByteArray carried;
    connect(&player, &ZKPlayer::audioData, this, [&carried](const QByteArray &pcm) { carried += pcm; });
    QElapsedTimer fed;
    fed.start();
    while (carried.size() < pattern.size() && fed.elapsed() < 5000) {
        player.onAudioTick();
        QTest::qWait(15);
    }
    QCOMPARE(carried.size(), pattern.size());
    QVERIFY(carried == pattern); // every byte, once, in order
    std::lock_guard<std::mutex> lock(player.m_mutex);
    QVERIFY(player.m_audioQueue.empty());
    QVERIFY(player.m_queuedAudioSec < 1e-9);
}

void TestAudio::clockAnchorsAndJumps()
{
    {
        ZKPlayer player(nullptr);
        const int before = HostLog::instance().count();
        openWithSound(player, Media::path("gap1s.mkv"));
        QVERIFY(!logTexts(before).join('\n').contains("音频不连续")); // the first chunk anchors silently
        QTRY_VERIFY_WITH_TIMEOUT(logTexts(before).join('\n').contains("[ZKPlayer] 音频不连续(预期 2.0"), 8000);
        QVERIFY(logTexts(before).filter("音频不连续").first().contains(QRegularExpression("实际 3\\.0\\d\\),时钟重锚$")));
    }
    {
        ZKPlayer player(nullptr);
        QSignalSpy states(&player, &ZKPlayer::stateChanged);
        const int before = HostLog::instance().count();
        openWithSound(player, Media::path("gap02s.mkv"));
        QTRY_VERIFY_WITH_TIMEOUT(player.m_lastPts > 3.5, 10000);
        QVERIFY(!logTexts(before).join('\n').contains("音频不连续")); // 0.2 s is not a jump
    }
}

void TestAudio::frozenDeviceStopsTheClock()
{
    ZKPlayer player(nullptr);
    openWithSound(player, Media::path("av20.mp4"));
    QTest::qWait(500);
    SuspendedSink frozen("sinkA");
    QTest::qWait(300);
    const double start = player.masterClockSec();
    QTest::qWait(1500);
    const double advanced = player.masterClockSec() - start;
    QVERIFY2(advanced <= 0.65, qPrintable(QString::number(advanced)));
}

void TestAudio::avSyncOnWhatTheSinkPlayed()
{
    SyncMeter meter("sinkA.monitor");
    QVERIFY(meter.start());
    QTest::qWait(500);
    ZKPlayer player(nullptr);
    meter.watch(&player);
    player.open(Media::path("sync.mkv"), false, 0);
    QTest::qWait(7500);
    player.close();
    meter.stop();
    const SyncMeter::Result sync = meter.result();
    QVERIFY2(sync.marks >= 4, qPrintable(QString("%1 of %2 flashes matched a click").arg(sync.marks).arg(meter.flashes())));
    qInfo("A/V offset: mean %.1f ms, worst %.1f ms over %d marks (audio later when positive)", sync.meanMs,
          sync.worstMs, sync.marks);
    // Coarse: catches a wrong anchor or a sign error, not jitter.
    QVERIFY2(qAbs(sync.meanMs) < 150, qPrintable(QString::number(sync.meanMs)));
}

void TestAudio::statisticsLine()
{
    // No sink, no picture yet.
    ZKPlayer idle(nullptr);
    int before = HostLog::instance().count();
    idle.onStatsTick();
    QCOMPARE(logTexts(before), QStringList{"[ZK统计] pos=0.00 clk=-99.00 vq=0 aq=0.00s pend=0 eof=0 | sink: "
                                           "state=-1 free=-1 procUs=-1 aclk=0 expect=-1.00"});
    QCOMPARE(logLines(before).first().level, LOG_INFO);

    // Playing with a sink: every two seconds, with the sink's readings.
    ZKPlayer player(nullptr);
    before = HostLog::instance().count();
    openWithSound(player, Media::path("av20.mp4"));
    QTRY_VERIFY_WITH_TIMEOUT(!lastStatsLine(before).isEmpty(), 4000);
    const QRegularExpression format(
            "^\\[ZK统计\\] pos=\\d+\\.\\d\\d clk=\\d+\\.\\d\\d vq=\\d+ aq=\\d+\\.\\d\\ds pend=\\d+ eof=0 \\| sink: "
            "state=0 free=\\d+ procUs=\\d+ aclk=1 expect=\\d+\\.\\d\\d$");
    QVERIFY2(format.match(lastStatsLine(before)).hasMatch(), qPrintable(lastStatsLine(before)));
}

void TestAudio::watchdogDropsAStalledDevice()
{
    ZKPlayer player(nullptr);
    QSignalSpy states(&player, &ZKPlayer::stateChanged);
    QSignalSpy frames(&player, &ZKPlayer::frameReady);
    openWithSound(player, Media::path("av20.mp4"));
    QTest::qWait(500);
    const int before = HostLog::instance().count();
    {
        SuspendedSink frozen("sinkA");
        QTRY_VERIFY_WITH_TIMEOUT(states.size() > 1 && states.last().first().toString() == "音频设备异常,已切静默播放",
                                 8000);
    }
    const QStringList warnings = logTexts(before).filter("音频设备 2 秒没消费任何数据");
    QCOMPARE(warnings.size(), 1);
    QVERIFY2(warnings.first().startsWith("[ZKPlayer] ⚠️ 音频设备 2 秒没消费任何数据(procUs 冻结在 ") &&
                     warnings.first().endsWith("),弃用该设备,视频转墙钟继续播。设备=sinkA"),
             qPrintable(warnings.first()));
    QVERIFY(!player.m_sink);
    // Video goes on from where it was, on the wall clock.
    const double position = player.m_lastPts;
    const int shown = frames.size();
    QTRY_VERIFY_WITH_TIMEOUT(frames.size() > shown + 30, 5000);
    QVERIFY(player.m_lastPts > position && player.m_lastPts < position + 3);
    const int after = HostLog::instance().count();
    QTRY_VERIFY_WITH_TIMEOUT(!lastStatsLine(after).isEmpty(), 4000);
    QVERIFY2(lastStatsLine(after).contains("procUs=-1 aclk=0"), qPrintable(lastStatsLine(after)));
}

void TestAudio::watchdogSparesIdleAndPausedSinks()
{
    ZKPlayer player(nullptr);
    QSignalSpy states(&player, &ZKPlayer::stateChanged);
    openWithSound(player, Media::path("av20.mp4"));
    player.m_statsTimer->stop(); // ticks by hand from here
    SuspendedSink frozen("sinkA");
    QTest::qWait(300);
    auto tickWith = [&](double queued, bool pending) {
        {
            std::lock_guard<std::mutex> lock(player.m_mutex);
            player.m_queuedAudioSec = queued;
        }
        player.m_pendingPcm = pending ? QByteArray(4, '\0') : QByteArray();
        player.m_lastProcUs = player.m_sink->processedUSecs();
        player.onStatsTick();
    };
    player.m_audioTimer->stop(); // nothing may drain the queue meanwhile
    tickWith(0.0, false);        // a drained queue: nothing to consume
    tickWith(0.05, false);       // exactly 0.05 s: still drained
    QVERIFY(player.m_sink);
    player.setPaused(true);      // paused with audio waiting
    tickWith(1.0, true);
    tickWith(1.0, true);
    QVERIFY(player.m_sink);
    player.setPaused(false);
    player.m_audioTimer->stop();
    tickWith(0.06, false); // more than 0.05 s waiting and nothing consumed: dropped
    QVERIFY(!player.m_sink);
    QCOMPARE(states.last().first().toString(), QStringLiteral("音频设备异常,已切静默播放"));
}

void TestAudio::twoPlayersJudgeTheirOwnSinks()
{
    ZKPlayer pgm(nullptr), pv(nullptr);
    pv.setAudioDevice("sinkB");
    openWithSound(pgm, Media::path("av20.mp4"));
    openWithSound(pv, Media::path("av20.mp4"));
    QCOMPARE(sinkDevice(pv), QByteArray("sinkB"));
    QTest::qWait(500);
    SuspendedSink frozen("sinkA");
    QTRY_VERIFY_WITH_TIMEOUT(!pgm.m_sink, 8000);
    QTest::qWait(2500); // another tick for the other player
    QVERIFY(pv.m_sink);
    QCOMPARE(sinkDevice(pv), QByteArray("sinkB"));
}

int main(int argc, char **argv)
{
    // The server must be there before Qt looks for audio devices.
    QByteArray dir = QByteArray(qgetenv("TMPDIR").isEmpty() ? "/tmp" : qgetenv("TMPDIR")) + "/zerka-audio-XXXXXX";
    if (!mkdtemp(dir.data()))
        return 1;
    g_serverDir = QString::fromLocal8Bit(dir);
    const QByteArray script = ZK_AUDIO_SERVER_SCRIPT;
    if (system(("bash " + script + " start " + dir).constData()) != 0)
        return 1;
    qputenv("PULSE_SERVER", "unix:" + dir + "/run/pulse/native");
    int status = 0;
    {
        QCoreApplication app(argc, argv);
        TestAudio test;
        QTEST_SET_MAIN_SOURCE_PATH
        status = QTest::qExec(&test, argc, argv);
    }
    system(("bash " + script + " stop " + dir).constData());
    system(("rm -rf " + dir).constData());
    return status;
}

#include "test_audio.moc"
