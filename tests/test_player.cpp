// The player with its decode thread on real files and real growing
// recordings, in a process with no audio server at all: the player runs
// silent on the wall clock. What an operator would notice: pictures in order and on time,
// seeks landing where asked, the end reported once, a recording followed
// through a writer's stall, and every failure reported instead of a hang.

// QtTest first: the OBS headers' SIMD shim must come after the compiler's intrinsics.
#include <QtTest>

#include "fault_pread.h"
#include "media.h"
#include "test_support.h"
#include "zk_player.h"

#include <QTemporaryDir>

#include <csignal>
#include <cstdio>

#include <sys/resource.h>

using namespace TestSupport;

class TestPlayer : public QObject {
    Q_OBJECT

private:
    static QVector<double> ptsOf(const QSignalSpy &frames, int from = 0);
    static bool strictlyIncreasing(const QVector<double> &pts);
    static QStringList statesOf(const QSignalSpy &states);
    // The player's queues, read under its lock.
    static std::pair<double, double> queueFronts(ZKPlayer &player, int *chunkBytes = nullptr);

    QTemporaryDir m_dir;

private slots:
    void initTestCase();
    void cleanup();
    void playsToTheEndAndAgainAfterASeek();
    void missingOrEmptyFileIsRefused();
    void unreadableFileReportsOnce();
    void startSeekThreshold();
    void seekDropsEarlierPicturesAndCutsAudio();
    void quickAndNegativeSeeks();
    void sameFileOpenIsAFastSeek();
    void videoAheadOfAudioFillsTheLargerQueue();
    void destroyingAPlayingPlayerJoinsItsThread();
    void followsAGrowingRecording_data();
    void followsAGrowingRecording();
    void waitsTenSecondsForRecordingData();
    void runOfReadErrorsReopens();
    void pictureTooLargeForMemoryIsDropped();
};

namespace {

// Virtual memory in use by this process, from the kernel's account.
qint64 virtualBytes()
{
    QFile status("/proc/self/status");
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmSize:"))
            return line.mid(7).trimmed().split(' ').value(0).toLongLong() * 1024;
    }
    return -1;
}

// Runs in a child process with its address space capped so that the
// decoder's picture (393 MB) fits but the 1 GiB image of it does not.
int pictureTooLargeChild(const char *file)
{
    const qint64 inUse = virtualBytes();
    struct rlimit limit;
    limit.rlim_cur = limit.rlim_max = rlim_t(inUse + 900LL * 1024 * 1024);
    if (inUse < 0 || setrlimit(RLIMIT_AS, &limit) != 0)
        return 3;
    HostLog::instance().install(QString());
    ZKPlayer player(nullptr);
    bool finished = false;
    QObject::connect(&player, &ZKPlayer::stateChanged, &player, [&finished](const QString &state) {
        if (state == QStringLiteral("已播完")) {
            finished = true;
            QCoreApplication::quit();
        }
    });
    player.open(QString::fromLocal8Bit(file), false, 0);
    QTimer::singleShot(30000, &player, &QCoreApplication::quit);
    QCoreApplication::exec();
    int dropped = 0;
    for (const LogLine &line : HostLog::instance().lines())
        dropped += line.text == QStringLiteral("[ZKPlayer] 画面 16384x16000 无法分配图像,丢弃该帧");
    printf("dropped=%d finished=%d\n", dropped, int(finished));
    return dropped == 1 && finished ? 0 : 1;
}

} // namespace

QVector<double> TestPlayer::ptsOf(const QSignalSpy &frames, int from)
{
    QVector<double> pts;
    for (int i = from; i < frames.size(); ++i)
        pts << frames.at(i).at(1).toDouble();
    return pts;
}

bool TestPlayer::strictlyIncreasing(const QVector<double> &pts)
{
    for (int i = 1; i < pts.size(); ++i) {
        if (pts[i] <= pts[i - 1]) {
            qWarning("pts %f after %f at %d", pts[i], pts[i - 1], i);
            return false;
        }
    }
    return true;
}

