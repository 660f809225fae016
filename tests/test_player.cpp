// The player with its decode thread on real files and real growing
// recordings, in a process with no audio server at all: the player runs
// silent on the wall clock and still hands its sound out. What an operator
// would notice: pictures in order, each once; steps and seeks landing
// where asked with nothing old shown meanwhile; the end reported once; a
// recording followed through a writer's stall to its last picture (the
// reader waiting at the live edge); failing reads healed without a
// duplicate; every failure reported instead of a hang. How long a close
// keeps the host waiting is bench/run close's figure.

// QtTest first: the OBS headers' SIMD shim must come after the compiler's intrinsics.
#include <QtTest>

#include "fault_pread.h"
#include "media.h"
#include "player_watch.h"
#include "test_support.h"
#include "zk_media.h"
#include "zk_player.h"

#include <QSet>
#include <QTemporaryDir>

#include <csignal>

using namespace TestSupport;

namespace {

bool strictlyIncreasing(const QVector<double> &pts)
{
    for (int i = 1; i < pts.size(); ++i) {
        if (pts[i] <= pts[i - 1]) {
            qWarning("pts %f after %f at %d", pts[i], pts[i - 1], i);
            return false;
        }
    }
    return true;
}

// Pictures of `inFile` from `from` to `to` that were not shown, and shown
// pictures that came more than once.
std::pair<int, int> lostAndRepeated(const QVector<double> &shown, const QVector<double> &inFile, double from, double to)
{
    QSet<qint64> seen;
    int repeated = 0, lost = 0;
    for (double t : shown) {
        repeated += seen.contains(qRound64(t * 1000));
        seen.insert(qRound64(t * 1000));
    }
    for (double t : inFile)
        lost += t >= from - 0.0005 && t <= to + 0.0005 && !seen.contains(qRound64(t * 1000));
    return {lost, repeated};
}

} // namespace

class TestPlayer : public QObject {
    Q_OBJECT

private:
    // Plays `file` from `start` to its end; the audio bytes handed out.
    qint64 audioOfWholePlay(const QString &file, double start);
    QTemporaryDir m_dir;

private slots:
    void initTestCase();
    void cleanup() { FaultPread::failNext(0, 0); }
    void playsToTheEndOnceAndAgainAfterASeek();
    void refusalsAndFailures();
    void stepsAndSeeks();
    void followsAGrowingRecording_data();
    void followsAGrowingRecording();
    void runOfReadErrorsReopensWithoutRepeating();
};

void TestPlayer::initTestCase()
{
    HostLog::instance().install(QString());
    // Make every fixture up front so that no test waits on FFmpeg.
    for (const char *name : {"av.mp4", "av20.mp4", "vfr.mp4", "empty.mp4", "garbage.mp4", "corrupt.mp4"})
        QVERIFY(QFileInfo(Media::path(name)).exists());
}

qint64 TestPlayer::audioOfWholePlay(const QString &file, double start)
{
    ZKPlayer player(nullptr);
    PlayerWatch watch(player);
    player.open(file, false, start);
    if (!QTest::qWaitFor([&watch] { return watch.finished(); }, 30000))
        return -1;
    return watch.audioBytes;
}

