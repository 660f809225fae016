// The player's sound on a real audio server: a private PulseAudio with two
// null sinks, started by this test before Qt looks for devices. Device
// choice, volume, what audioData carries, the audio clock across seeks
// near the start, loops, heals, pause and a frozen device, end-to-end A/V
// sync measured on what the sink really played, the statistics line and
// the watchdog that drops a device which stopped consuming.

// QtTest first: the OBS headers' SIMD shim must come after the compiler's intrinsics.
#include <QtTest>

#include "fault_pread.h"
#include "media.h"
#include "sync_meter.h"
#include "test_support.h"
#include "zk_player.h"

#include <QAudioSink>
#include <QMediaDevices>

using namespace TestSupport;

namespace {

// One sink suspended for the length of a scope (the device stops consuming).
struct SuspendedSink {
    QString name;
    explicit SuspendedSink(const QString &sink) : name(sink) { run("pactl", {"suspend-sink", name, "1"}); }
    ~SuspendedSink() { run("pactl", {"suspend-sink", name, "0"}); }
};

// When pictures left the player, on the wall clock.
struct Pacing : QObject {
    QElapsedTimer clock;
    QVector<qint64> at;
    explicit Pacing(ZKPlayer &player)
    {
        clock.start();
        connect(&player, &ZKPlayer::frameReady, this, [this] { at << clock.elapsed(); });
    }
    // The most pictures within any 100 ms, and the longest gap, from `from` on.
    std::pair<int, qint64> burstAndGap(int from = 0) const
    {
        int burst = 0;
        qint64 gap = 0;
        for (int i = from, j = from; i < at.size(); ++i) {
            while (at[i] - at[j] > 100)
                ++j;
            burst = qMax(burst, i - j + 1);
            if (i > from)
                gap = qMax(gap, at[i] - at[i - 1]);
        }
        return {burst, gap};
    }
};

} // namespace

class TestAudio : public QObject {
    Q_OBJECT

private:
    // Opens `file` and waits until the audio clock runs.
    static void openWithSound(ZKPlayer &player, const QString &file, double start = 0);
    static QByteArray sinkDevice(ZKPlayer &player)
    {
        return player.m_sink ? player.m_sink->property("zk_device_id").toByteArray() : QByteArray();
    }
    static QString lastStatsLine(int from)
    {
        const QStringList lines = logTexts(from).filter("[ZK统计]");
        return lines.isEmpty() ? QString() : lines.last();
    }
    // A normal picture rate: at most 5 pictures within 100 ms (30 fps gives
    // 3 or 4) and no gap over 200 ms.
    static bool paced(const Pacing &pacing, int from, const char *what);
    // A null sink can stall the first second of a new stream (its count
    // stands while it plays); until the count runs and sound and picture
    // are in step the picture waits for it.
    static void waitInStep(ZKPlayer &player)
    {
        QTest::qWait(1500);
        QTRY_VERIFY_WITH_TIMEOUT(qAbs(player.masterClockSec() - player.m_lastPts) < 0.1, 10000);
        const qint64 deadline = QDateTime::currentMSecsSinceEpoch() + 10000;
        for (;;) {
            const qint64 before = player.m_sink->processedUSecs();
            QTest::qWait(300);
            if (player.m_sink->processedUSecs() - before > 200000)
                break;
            QVERIFY2(QDateTime::currentMSecsSinceEpoch() < deadline, "the sink's count never ran");
        }
    }

private slots:
    void initTestCase();
    void cleanup();
    void deviceChoice();
    void volumeAndMute();
    void audioDataIsExactlyWhatTheSinkTook();
    void clockAnchorsAndJumps();
    void seekCloseToTheStartPaces_data();
    void seekCloseToTheStartPaces();
    void loopingAShortFileStaysInStep();
    void picturesOutlastingTheSoundPlayToTheEnd_data();
    void picturesOutlastingTheSoundPlayToTheEnd();
    void reopensWithSoundRepeatNothing();
    void pauseSuspendsAndResumesExactly();
    void statisticsLine();
    void frozenDeviceIsDropped();
    void watchdogSparesIdleAndPausedSinks();
};

