// The player's sound on a real audio server: a private PulseAudio with
// null sinks, started by this test before Qt looks for devices. The audio
// output and its clock alone, the clock across loops, pause and a frozen
// device, the statistics line and the watchdog that drops a device which
// stopped consuming. A device changed while playing: test_desk. The A/V
// offset, measured on what the sink played: bench/run audio and follow.

// QtTest first: the OBS headers' SIMD shim must come after the compiler's intrinsics.
#include <QtTest>

#include "audio_output.h"
#include "tempo_filter.h"
#include "media.h"
#include "player_watch.h"
#include "test_support.h"
#include "zk_media.h"
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

} // namespace

class TestAudio : public QObject {
    Q_OBJECT

private:
    // Opens `file` and waits until the audio clock runs.
    static void openWithSound(ZKPlayer &player, const QString &file, double start = 0);
    static QString lastStatsLine(int from)
    {
        const QStringList lines = logTexts(from).filter("[ZK统计]");
        return lines.isEmpty() ? QString() : lines.last();
    }
    // A normal picture rate: at most 5 pictures within 100 ms (30 fps gives
    // 3 or 4) and no gap over 200 ms.
    static bool paced(const PlayerWatch &watch, int from, const char *what);

private slots:
    void initTestCase();
    void cleanup();
    void outputDeviceAndClock();
    void picturesOutlastingTheSoundPlayToTheEnd_data();
    void picturesOutlastingTheSoundPlayToTheEnd();
    void frozenDeviceIsDropped();
    void pauseAndEndSpareTheDevice();
    void slowedSoundKeepsItsPitch_data();
    void slowedSoundKeepsItsPitch();
};

void TestAudio::initTestCase()
{
    HostLog::instance().install(QString());
    QVERIFY2(!QMediaDevices::audioOutputs().isEmpty(), "the test's PulseAudio server is not reachable");
    for (const char *name : {"av20.mp4", "sync3.mp4"})
        QVERIFY(QFileInfo(Media::path(name)).exists());
}

void TestAudio::cleanup()
{
    run("pactl", {"suspend-sink", "sinkA", "0"});
    run("pactl", {"suspend-sink", "sinkB", "0"});
}

void TestAudio::openWithSound(ZKPlayer &player, const QString &file, double start)
{
    player.open(file, false, start);
    QVERIFY(!player.outputDevice().isEmpty());
    QTRY_VERIFY_WITH_TIMEOUT(player.soundPlayedUs() > 0, 10000);
}

bool TestAudio::paced(const PlayerWatch &watch, int from, const char *what)
{
    const auto [burst, gap] = watch.burstAndGap(from);
    qInfo("%s: at most %d pictures in 100 ms, longest gap %lld ms", what, burst, static_cast<long long>(gap));
    return burst <= 5 && gap <= 200;
}

void TestAudio::outputDeviceAndClock()
{
    // The device and its clock without a player: an unknown device is the
    // default and the same device is kept; the clock starts at its anchor,
    // runs with what the device plays, stands within 0.6 s once the device
    // stops consuming, and runs on with the wall time if the sound has run out.
    AudioOutput output;
    QVERIFY(output.open("no-such-device", 1.0));
    QCOMPARE(output.device(), QByteArray("sinkA"));
    const int before = logMark();
    QVERIFY(output.open("sinkA", 0.5));
    QCOMPARE(logTexts(before), QStringList{"[ZKPlayer] 复用 QAudioSink(零 CoreAudio 调用): SinkA"});
    QVERIFY(qAbs(output.level() - 0.5) < 0.01);
    QVERIFY(!output.clockValid());
    output.anchor(10.0);
    QCOMPARE(output.clockSec(false), 10.0);
    const qint64 anchoredAt = output.playedUs();
    const QByteArray second = tone(0, Pcm::kSampleRate);
    qint64 written = 0;
    auto feed = [&](int ms) { // as a player does: what the device takes, every 15 ms
        QElapsedTimer feeding;
        feeding.start();
        while (feeding.elapsed() < ms) {
            const qint64 at = written % second.size();
            written += qMax<qint64>(0, output.write(second.constData() + at, qMin(output.bytesFree(), second.size() - at)));
            QTest::qWait(15);
        }
    };
    feed(3000);
    const double ran = output.clockSec(false) - 10.0;
    QVERIFY2(ran > 1.0 && qAbs(ran - (output.playedUs() - anchoredAt) / 1e6) < 0.65, qPrintable(QString::number(ran)));
    // The device stops consuming with sound waiting: the clock stands,
    // unless the sound has run out.
    SuspendedSink frozen("sinkA");
    feed(300);
    const double stood = output.clockSec(false);
    feed(1200);
    QVERIFY2(output.clockSec(false) - stood <= 0.65, qPrintable(QString::number(output.clockSec(false) - stood)));
    QVERIFY(output.clockSec(true) - stood > 0.9);
    output.close();
    QVERIFY(!output.isOpen() && output.device().isEmpty() && !output.clockValid());
}

void TestAudio::picturesOutlastingTheSoundPlayToTheEnd_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<int>("passes");
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
    PlayerWatch watch(player);
    const QVector<double> &shown = watch.pts;
    int ends = 0;
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
    QVERIFY(paced(watch, 30, qPrintable(file)));
}