QStringList TestPlayer::statesOf(const QSignalSpy &states)
{
    QStringList texts;
    for (const QList<QVariant> &args : states)
        texts << args.at(0).toString();
    return texts;
}

std::pair<double, double> TestPlayer::queueFronts(ZKPlayer &player, int *chunkBytes)
{
    std::lock_guard<std::mutex> lock(player.m_mutex);
    const double video = player.m_videoQueue.empty() ? -1 : player.m_videoQueue.front().pts;
    const double audio = player.m_audioQueue.empty() ? -1 : player.m_audioQueue.front().pts;
    if (chunkBytes)
        *chunkBytes = player.m_audioQueue.empty() ? -1 : player.m_audioQueue.front().pcm.size();
    return {video, audio};
}

void TestPlayer::initTestCase()
{
    HostLog::instance().install(QString());
    // Make every fixture up front so that no test waits on FFmpeg.
    for (const char *name : {"av.mp4", "av20.mp4", "empty.mp4", "garbage.mp4", "ahead.mkv"})
        QVERIFY(QFileInfo(Media::path(name)).exists());
}

void TestPlayer::cleanup()
{
    FaultPread::failNext(0, 0);
}

void TestPlayer::playsToTheEndAndAgainAfterASeek()
{
    ZKPlayer player(nullptr);
    QSignalSpy frames(&player, &ZKPlayer::frameReady);
    QSignalSpy states(&player, &ZKPlayer::stateChanged);
    QSignalSpy duration(&player, &ZKPlayer::durationKnown);
    QSignalSpy sound(&player, &ZKPlayer::audioData);
    QElapsedTimer played;
    played.start();
    const int logStart = HostLog::instance().count();
    player.open(Media::path("av.mp4"), false, 0);
    bool silent = false;
    for (const LogLine &line : logLines(logStart))
        silent |= line.level == LOG_ERROR && line.text == "[ZKPlayer] QAudioSink 启动失败,走无声+墙钟模式";
    QVERIFY(silent);
    QCOMPARE(statesOf(states), QStringList{"播放中"});
    QTRY_COMPARE_WITH_TIMEOUT(statesOf(states).size(), 2, 15000);
    QCOMPARE(statesOf(states).last(), QStringLiteral("已播完"));
    QVERIFY2(played.elapsed() > 2500, "a 3 s file played on the wall clock");
    QCOMPARE(duration.size(), 1);
    QVERIFY(qAbs(duration.first().first().toDouble() - 3.0) < 0.1);
    QVector<double> pts = ptsOf(frames);
    QCOMPARE(pts.first(), 0.0);
    QVERIFY(strictlyIncreasing(pts));
    QCOMPARE(pts.size(), 90); // every picture, the last ones too
    QCOMPARE(frames.first().first().value<QImage>().size(), QSize(320, 240));
    QCOMPARE(frames.first().first().value<QImage>().format(), QImage::Format_RGB32);
    QCOMPARE(sound.size(), 0); // queued audio was discarded, so decoding never stalled

    // The thread stays at the end; a seek plays again and ends again.
    QTest::qWait(300);
    QVERIFY(player.isPlaying());
    QCOMPARE(statesOf(states).size(), 2);
    const int before = frames.size();
    player.seek(2.0);
    QTRY_COMPARE_WITH_TIMEOUT(statesOf(states).size(), 3, 10000);
    QCOMPARE(statesOf(states).last(), QStringLiteral("已播完"));
    pts = ptsOf(frames, before);
    QVERIFY(pts.first() >= 1.999 && pts.first() < 2.04);
    QVERIFY(strictlyIncreasing(pts));
}