void TestPlayer::playsToTheEndOnceAndAgainAfterASeek()
{
    ZKPlayer player(nullptr);
    PlayerWatch watch(player);
    Collector duration(&player, &ZKPlayer::durationKnown);
    QElapsedTimer played;
    played.start();
    const int before = logMark();
    FaultPread::failNext(3, EINTR); // interrupted reads are tried again at once, unseen
    player.open(Media::path("av.mp4"), false, 0);
    QVERIFY(logLines(before).contains(LogLine{LOG_ERROR, "[ZKPlayer] QAudioSink 启动失败,走无声+墙钟模式"}));
    QCOMPARE(watch.states, QStringList{"播放中"});
    QTRY_VERIFY_WITH_TIMEOUT(watch.finished(), 15000);
    QVERIFY2(played.elapsed() > 2500, "a 3 s file played on the wall clock");
    QTRY_COMPARE(duration.size(), 1);
    QVERIFY(qAbs(duration.at(0).toDouble() - 3.0) < 0.1);
    QCOMPARE(watch.pts.first(), 0.0);
    QVERIFY(strictlyIncreasing(watch.pts));
    QCOMPARE(watch.pts.size(), 90); // every picture, the last ones too
    QVERIFY(FaultPread::pending() == 0 && logTexts(before).filter("[ZKPlayer] IO 读错误").isEmpty());
    // Without a device the sound still leaves, at the rate it plays.
    QVERIFY2(qAbs(watch.audioBytes - 3 * 192000) < 192000 / 5, qPrintable(QString::number(watch.audioBytes)));

    // The thread stays at the end, saying so once.
    QTest::qWait(600);
    QVERIFY(player.isPlaying());
    QCOMPARE(watch.states.count("已播完"), 1);
    QCOMPARE(countLog("[ZKPlayer] av_read_frame → EOF (follow=0),播放收尾", before), 1);
    QVERIFY(countLog("[ZKPlayer] IO 返回 EOF(follow=0)", before) <= 1); // the MP4 demuxer may end by its index
    // A seek plays again and ends again; one before the start starts at 0.
    int shown = watch.pts.size();
    player.seek(2.0);
    QTRY_COMPARE_WITH_TIMEOUT(watch.states.count("已播完"), 2, 10000);
    QVERIFY(watch.pts[shown] >= 1.999 && watch.pts[shown] < 2.04);
    QVERIFY(strictlyIncreasing(watch.pts.mid(shown)));
    QCOMPARE(countLog("[ZKPlayer] av_read_frame → EOF (follow=0),播放收尾", before), 2);
    shown = watch.pts.size();
    player.seek(-5);
    QTRY_VERIFY_WITH_TIMEOUT(watch.pts.size() > shown, 10000);
    QCOMPARE(watch.pts[shown], 0.0);
    player.close();
    player.seek(4.0); // no thread: ignored
    QVERIFY(!player.isPlaying());
}

void TestPlayer::refusalsAndFailures()
{
    ZKPlayer player(nullptr);
    PlayerWatch watch(player);
    player.open(Media::path("empty.mp4"), false, 0); // refused at once (a missing file too: test_desk)
    QCOMPARE(watch.errors, QStringList{"文件不存在或为空: " + Media::path("empty.mp4")});
    QVERIFY(!player.isPlaying() && watch.states.isEmpty());

    const int before = logMark();
    player.open(Media::path("garbage.mp4"), false, 0);
    QTRY_VERIFY_WITH_TIMEOUT(!player.isPlaying(), 10000);
    QTRY_COMPARE(watch.errors.size(), 2);
    const QString message = watch.errors.last();
    QVERIFY2(message.startsWith("解析文件失败: "), qPrintable(message));
    QVERIFY(logLines(before).contains(LogLine{LOG_ERROR, "[ZKPlayer] " + message}));
    // Corrupt data in the middle of a real file plays through to the end;
    // each kind of packet a decoder refuses is logged once, not per packet.
    const int played = logMark();
    player.open(Media::path("corrupt.mp4"), false, 9.0);
    QTRY_VERIFY_WITH_TIMEOUT(watch.finished(), 20000);
    QCOMPARE(watch.errors.size(), 2);
    const QStringList refused = logTexts(played).filter("拒收数据包");
    QVERIFY2(!refused.isEmpty() && refused.size() == QSet<QString>(refused.begin(), refused.end()).size(),
             qPrintable(refused.join('\n')));
}