void TestAudio::initTestCase()
{
    HostLog::instance().install(QString());
    QVERIFY2(!QMediaDevices::audioOutputs().isEmpty(), "the test's PulseAudio server is not reachable");
    for (const char *name : {"av20.mp4", "sync.mkv", "sync3.mp4", "gap1s.mkv", "gap02s.mkv"})
        QVERIFY(QFileInfo(Media::path(name)).exists());
}

void TestAudio::cleanup()
{
    FaultPread::failNext(0, 0);
    run("pactl", {"suspend-sink", "sinkA", "0"});
    run("pactl", {"suspend-sink", "sinkB", "0"});
}

void TestAudio::openWithSound(ZKPlayer &player, const QString &file, double start)
{
    player.open(file, false, start);
    QVERIFY(player.m_sink);
    QTRY_VERIFY_WITH_TIMEOUT(player.m_audioClockValid, 10000);
}

bool TestAudio::paced(const Pacing &pacing, int from, const char *what)
{
    const auto [burst, gap] = pacing.burstAndGap(from);
    qInfo("%s: at most %d pictures in 100 ms, longest gap %lld ms", what, burst, static_cast<long long>(gap));
    return burst <= 5 && gap <= 200;
}

void TestAudio::deviceChoice()
{
    ZKPlayer player(nullptr);
    QSignalSpy frames(&player, &ZKPlayer::frameReady);
    int before = logMark();
    player.setAudioDevice("no-such-device");
    openWithSound(player, Media::path("av20.mp4"));
    QCOMPARE(sinkDevice(player), QByteArray("sinkA")); // the default
    QVERIFY(logTexts(before).contains("[ZKPlayer] CoreAudio 操作: 新建 QAudioSink: SinkA"));

    // Another id that resolves to the same device keeps the sink.
    QAudioSink *sink = player.m_sink;
    before = logMark();
    player.setAudioDevice("sinkA");
    QCOMPARE(player.m_sink, sink);
    QCOMPARE(logTexts(before), QStringList{"[ZKPlayer] 复用 QAudioSink(零 CoreAudio 调用): SinkA"});
    QVERIFY(!player.m_audioClockValid); // the next chunk re-anchors
    QTRY_VERIFY_WITH_TIMEOUT(player.m_audioClockValid, 5000);

    // Switching to the other sink while playing moves the sound there.
    waitInStep(player);
    player.m_lastProcUs = 12345;
    before = logMark();
    player.setAudioDevice("sinkB");
    QCOMPARE(sinkDevice(player), QByteArray("sinkB"));
    QCOMPARE(player.m_lastProcUs, -1); // a new device is judged afresh
    const QStringList expected{"[ZKPlayer] CoreAudio 操作开始: 销毁旧 sink", "[ZKPlayer] CoreAudio 操作开始: stop+delete sink",
                               "[ZKPlayer] CoreAudio 操作完成: sink 已销毁", "[ZKPlayer] CoreAudio 操作: 新建 QAudioSink: SinkB"};
    QCOMPARE(logTexts(before).mid(0, 4), expected);
    const int shown = frames.size();
    // A new stream on a null sink can stall for its first second.
    const double level = listen("sinkB", 2500).second;
    QVERIFY2(level > 300, qPrintable(QString("level %1 on sinkB").arg(level)));
    QVERIFY(frames.size() > shown + 30); // the picture went on
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
    QVERIFY(carried == pattern); // every byte, once, in order, at the device's pace
    QVERIFY(fed.elapsed() > 600);
    std::lock_guard<std::mutex> lock(player.m_mutex);
    QVERIFY(player.m_audioQueue.empty() && player.m_queuedAudioSec < 1e-9);
}