void TestAudio::frozenDeviceIsDropped()
{
    // Program on sinkA freezes; preview plays on sinkB, which goes on.
    ZKPlayer player(nullptr), other(nullptr);
    other.setAudioDevice("sinkB");
    PlayerWatch watch(player);
    const int opened = logMark();
    openWithSound(player, Media::path("av20.mp4"));
    openWithSound(other, Media::path("av20.mp4"));
    // The statistics line while the device plays; after the drop it says so.
    QTRY_VERIFY_WITH_TIMEOUT(!lastStatsLine(opened).isEmpty(), 4000);
    QVERIFY2(lastStatsLine(opened).contains(" | sink: state=0 ") && lastStatsLine(opened).contains(" aclk=1 "),
             qPrintable(lastStatsLine(opened)));
    const int before = logMark();
    PlayerWatch otherWatch(other);
    {
        SuspendedSink frozen("sinkA");
        QTRY_COMPARE_WITH_TIMEOUT(watch.count(ZKPlayer::State::SilentFallback), 1, 8000);
        QTest::qWait(2500); // another tick for the other player
    }
    QCOMPARE(other.outputDevice(), QByteArray("sinkB"));
    // Dropping the frozen device held nothing up: a sink that never drains
    // must not be waited for (the other lane's pictures kept coming).
    QVERIFY2(otherWatch.burstAndGap().second < 1000, "the user-interface thread hung while dropping the device");
    other.close(); // from here the stats lines are the dropped player's own
    const QStringList warnings = logTexts(before).filter("音频设备 2 秒没消费任何数据");
    QCOMPARE(warnings.size(), 1);
    QVERIFY2(warnings.first().startsWith("[ZKPlayer] ⚠️ 音频设备 2 秒没消费任何数据(procUs 冻结在 ") &&
                     warnings.first().endsWith("),弃用该设备,视频转墙钟继续播。设备=sinkA"),
             qPrintable(warnings.first()));
    QVERIFY(player.outputDevice().isEmpty());
    // Video goes on from where it was, on the wall clock.
    const double position = player.positionSec();
    const qsizetype shown = watch.pts.size();
    QTRY_VERIFY_WITH_TIMEOUT(watch.pts.size() > shown + 30, 5000);
    QVERIFY(player.positionSec() > position && player.positionSec() < position + 3);
    const int after = logMark();
    QTRY_VERIFY_WITH_TIMEOUT(!lastStatsLine(after).isEmpty(), 4000);
    QVERIFY2(lastStatsLine(after).contains("procUs=-1 aclk=0"), qPrintable(lastStatsLine(after)));
}

void TestAudio::pauseAndEndSpareTheDevice()
{
    // A paused lane and a lane at its end consume nothing: neither is a
    // frozen device, however long they wait, even on a stalled server.
    // Paused, the device stops playing; resumed, the clock goes on from
    // where it stood, not from the time that passed.
    ZKPlayer player(nullptr);
    PlayerWatch watch(player);
    openWithSound(player, Media::path("sync3.mp4"));
    QTest::qWait(800);
    player.setPaused(true);
    const double paused = player.clockSec();
    const qint64 played = player.soundPlayedUs();
    QTest::qWait(1000);
    QVERIFY2(player.soundPlayedUs() - played < 300000, "the device went on playing while paused");
    {
        SuspendedSink frozen("sinkA");
        QTest::qWait(4000);
    }
    player.setPaused(false);
    QVERIFY2(qAbs(player.clockSec() - paused) < 0.05, qPrintable(QString("%1 after %2").arg(player.clockSec()).arg(paused)));
    QTRY_VERIFY_WITH_TIMEOUT(watch.finished(), 10000);
    QTest::qWait(5000);
    QCOMPARE(player.outputDevice(), QByteArray("sinkA"));
    QCOMPARE(watch.count(ZKPlayer::State::SilentFallback), 0);
}

void TestAudio::slowedSoundKeepsItsPitch_data()
{
    QTest::addColumn<double>("rate");
    for (double rate : {0.5, 0.3, 0.25, 0.1}) // one stage of atempo, and chains of two and four
        QTest::addRow("%.2f", rate) << rate;
}

void TestAudio::slowedSoundKeepsItsPitch()
{
    // A second of the 440 Hz tone, fed in blocks as a lane hands them out:
    // as long as the slowed pictures take, within a block, at its pitch.
    QFETCH(double, rate);
    TempoFilter filter;
    QCOMPARE(filter.open(rate), QString());
    QByteArray out;
    constexpr int kBlock = 1024;
    int at = 0;
    for (; at < Pcm::kSampleRate; at += kBlock)
        QVERIFY(filter.process(tone(at, kBlock), out));
    // What came out stands for what went in, less a window or so per stage,
    // which the filter says it holds.
    const double fed = at / double(Pcm::kSampleRate);
    const double heard = Pcm::seconds(out.size()) * rate;
    QVERIFY2(heard > fed - 0.12 && heard <= fed + 0.003, qPrintable(QString("%1 s of %2").arg(heard).arg(fed)));
    QVERIFY(qAbs(filter.heldSec() - (fed - heard)) < 0.001);
    const auto [pitch, level] = pitchAndLevel(out.mid(out.size() / 4, out.size() / 2));
    QVERIFY2(qAbs(pitch - 440) <= 5 && level > 1000, qPrintable(QString("%1 Hz at %2").arg(pitch).arg(level)));
}

ZK_AUDIO_TEST_MAIN(TestAudio, QCoreApplication)

#include "test_audio.moc"

