// The pacing tick and the wall clock, with pictures placed in the player's
// queue directly (no decode thread, no audio sink): when each picture is
// shown, how jumps re-anchor the clock, a clock below zero, a pending seek,
// pause and resume, and the end report.

// QtTest first: the OBS headers' SIMD shim must come after the compiler's intrinsics.
#include <QtTest>

#include "test_support.h"
#include "zk_player.h"

class TestPacing : public QObject {
    Q_OBJECT

private:
    static void push(ZKPlayer &player, double pts)
    {
        std::lock_guard<std::mutex> lock(player.m_mutex);
        player.m_videoQueue.push_back({QImage(4, 4, QImage::Format_RGB32), pts});
    }
    static double pts(const QSignalSpy &spy, int i) { return spy.at(i).at(1).toDouble(); }
    // Ticks every 2 ms until `count` pictures are out; the milliseconds it took.
    static qint64 tickUntil(ZKPlayer &player, const QSignalSpy &frames, int count);

private slots:
    void initTestCase() { HostLog::instance().install(QString()); }
    void firstPictureAnchorsTheClock();
    void picturesWaitForTheirTime();
    void clockBelowZeroPaces();
    void forwardJumpReanchors();
    void backlogDrainsThreePerTick();
    void completedSeekResetsTheClock();
    void nothingOldLeavesWhileASeekIsPending();
    void pauseAndResume();
    void finishedIsReportedOnce();
};

qint64 TestPacing::tickUntil(ZKPlayer &player, const QSignalSpy &frames, int count)
{
    QElapsedTimer waited;
    waited.start();
    while (frames.size() < count && waited.elapsed() < 2000) {
        player.onPaceTick();
        QTest::qWait(2);
    }
    return waited.elapsed();
}

void TestPacing::firstPictureAnchorsTheClock()
{
    ZKPlayer player(nullptr);
    QVERIFY(!player.hasMasterClock());
    QSignalSpy frames(&player, &ZKPlayer::frameReady);
    push(player, 100.0);
    player.onPaceTick();
    QCOMPARE(frames.size(), 1);
    QCOMPARE(pts(frames, 0), 100.0);
    QCOMPARE(player.m_lastPts, 100.0);
    QVERIFY(player.hasMasterClock());
    QVERIFY(player.masterClockSec() >= 100.0 && player.masterClockSec() < 100.05);
}

void TestPacing::picturesWaitForTheirTime()
{
    ZKPlayer player(nullptr);
    QSignalSpy frames(&player, &ZKPlayer::frameReady);
    push(player, 0.0);
    player.onPaceTick();
    push(player, player.masterClockSec() + 0.004); // 4 ms ahead: shown now rather than a tick late
    player.onPaceTick();
    QCOMPARE(frames.size(), 2);
    push(player, player.masterClockSec() + 0.007); // 7 ms ahead: waits for the next tick
    player.onPaceTick();
    QCOMPARE(frames.size(), 2);
    {
        std::lock_guard<std::mutex> lock(player.m_mutex);
        player.m_videoQueue.clear();
    }
    push(player, 0.2);
    player.onPaceTick();
    QCOMPARE(frames.size(), 2);
    const qint64 waited = tickUntil(player, frames, 3);
    QVERIFY2(waited >= 170 && frames.size() == 3, qPrintable(QString::number(waited)));
}

void TestPacing::clockBelowZeroPaces()
{
    // A seek close to the start anchors the clock below zero (the sink's
    // latency is taken off); such a clock paces like any other.
    ZKPlayer player(nullptr);
    QSignalSpy frames(&player, &ZKPlayer::frameReady);
    for (int i = 0; i < 6; ++i)
        push(player, -0.2 + i / 30.0);
    player.onPaceTick();
    QCOMPARE(frames.size(), 1);
    const qint64 waited = tickUntil(player, frames, 6);
    QVERIFY2(waited >= 140, qPrintable(QString("5 pictures in %1 ms").arg(waited)));
}

void TestPacing::forwardJumpReanchors()
{
    ZKPlayer player(nullptr);
    QSignalSpy frames(&player, &ZKPlayer::frameReady);
    push(player, 0.0);
    player.onPaceTick();
    push(player, 0.4); // within half a second: waits
    player.onPaceTick();
    QCOMPARE(frames.size(), 1);
    {
        std::lock_guard<std::mutex> lock(player.m_mutex);
        player.m_videoQueue.clear();
    }
    push(player, 30.0); // a jump: shown at once, the clock follows
    player.onPaceTick();
    QCOMPARE(frames.size(), 2);
    QVERIFY(player.masterClockSec() >= 30.0 && player.masterClockSec() < 30.05);
}