void TestPlayer::stepsAndSeeks()
{
    // Paused, each step shows exactly the picture after or before in the
    // file, however far apart they lie (pictures a recorder skipped): fifty
    // forward (past all the paused lane had queued, sound and all), then
    // back across the gaps, three asked for at once. A step still pending
    // when the lane resumes is forgotten with it. Slow motion: test_desk.
    const QString file = Media::path("vfr.mp4");
    const QVector<double> inFile = pictureTimes(file);
    ZKPlayer player(nullptr);
    PlayerWatch watch(player);
    connect(&player, &ZKPlayer::frameReady, this, [&player] { player.setPaused(true); }, Qt::SingleShotConnection);
    player.open(file, false, inFile.value(10));
    QTRY_VERIFY_WITH_TIMEOUT(player.isPaused(), 10000);
    QTest::qWait(500); // the paused lane's queues fill
    int at = 10;
    auto step = [&](int direction, int atOnce) { // empty when each step showed its picture
        const qsizetype shown = watch.pts.size();
        for (int i = 0; i < atOnce; ++i)
            player.step(direction);
        (void)QTest::qWaitFor([&] { return watch.pts.size() >= shown + atOnce; }, 5000);
        for (int i = 0; i < atOnce; ++i)
            if (at += direction; qAbs(watch.pts.value(shown + i, -1) - inFile.at(at)) > 0.0005)
                return QString("picture %1 (%2 s) shown as %3").arg(at).arg(inFile.at(at)).arg(watch.pts.value(shown + i, -1));
        return player.positionSec() == watch.pts.last() ? QString() : QString("the position is not the picture's");
    };
    for (int i = 0; i < 50 || at > 25; ++i) { // fifty forward, three back at once, back one by one
        const QString why = i < 50 ? step(1, 1) : step(-1, i == 50 ? 3 : 1);
        QVERIFY2(why.isEmpty(), qPrintable(why));
    }
    const qsizetype stepped = watch.pts.size();
    QTest::qWait(300); // one picture a step, nothing more while paused
    QCOMPARE(watch.pts.size(), stepped);
    player.step(1);
    player.setPaused(false);
    player.setPaused(true);
    const qsizetype resumed = watch.pts.size();
    player.step(1);
    QTRY_VERIFY_WITH_TIMEOUT(watch.pts.size() == resumed + 1, 3000);
    player.setPaused(false);

    // A seek while playing: nothing from before it leaves after it, the
    // first picture is the one at the target, and the sound goes on from
    // there (no more than the seconds played).
    const int before = logMark();
    const qsizetype mark = watch.pts.size();
    player.seek(3.0);
    QTRY_VERIFY_WITH_TIMEOUT(countLog("[ZKPlayer] seek → 3.0s 完成", before) == 1, 10000);
    QTRY_VERIFY_WITH_TIMEOUT(watch.pts.size() > mark + 1 && watch.pts.last() >= 2.99, 10000);
    const qint64 sound = watch.audioBytes;
    const auto first = std::find_if(watch.pts.begin() + mark, watch.pts.end(), [](double pts) { return pts >= 2.99; });
    QVERIFY2(*first >= 2.999 && *first < 3.04, qPrintable(QString::number(*first)));
    QVERIFY2(first - watch.pts.begin() <= mark + 1, "a picture from before the seek left after it");
    QTest::qWait(2000);
    QVERIFY2(watch.audioBytes - sound < 2.6 * Pcm::kBytesPerSecond, qPrintable(QString::number(watch.audioBytes - sound)));
}

void TestPlayer::followsAGrowingRecording_data()
{
    QTest::addColumn<QString>("container");
    QTest::newRow("matroska") << "mkv";
    QTest::newRow("fragmented mp4") << "fmp4";
}