void TestAudio::clockAnchorsAndJumps()
{
    {
        ZKPlayer player(nullptr);
        const int before = logMark();
        openWithSound(player, Media::path("gap1s.mkv"));
        QVERIFY(logTexts(before).filter("音频不连续").isEmpty()); // the first chunk anchors silently
        QTRY_VERIFY_WITH_TIMEOUT(!logTexts(before).filter("[ZKPlayer] 音频不连续(预期 2.0").isEmpty(), 8000);
        QVERIFY(logTexts(before).filter("音频不连续").first().contains(QRegularExpression("实际 3\\.0\\d\\),时钟重锚$")));
    }
    ZKPlayer player(nullptr);
    const int before = logMark();
    openWithSound(player, Media::path("gap02s.mkv"));
    QTRY_VERIFY_WITH_TIMEOUT(player.m_lastPts > 3.5, 10000);
    QVERIFY(logTexts(before).filter("音频不连续").isEmpty()); // 0.2 s is not a jump
}

void TestAudio::seekCloseToTheStartPaces_data()
{
    QTest::addColumn<double>("target");
    QTest::newRow("0.05 s") << 0.05;
    QTest::newRow("0.1 s") << 0.1;
    QTest::newRow("5 s") << 5.0;
}

void TestAudio::seekCloseToTheStartPaces()
{
    // The sink's latency is taken off the first chunk's time: close to the
    // start the audio clock begins below zero, and must pace all the same.
    // The sink first plays what it still holds: the first picture at the
    // target waits for it, so the seek starts in step.
    QFETCH(double, target);
    SyncMeter meter("sinkA.monitor");
    QVERIFY(meter.start());
    ZKPlayer player(nullptr);
    openWithSound(player, Media::path("sync.mkv"), 2.5);
    waitInStep(player);
    Pacing pacing(player);
    meter.watch(&player);
    player.seek(target);
    QTRY_VERIFY_WITH_TIMEOUT(!pacing.at.isEmpty(), 5000);
    QTest::qWait(2500);
    meter.stop();
    QVERIFY(paced(pacing, 0, qPrintable(QString("after a seek to %1 s").arg(target))));
    const SyncMeter::Result sync = meter.result();
    qInfo("A/V after the seek: mean %.0f ms, worst %.0f ms over %d marks", sync.meanMs, sync.worstMs, sync.marks);
    QVERIFY(sync.marks >= 2 && sync.worstMs < 60);
}

void TestAudio::loopingAShortFileStaysInStep()
{
    // A backup video looped back to 0 at its end, ten times, with sound:
    // the picture keeps its pace and stays in step with what the sink plays.
    SyncMeter meter("sinkA.monitor");
    QVERIFY(meter.start());
    ZKPlayer player(nullptr);
    meter.watch(&player);
    Pacing pacing(player);
    int loops = 0;
    connect(&player, &ZKPlayer::stateChanged, this, [&](ZKPlayer::State state) {
        if (state == ZKPlayer::State::Finished && ++loops < 10)
            player.seek(0.0);
    });
    openWithSound(player, Media::path("sync3.mp4"));
    QTRY_COMPARE_WITH_TIMEOUT(loops, 10, 45000);
    meter.stop();
    QVERIFY(paced(pacing, 30, "ten loops of a 3 s file"));
    const SyncMeter::Result sync = meter.result();
    qInfo("A/V over the loops: mean %.1f ms, worst %.1f ms over %d marks", sync.meanMs, sync.worstMs, sync.marks);
    QVERIFY2(sync.marks >= 25 && qAbs(sync.meanMs) < 40 && sync.worstMs < 80, "the loops drifted apart");
}

void TestAudio::picturesOutlastingTheSoundPlayToTheEnd_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<int>("passes");
    QTest::addRow("sound ends 0.1 s early") << "tail0.1.mp4" << 1;
    QTest::addRow("sound ends 0.6 s early") << "tail0.6.mp4" << 1;
    QTest::addRow("sound ends 2 s early, looped ten times") << "tail2.mp4" << 10;
}