void TestPlayer::missingOrEmptyFileIsRefused()
{
    ZKPlayer player(nullptr);
    QSignalSpy errors(&player, &ZKPlayer::errorOccurred);
    QSignalSpy states(&player, &ZKPlayer::stateChanged);
    const QString missing = m_dir.filePath("missing.mp4");
    player.open(missing, false, 0);
    QCOMPARE(errors.size(), 1);
    QCOMPARE(errors.first().first().toString(), QStringLiteral("文件不存在或为空: %1").arg(missing));
    player.open(Media::path("empty.mp4"), false, 0);
    QCOMPARE(errors.last().first().toString(), QStringLiteral("文件不存在或为空: %1").arg(Media::path("empty.mp4")));
    QVERIFY(!player.isPlaying());
    QCOMPARE(states.size(), 0);
    player.close();
    player.close();
}

void TestPlayer::unreadableFileReportsOnce()
{
    ZKPlayer player(nullptr);
    QSignalSpy errors(&player, &ZKPlayer::errorOccurred);
    const int before = HostLog::instance().count();
    player.open(Media::path("garbage.mp4"), false, 0);
    QTRY_VERIFY_WITH_TIMEOUT(!player.isPlaying(), 10000);
    QTRY_COMPARE(errors.size(), 1);
    const QString message = errors.first().first().toString();
    QVERIFY2(message.startsWith("解析文件失败: "), qPrintable(message));
    bool logged = false;
    for (const LogLine &line : logLines(before))
        logged |= line.level == LOG_ERROR && line.text == "[ZKPlayer] " + message;
    QVERIFY(logged);
    // Corrupt data in the middle of a real file plays through to the end.
    QSignalSpy states(&player, &ZKPlayer::stateChanged);
    player.open(Media::path("corrupt.mp4"), false, 17.0);
    QTRY_VERIFY_WITH_TIMEOUT(statesOf(states).contains("已播完"), 15000);
}

void TestPlayer::startSeekThreshold()
{
    ZKPlayer player(nullptr);
    QSignalSpy frames(&player, &ZKPlayer::frameReady);
    player.open(Media::path("av20.mp4"), false, 0.005);
    QTRY_VERIFY_WITH_TIMEOUT(!frames.isEmpty(), 10000);
    QCOMPARE(ptsOf(frames).first(), 0.0); // no start seek at or below 0.01 s
    frames.clear();
    player.open(Media::path("av20.mp4"), false, -1); // a negative start reopens
    player.close();
    player.open(Media::path("av20.mp4"), false, 5.0);
    QTRY_VERIFY_WITH_TIMEOUT(!frames.isEmpty(), 10000);
    QVERIFY(ptsOf(frames).first() >= 4.999 && ptsOf(frames).first() < 5.04);
    QCOMPARE(player.m_lastPts >= 5.0, true);
}

void TestPlayer::seekDropsEarlierPicturesAndCutsAudio()
{
    ZKPlayer player(nullptr);
    player.open(Media::path("av20.mp4"), false, 0);
    player.setPaused(true); // the queues then keep what the thread decodes
    const int before = HostLog::instance().count();
    player.seek(10.0);
    QTRY_VERIFY_WITH_TIMEOUT(indexOfLog("[ZKPlayer] seek → 10.0s 完成", before) >= 0, 10000);
    QTRY_VERIFY_WITH_TIMEOUT(queueFronts(player).first >= 0 && queueFronts(player).second >= 0, 10000);
    int chunkBytes = 0;
    const auto fronts = queueFronts(player, &chunkBytes);
    QVERIFY2(fronts.first >= 9.999 && fronts.first < 10.04, qPrintable(QString::number(fronts.first)));
    QCOMPARE(fronts.second, 10.0); // the chunk across 10.0 s now starts there
    QVERIFY(chunkBytes > 0 && chunkBytes % 4 == 0 && chunkBytes < 1024 * 4);
    std::lock_guard<std::mutex> lock(player.m_mutex);
    QVERIFY(player.m_clockResetPending);
}

