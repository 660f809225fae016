// The pacing tick and the wall clock, with pictures placed in the player's
// queue directly (no decode thread, no audio sink): when each picture is
// shown, how jumps re-anchor the clock, pause and resume, and the end report.

// QtTest first: the OBS headers' SIMD shim must come after the compiler's intrinsics.
#include <QtTest>

#include "test_support.h"
#include "zk_player.h"

class TestPacing : public QObject {
    Q_OBJECT

private:
    void push(ZKPlayer &player, double pts);
    static double emittedPts(const QSignalSpy &spy, int i) { return spy.at(i).at(1).toDouble(); }

private slots:
    void initTestCase();
    void firstPictureAtOnceAnchorsTheClock();
    void pictureWaitsForItsTime();
    void earlyByAtMostFiveMilliseconds();
    void forwardJumpReanchors();
    void backlogDrainsThreePerTick();
    void completedSeekResetsTheClock();
    void pauseAndResume();
    void finishedIsReportedOnce();
};

void TestPacing::initTestCase()
{
    HostLog::instance().install(QString());
}

void TestPacing::push(ZKPlayer &player, double pts)
{
    std::lock_guard<std::mutex> lock(player.m_mutex);
    player.m_videoQueue.push_back({QImage(4, 4, QImage::Format_RGB32), pts});
}

void TestPacing::firstPictureAtOnceAnchorsTheClock()
{
    ZKPlayer player(nullptr);
    QCOMPARE(player.masterClockSec(), -1.0);
    QSignalSpy frames(&player, &ZKPlayer::frameReady);
    push(player, 100.0);
    player.onPaceTick();
    QCOMPARE(frames.size(), 1);
    QCOMPARE(emittedPts(frames, 0), 100.0);
    QCOMPARE(player.m_lastPts, 100.0);
    const double clock = player.masterClockSec();
    QVERIFY(clock >= 100.0 && clock < 100.05);
}

void TestPacing::pictureWaitsForItsTime()
{
    ZKPlayer player(nullptr);
    QSignalSpy frames(&player, &ZKPlayer::frameReady);
    push(player, 0.0);
    push(player, 0.2);
    player.onPaceTick();
    QCOMPARE(frames.size(), 1);
    QElapsedTimer waited;
    waited.start();
    while (frames.size() < 2 && waited.elapsed() < 2000) {
        player.onPaceTick();
        QTest::qWait(2);
    }
    QCOMPARE(frames.size(), 2);
    QVERIFY2(waited.elapsed() >= 180, qPrintable(QString::number(waited.elapsed())));
}

void TestPacing::earlyByAtMostFiveMilliseconds()
{
    ZKPlayer player(nullptr);
    QSignalSpy frames(&player, &ZKPlayer::frameReady);
    push(player, 0.0);
    player.onPaceTick();
    push(player, 0.004);
    player.onPaceTick(); // 4 ms ahead of a clock near 0: shown now
    QCOMPARE(frames.size(), 2);
    push(player, 0.05);
    player.onPaceTick(); // 50 ms ahead: waits
    QCOMPARE(frames.size(), 2);
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
    player.onPaceTick();
    QCOMPARE(frames.size(), 4);
    player.onPaceTick();
    QCOMPARE(frames.size(), 7);
    player.onPaceTick();
    QCOMPARE(frames.size(), 8);
    for (int i = 1; i < frames.size(); ++i)
        QVERIFY(emittedPts(frames, i) > emittedPts(frames, i - 1)); // oldest first, none dropped
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
    QCOMPARE(states.at(0).at(0).toString(), QStringLiteral("已暂停"));
    QVERIFY(player.isPaused());
    push(player, 7.01);
    player.onPaceTick(); // paused: nothing leaves
    QCOMPARE(frames.size(), 1);

    QTest::qWait(300);
    player.setPaused(false);
    QCOMPARE(states.at(1).at(0).toString(), QStringLiteral("播放中"));
    // The clock resumes from the picture on screen, not 300 ms later.
    QVERIFY2(player.masterClockSec() < 7.03, qPrintable(QString::number(player.masterClockSec())));

    player.m_followLive = true;
    player.setPaused(true);
    player.setPaused(false);
    QCOMPARE(states.last().at(0).toString(), QStringLiteral("跟随录制中"));
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
    QCOMPARE(states.at(0).at(0).toString(), QStringLiteral("已播完"));
}

QTEST_MAIN(TestPacing)
#include "test_pacing.moc"