void TestAudio::picturesOutlastingTheSoundPlayToTheEnd()
{
    // Recordings often hold pictures past their last sound. Once the sink
    // has played that sound its count stops: that is not a stalled device,
    // so the remaining pictures come due at their own times, the end is
    // reported, and a looped backup video starts again every time.
    QFETCH(QString, file);
    QFETCH(int, passes);
    const QVector<double> pictures = pictureTimes(Media::path(file));
    QVERIFY(pictures.size() >= 70);
    ZKPlayer player(nullptr);
    Pacing pacing(player);
    QVector<double> shown;
    int ends = 0;
    connect(&player, &ZKPlayer::frameReady, this, [&](const QImage &, double pts) { shown << pts; });
    connect(&player, &ZKPlayer::stateChanged, this, [&](ZKPlayer::State state) {
        if (state == ZKPlayer::State::Finished && ++ends < passes)
            player.seek(0.0);
    });
    const int logFrom = logMark();
    openWithSound(player, Media::path(file));
    QTRY_COMPARE_WITH_TIMEOUT(ends, passes, 10000 + passes * 5000);
    QCOMPARE(countLog("[ZKPlayer] ⚠️ 音频设备", logFrom), 0); // the device was kept
    // Every pass showed the pictures in order up to the file's last one.
    QCOMPARE(std::count_if(shown.begin(), shown.end(), [&](double pts) { return qAbs(pts - pictures.last()) < 0.001; }),
             passes);
    QVERIFY(shown.size() >= passes * (pictures.size() - 2));
    QVERIFY(paced(pacing, 30, qPrintable(file)));
}

void TestAudio::reopensWithSoundRepeatNothing()
{
    // After a reopen the sound already queued past the last picture must
    // not be queued again: the clock would jump back and the picture freeze.
    const QString file = Media::path("av20.mp4");
    ZKPlayer player(nullptr);
    qint64 sound = 0;
    connect(&player, &ZKPlayer::audioData, this, [&sound](const QByteArray &pcm) { sound += pcm.size(); });
    openWithSound(player, file, 12.0);
    waitInStep(player);
    Pacing pacing(player);
    const double from = player.m_lastPts;
    sound = 0;
    const int before = logMark();
    QTest::qWait(300);
    FaultPread::failNext(1, EIO); // a run of read errors mid-play: the demuxer is reopened
    QTRY_COMPARE_WITH_TIMEOUT(countLog("[ZKPlayer] 连续读错 21 次", before), 1, 15000);
    QTRY_VERIFY_WITH_TIMEOUT(player.m_lastPts > 19.9, 15000);
    QVERIFY(paced(pacing, 0, "across a reopen"));
    QVERIFY(logTexts(before).filter("音频不连续").isEmpty());
    const double expected = (20.0 - from) * 192000;
    QVERIFY2(qAbs(sound - expected) <= 48000, qPrintable(QString("%1 bytes of sound for %2").arg(sound).arg(expected)));

    // A plain MP4 followed as if it grew heals at its end; its last sound
    // still comes once.
    sound = 0;
    player.open(file, true, 16.0);
    QTRY_COMPARE_WITH_TIMEOUT(countLog("[ZKPlayer] 自愈重开完成", before), 1, 15000);
    QTest::qWait(500);
    player.stopFollowing();
    QSignalSpy states(&player, &ZKPlayer::stateChanged);
    QTRY_VERIFY_WITH_TIMEOUT(states.size() == 1, 10000);
    QVERIFY(logTexts(before).filter("音频不连续").isEmpty());
    QVERIFY2(qAbs(sound - 4 * 192000) <= 24000, qPrintable(QString("%1 bytes of sound for 4 s").arg(sound)));
}

void TestAudio::pauseSuspendsAndResumesExactly()
{
    ZKPlayer player(nullptr);
    openWithSound(player, Media::path("av20.mp4"));
    QTest::qWait(800);
    player.setPaused(true);
    QCOMPARE(player.m_sink->state(), QAudio::SuspendedState);
    const double paused = player.masterClockSec();
    QTest::qWait(1000);
    player.setPaused(false);
    QVERIFY(player.m_sink->state() != QAudio::SuspendedState);
    // PulseAudio's count moves on its own at a resume, which would hide a
    // stale step; a device that counts in steps (CoreAudio) would not.
    QVERIFY(player.m_procStepTimer.isValid() && player.m_procStepTimer.elapsed() < 100);
    // The clock goes on from where it stood, not a second later.
    QVERIFY2(qAbs(player.masterClockSec() - paused) < 0.05,
             qPrintable(QString("%1 after %2").arg(player.masterClockSec()).arg(paused)));
}