void TestPlayer::quickAndNegativeSeeks()
{
    ZKPlayer player(nullptr);
    QSignalSpy frames(&player, &ZKPlayer::frameReady);
    player.open(Media::path("av20.mp4"), false, 0);
    QTRY_VERIFY_WITH_TIMEOUT(!frames.isEmpty(), 10000);
    int before = HostLog::instance().count();
    player.seek(3.0);
    player.seek(12.0);
    QTRY_VERIFY_WITH_TIMEOUT(indexOfLog("[ZKPlayer] seek → 12.0s 完成", before) >= 0, 10000);
    const int mark = frames.size();
    QTRY_VERIFY_WITH_TIMEOUT(frames.size() > mark + 3, 10000);
    // Nothing from before the last target reaches the screen once it is done.
    QVERIFY(ptsOf(frames, mark).first() >= 11.999);

    before = HostLog::instance().count();
    player.seek(-5);
    QTRY_VERIFY_WITH_TIMEOUT(indexOfLog("[ZKPlayer] seek → 0.0s 完成", before) >= 0, 10000);
    player.close();
    player.seek(4.0); // ignored: no thread
    QVERIFY(!player.isPlaying());
}

void TestPlayer::sameFileOpenIsAFastSeek()
{
    ZKPlayer player(nullptr);
    QSignalSpy states(&player, &ZKPlayer::stateChanged);
    QSignalSpy frames(&player, &ZKPlayer::frameReady);
    player.open(Media::path("av20.mp4"), false, 0);
    QTRY_VERIFY_WITH_TIMEOUT(!frames.isEmpty(), 10000);
    const int before = HostLog::instance().count();
    player.open(Media::path("av20.mp4"), false, 8.0);
    QCOMPARE(logTexts(before).value(0), QStringLiteral("[ZKPlayer] 同文件快速 seek → 8.0s (followLive=0)"));
    QCOMPARE(states.size(), 1);
    QTRY_VERIFY_WITH_TIMEOUT(indexOfLog("[ZKPlayer] seek → 8.0s 完成", before) >= 0, 10000);
    for (const QString &line : logTexts(before))
        QVERIFY2(!line.startsWith("[ZKPlayer] open:") && !line.startsWith("[ZKPlayer] 解码线程退出"), qPrintable(line));
}

void TestPlayer::videoAheadOfAudioFillsTheLargerQueue()
{
    ZKPlayer player(nullptr);
    player.open(Media::path("ahead.mkv"), false, 0);
    player.setPaused(true);
    // The thread reads past 12 pictures to look for audio, but never past 36.
    QTRY_VERIFY_WITH_TIMEOUT(([&] {
                                 std::lock_guard<std::mutex> lock(player.m_mutex);
                                 return player.m_videoQueue.size() > 12;
                             }()),
                             10000);
    QTest::qWait(500);
    std::lock_guard<std::mutex> lock(player.m_mutex);
    QVERIFY(player.m_videoQueue.size() <= 36 + 2);
}

void TestPlayer::destroyingAPlayingPlayerJoinsItsThread()
{
    auto *player = new ZKPlayer(nullptr);
    QSignalSpy frames(player, &ZKPlayer::frameReady);
    player->open(Media::path("av20.mp4"), false, 0);
    QTRY_VERIFY_WITH_TIMEOUT(!frames.isEmpty(), 10000);
    const int before = HostLog::instance().count();
    delete player;
    QVERIFY(logTexts(before).join('\n').contains("[ZKPlayer] 解码线程退出 @ "));
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
    QSignalSpy frames(&player, &ZKPlayer::frameReady);
    QSignalSpy states(&player, &ZKPlayer::stateChanged);
    QSignalSpy errors(&player, &ZKPlayer::errorOccurred);
    // Opened before the writer has written anything, as the panel may.
    player.open(file, true, 0);
    const qint64 writer = Media::startWriter(file, container);
    QVERIFY(writer > 0);
    QTRY_VERIFY_WITH_TIMEOUT(frames.size() > 30, 20000);

    // The writer stalls for 3 s; playback resumes when it goes on.
    kill(pid_t(writer), SIGSTOP);
    QTest::qWait(3000);
    kill(pid_t(writer), SIGCONT);
    const int afterStall = frames.size();
    QTRY_VERIFY_WITH_TIMEOUT(frames.size() > afterStall + 60, 20000);

    // The recording ends; the player plays it out and reports the end once.
    Media::finishWriter(writer);
    player.stopFollowing();
    QTRY_VERIFY_WITH_TIMEOUT(statesOf(states).contains("已播完"), 30000);
    QTest::qWait(300);
    QCOMPARE(statesOf(states).count("已播完"), 1);
    QCOMPARE(statesOf(states).first(), QStringLiteral("跟随录制中"));
    QVERIFY(strictlyIncreasing(ptsOf(frames)));
    QCOMPARE(errors.size(), 0);
    // Every picture of the finished file was shown, none twice. The heal
    // rewinds into the middle of the file; Matroska resyncs on its next
    // cluster, but the MP4 demuxer loses up to a fragment or two there.
    const int inFile = decodedFrames(file);
    const int allowed = container == "mkv" ? 2 : 90;
    QVERIFY2(frames.size() <= inFile && inFile - frames.size() <= allowed,
             qPrintable(QString("%1 shown, %2 in the file").arg(frames.size()).arg(inFile)));
}