void TestPlayer::followsAGrowingRecording()
{
    QFETCH(QString, container);
    const QString file = m_dir.filePath("rec-" + container + (container == "mkv" ? ".mkv" : ".mp4"));
    ZKPlayer player(nullptr);
    PlayerWatch watch(player);
    const int before = logMark();
    player.open(file, true, 0); // before the writer has written anything, as the panel may
    Media::Writer writer(file, container);
    QElapsedTimer recording;
    recording.start();
    QTRY_VERIFY_WITH_TIMEOUT(watch.pts.size() > 30, 20000);

    // The writer stalls (a recording paused in OBS): the lane waits at the
    // live edge, a seek back lands meanwhile, and it goes on with the writer.
    kill(pid_t(writer.pid()), SIGSTOP);
    QTRY_VERIFY_WITH_TIMEOUT(countLog("[ZKPlayer] IO 在 live edge 等待写入 pos=", before) > 0, 5000);
    const int stalled = watch.pts.size();
    player.seek(1.0);
    const bool landed = QTest::qWaitFor([&watch, stalled] { return watch.pts.size() > stalled; }, 3000);
    kill(pid_t(writer.pid()), SIGCONT);
    QVERIFY2(landed && qAbs(watch.pts[stalled] - 1.0) < 0.1, qPrintable(QString("the seek waited for the writer (%1)").arg(watch.pts.value(stalled))));
    const int afterStall = watch.pts.size();
    QTRY_VERIFY_WITH_TIMEOUT(watch.pts.size() > afterStall + 60, 20000);

    // A jump to 5 s behind the live edge lands within a second.
    QTRY_VERIFY_WITH_TIMEOUT(recording.elapsed() > 12000, 15000);
    const int mark = watch.pts.size();
    // The writer's clock stopped during the stall; its file lags it by a
    // second or two (buffers, whole clusters or fragments).
    const double target = recording.elapsed() / 1000.0 - 3.0 - 5.0;
    player.seek(target);
    QTRY_VERIFY_WITH_TIMEOUT(watch.pts.size() > mark + 30, 20000);
    QVERIFY2(qAbs(watch.pts[mark] - target) < 1.0, qPrintable(QString("%1 for %2").arg(watch.pts[mark]).arg(target)));

    // The recording ends; the player plays it out to its last picture and
    // reports the end once.
    QTest::qWait(1500);
    writer.finish();
    player.stopFollowing();
    QTRY_VERIFY_WITH_TIMEOUT(watch.finished(), 30000);
    QTest::qWait(300);
    QCOMPARE(watch.states.count("已播完"), 1);
    QCOMPARE(watch.states.first(), QStringLiteral("跟随录制中"));
    QCOMPARE(watch.errors.size(), 0);
    QCOMPARE(countLog("[ZKPlayer] 解复用器被写入端噎住", before), 0);
    const QVector<double> inFile = pictureTimes(file);
    const QVector<double> first = watch.pts.mid(stalled, mark - stalled), second = watch.pts.mid(mark);
    QVERIFY(strictlyIncreasing(first) && strictlyIncreasing(second));
    QVERIFY2(qAbs(second.last() - inFile.last()) < 0.0005, qPrintable(QString("%1 of %2").arg(second.last()).arg(inFile.last())));
    const auto [lostBefore, repeatedBefore] = lostAndRepeated(first, inFile, first.first(), first.last());
    const auto [lostAfter, repeatedAfter] = lostAndRepeated(second, inFile, second.first(), inFile.last());
    QVERIFY2(lostBefore + repeatedBefore + lostAfter + repeatedAfter == 0,
             qPrintable(QString("lost %1+%2, repeated %3+%4 of %5").arg(lostBefore).arg(lostAfter)
                                .arg(repeatedBefore).arg(repeatedAfter).arg(inFile.size())));
}

void TestPlayer::runOfReadErrorsReopensWithoutRepeating()
{
    const QString file = Media::path("av20.mp4");
    const qint64 expectedAudio = audioOfWholePlay(file, 12.0);
    ZKPlayer player(nullptr);
    PlayerWatch watch(player);
    player.open(file, false, 12.0);
    QTRY_VERIFY_WITH_TIMEOUT(watch.pts.size() > 10, 10000);
    const int before = logMark();
    // FFmpeg's byte source keeps a read error: after one failed system read
    // every packet read fails, as after a real disk error, until the player
    // reopens the demuxer.
    const int failedBefore = FaultPread::failedCalls();
    FaultPread::failNext(1, EIO);
    QTRY_VERIFY_WITH_TIMEOUT(countLog("[ZKPlayer] 连续读错 21 次(Input/output error),重开解复用器 @ ", before) == 1,
                             15000);
    QTRY_VERIFY_WITH_TIMEOUT(watch.finished(), 15000);
    QCOMPARE(FaultPread::failedCalls(), failedBefore + 1);
    const QVector<LogLine> lines = logLines(before);
    QCOMPARE(std::count_if(lines.begin(), lines.end(), [](const LogLine &l) {
                 return l.level == LOG_WARNING && l.text.startsWith(QString("[ZKPlayer] IO 读错误 errno=%1 pos=").arg(EIO));
             }), 1);
    QVERIFY(strictlyIncreasing(watch.pts));
    QCOMPARE(watch.pts.size(), 240); // 12 s to 20 s, each picture once
    QVERIFY2(qAbs(watch.audioBytes - expectedAudio) <= 4096, qPrintable(QString("%1 bytes of sound, %2 in the file")
                                                                            .arg(watch.audioBytes)
                                                                            .arg(expectedAudio)));
}

int main(int argc, char **argv)
{
    // No audio system reachable, whatever the machine has.
    qputenv("PULSE_SERVER", "unix:/nonexistent/zerka/pulse/native");
    QCoreApplication app(argc, argv);
    TestPlayer test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "test_player.moc"