void TestPacing::backlogDrainsThreePerTick()
{
    ZKPlayer player(nullptr);
    QSignalSpy frames(&player, &ZKPlayer::frameReady);
    push(player, 0.0);
    player.onPaceTick();
    QTest::qWait(150);
    for (int i = 1; i <= 7; ++i)
        push(player, i * 0.01); // all behind the clock
    for (int expected : {4, 7, 8}) {
        player.onPaceTick();
        QCOMPARE(frames.size(), expected);
    }
    for (int i = 1; i < frames.size(); ++i)
        QVERIFY(pts(frames, i) > pts(frames, i - 1)); // oldest first, none dropped
}

void TestPacing::completedSeekResetsTheClock()
{
    ZKPlayer player(nullptr);
    QSignalSpy frames(&player, &ZKPlayer::frameReady);
    push(player, 50.0);
    player.onPaceTick();
    {
        std::lock_guard<std::mutex> lock(player.m_mutex);
        player.m_clockResetPending = true;
    }
    push(player, 10.3); // behind the old clock, but a new start
    player.onPaceTick();
    QCOMPARE(frames.size(), 2);
    QVERIFY(player.masterClockSec() >= 10.3 && player.masterClockSec() < 10.35);
    QVERIFY(!player.m_clockResetPending);
}

void TestPacing::nothingOldLeavesWhileASeekIsPending()
{
    ZKPlayer player(nullptr);
    QSignalSpy frames(&player, &ZKPlayer::frameReady);
    player.m_running = true; // as if a decode thread were there to take the seek
    {
        std::lock_guard<std::mutex> lock(player.m_mutex);
        player.m_acceptsSeeks = true;
    }
    push(player, 1.0);
    push(player, 1.01);
    player.seek(12.0);
    push(player, 1.02); // decoded before the thread took the request
    player.onPaceTick();
    QCOMPARE(frames.size(), 0);
    {
        // The decode thread's seek is done: its queue holds the new pictures.
        std::lock_guard<std::mutex> lock(player.m_mutex);
        player.m_videoQueue.clear();
        player.m_seekTarget = -1;
        player.m_seekPending = false;
        player.m_clockResetPending = true;
    }
    push(player, 12.0);
    player.onPaceTick();
    QCOMPARE(frames.size(), 1);
    QCOMPARE(pts(frames, 0), 12.0);
    player.m_running = false;
}

void TestPacing::pauseAndResume()
{
    ZKPlayer player(nullptr);
    QSignalSpy frames(&player, &ZKPlayer::frameReady);
    QSignalSpy states(&player, &ZKPlayer::stateChanged);
    push(player, 7.0);
    player.onPaceTick();
    player.setPaused(true);
    player.setPaused(true);
    QCOMPARE(states.size(), 1);
    QCOMPARE(ZKPlayer::stateText(states.at(0).at(0).value<ZKPlayer::State>()), QStringLiteral("已暂停"));
    push(player, 7.01);
    player.onPaceTick(); // paused: nothing leaves
    QCOMPARE(frames.size(), 1);
    QTest::qWait(300);
    player.setPaused(false);
    QCOMPARE(ZKPlayer::stateText(states.at(1).at(0).value<ZKPlayer::State>()), QStringLiteral("播放中"));
    // The clock resumes from the picture on screen, not 300 ms later.
    QVERIFY2(player.masterClockSec() < 7.03, qPrintable(QString::number(player.masterClockSec())));
    player.m_followLive = true;
    player.setPaused(true);
    player.setPaused(false);
    QCOMPARE(ZKPlayer::stateText(states.last().at(0).value<ZKPlayer::State>()), QStringLiteral("跟随录制中"));
}

void TestPacing::finishedIsReportedOnce()
{
    ZKPlayer player(nullptr);
    QSignalSpy states(&player, &ZKPlayer::stateChanged);
    push(player, 1.0);
    {
        std::lock_guard<std::mutex> lock(player.m_mutex);
        player.m_eof = true;
    }
    player.m_followLive = true;
    player.onPaceTick();
    player.onPaceTick();
    QCOMPARE(states.size(), 0); // never while following
    player.m_followLive = false;
    player.onPaceTick();
    player.onPaceTick();
    QCOMPARE(states.size(), 1);
    QCOMPARE(ZKPlayer::stateText(states.at(0).at(0).value<ZKPlayer::State>()), QStringLiteral("已播完"));
}

QTEST_MAIN(TestPacing)
#include "test_pacing.moc"