void TestPlayer::waitsTenSecondsForRecordingData()
{
    ZKPlayer player(nullptr);
    QSignalSpy errors(&player, &ZKPlayer::errorOccurred);
    const QString never = m_dir.filePath("never-written.mkv");
    QElapsedTimer waited;
    waited.start();
    player.open(never, true, 0);
    QCOMPARE(errors.size(), 0);
    QVERIFY(player.isPlaying());
    QTRY_COMPARE_WITH_TIMEOUT(errors.size(), 1, 20000);
    QVERIFY(waited.elapsed() >= 9500);
    QCOMPARE(errors.first().first().toString(), QStringLiteral("等了 10 秒还没有录制数据: %1").arg(never));
    QTRY_VERIFY(!player.isPlaying());
}

void TestPlayer::runOfReadErrorsReopens()
{
    ZKPlayer player(nullptr);
    QSignalSpy frames(&player, &ZKPlayer::frameReady);
    player.open(Media::path("av20.mp4"), false, 0);
    QTRY_VERIFY_WITH_TIMEOUT(frames.size() > 10, 10000);
    const int before = HostLog::instance().count();
    // FFmpeg's byte source keeps a read error: after one failed system read
    // every packet read fails, as after a real disk error, until the player
    // reopens the demuxer.
    FaultPread::failNext(1, EIO);
    QTRY_VERIFY_WITH_TIMEOUT(logTexts(before).join('\n').contains("[ZKPlayer] 连续读错 21 次(Input/output error),重开解复用器 @ "),
                             15000);
    const int mark = frames.size();
    QTRY_VERIFY_WITH_TIMEOUT(frames.size() > mark + 30, 10000);
    QVERIFY(player.isPlaying());
    QCOMPARE(FaultPread::failedCalls(), 1);
}

void TestPlayer::pictureTooLargeForMemoryIsDropped()
{
#ifdef ZK_SANITIZED
    QSKIP("a capped address space and a sanitizer's shadow memory do not mix");
#endif
    // A picture whose image cannot be allocated is dropped with one log
    // line; the file then plays to its end instead of taking the host down.
    QProcess child;
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(QCoreApplication::applicationFilePath(), {"--too-large-child", Media::path("huge.avi")});
    QVERIFY(child.waitForFinished(60000));
    const QString output = QString::fromUtf8(child.readAll());
    QCOMPARE(child.exitStatus(), QProcess::NormalExit);
    QVERIFY2(child.exitCode() == 0, qPrintable(output.right(2000)));
}

int main(int argc, char **argv)
{
    // No audio system reachable, whatever the machine has.
    qputenv("PULSE_SERVER", "unix:/nonexistent/zerka/pulse/native");
    QCoreApplication app(argc, argv);
    if (argc == 3 && QByteArray(argv[1]) == "--too-large-child")
        return pictureTooLargeChild(argv[2]);
    TestPlayer test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "test_player.moc"