void TestAudio::statisticsLine()
{
    ZKPlayer idle(nullptr); // no sink, no picture yet
    int before = logMark();
    idle.onStatsTick();
    QCOMPARE(logLines(before), (QVector<LogLine>{{LOG_INFO, "[ZK统计] pos=0.00 clk=-99.00 vq=0 aq=0.00s pend=0 eof=0 | "
                                                            "sink: state=-1 free=-1 procUs=-1 aclk=0 expect=-1.00"}}));
    ZKPlayer player(nullptr);
    before = logMark();
    openWithSound(player, Media::path("av20.mp4"));
    QTRY_VERIFY_WITH_TIMEOUT(!lastStatsLine(before).isEmpty(), 4000);
    const QRegularExpression format(
            "^\\[ZK统计\\] pos=\\d+\\.\\d\\d clk=\\d+\\.\\d\\d vq=\\d+ aq=\\d+\\.\\d\\ds pend=\\d+ eof=0 \\| sink: "
            "state=0 free=\\d+ procUs=\\d+ aclk=1 expect=\\d+\\.\\d\\d$");
    QVERIFY2(format.match(lastStatsLine(before)).hasMatch(), qPrintable(lastStatsLine(before)));
}

void TestAudio::frozenDeviceIsDropped()
{
    // Program on sinkA freezes; preview plays on sinkB, which goes on.
    ZKPlayer player(nullptr), other(nullptr);
    other.setAudioDevice("sinkB");
    QSignalSpy states(&player, &ZKPlayer::stateChanged);
    QSignalSpy frames(&player, &ZKPlayer::frameReady);
    openWithSound(player, Media::path("av20.mp4"));
    openWithSound(other, Media::path("av20.mp4"));
    QTest::qWait(500);
    const int before = logMark();
    Pacing otherPacing(other);
    {
        SuspendedSink frozen("sinkA");
        // First the clock stands (at most one sink step runs on)...
        QTest::qWait(300);
        const double start = player.masterClockSec();
        QTest::qWait(1200);
        QVERIFY2(player.masterClockSec() - start <= 0.65, qPrintable(QString::number(player.masterClockSec() - start)));
        // ...then the watchdog drops the device.
        QTRY_VERIFY_WITH_TIMEOUT(states.size() > 1 && ZKPlayer::stateText(states.last().first().value<ZKPlayer::State>()) == "音频设备异常,已切静默播放",
                                 8000);
        QTest::qWait(2500); // another tick for the other player
    }
    QCOMPARE(sinkDevice(other), QByteArray("sinkB"));
    // Dropping the frozen device held nothing up: a sink that never drains
    // must not be waited for (the other lane's pictures kept coming).
    QVERIFY2(otherPacing.burstAndGap().second < 1000, "the user-interface thread hung while dropping the device");
    other.close(); // from here the stats lines are the dropped player's own
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
    const int after = logMark();
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
        player.onStatsTick();
    };
    player.m_audioTimer->stop(); // nothing may drain the queue meanwhile
    player.onStatsTick();
    tickWith(0.0, false);  // a drained queue: nothing to consume
    tickWith(0.05, false); // exactly 0.05 s: still drained
    QVERIFY(player.m_sink);
    player.setPaused(true); // paused with audio waiting
    tickWith(1.0, true);
    tickWith(1.0, true);
    QVERIFY(player.m_sink);
    player.setPaused(false);
    player.m_audioTimer->stop();
    tickWith(0.06, false); // the first tick after a resume only takes a reading
    QVERIFY(player.m_sink);
    tickWith(0.06, false); // more than 0.05 s waiting and nothing consumed: dropped
    QVERIFY(!player.m_sink);
    QCOMPARE(ZKPlayer::stateText(states.last().first().value<ZKPlayer::State>()), QStringLiteral("音频设备异常,已切静默播放"));
}

ZK_AUDIO_TEST_MAIN(TestAudio, QCoreApplication)

#include "test_audio.moc"
