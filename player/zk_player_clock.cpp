// ZKPlayer: the master clock, the pacing tick that emits pictures when their
// time has come, the end-of-media report, and pause and resume.

#include "zk_player.h"

#include "zk_media.h"

#include <obs-module.h>

#include <QTimer>

#include <cmath>

namespace {

// Under the wall clock, a picture this far ahead is a jump in the
// timestamps (a cut, a loop), not a picture to wait for.
constexpr double kWallJumpSec = 0.5;
// A picture is shown from 5 ms before its time: a tick that wakes a
// millisecond or two late still shows it on time.
constexpr double kEarlySec = 0.005;
// A backlog drains at most this many pictures per tick.
constexpr int kMaxFramesPerTick = 3;
// The longest the tick sleeps towards a picture's time (25 pictures a
// second in one wake), so that what it did not foresee (the clock taken
// over by the sound device, say) keeps a picture waiting no longer.
constexpr int kPaceMaxMs = 40;
// After a reset the first picture waits for the sound to anchor the clock
// (the sink first plays what it still holds), so that a seek or a loop
// starts in step; a file whose sound starts later must not hold it longer.
constexpr qint64 kAudioAnchorWaitMs = 400;
// A step back lands just before the picture on screen: the decoder goes
// to the key picture at or before this much earlier.
constexpr double kStepBackSec = 0.001;
// A new speed waits for the sound handed out at the old one: what a device
// holds, a few tenths at most. Never longer than this, whatever was handed out.
constexpr double kOldRateMaxSec = 0.5;
} // namespace

qint64 ZKPlayer::playsAtNs(double pts)
{
    // When the master clock reaches `pts`: when its picture is shown.
    return ShowClock::nowNs() + qint64((pts - clockSec()) * 1e9);
}

double ZKPlayer::clockSec()
{
    // While paused the lane's time stands at the picture on screen.
    if (m_paused)
        return m_lastPts;
    std::lock_guard<std::mutex> lock(m_mutex);
    return hasMasterClock() ? masterClockSec() : m_lastPts;
}

bool ZKPlayer::hasMasterClock() const
{
    return m_output.clockValid() || m_wallTimer.isValid();
}

bool ZKPlayer::waitingForAudioClock() const
{
    return m_output.isOpen() && m_hasAudio && m_speed >= 1.0 && m_sinceClockReset.isValid() &&
           m_sinceClockReset.elapsed() < kAudioAnchorWaitMs;
}

double ZKPlayer::masterClockSec()
{
    // With every block of sound handed to the sink and none to come before
    // the queued pictures, a count that stops is the sound running out, not
    // a stalled device: recordings often hold pictures past their last
    // sound, and those must still come due.
    if (m_output.clockValid())
        return m_output.clockSec(soundRanOut());
    if (!m_wallTimer.isValid())
        return -1.0;
    const double elapsed = m_wallTimer.elapsed() / 1000.0;
    if (m_oldRateUntilPts < 0)
        return m_wallAnchorPts + elapsed * m_speed;
    const double old = m_wallAnchorPts + elapsed * m_oldRate;
    if (old <= m_oldRateUntilPts)
        return old;
    return m_oldRateUntilPts + (elapsed - (m_oldRateUntilPts - m_wallAnchorPts) / m_oldRate) * m_speed;
}

void ZKPlayer::anchorWall(double pts)
{
    m_wallAnchorPts = pts;
    m_wallTimer.start();
    m_oldRateUntilPts = -1.0;
}

double ZKPlayer::wallSecondsUntil(double pts, double clock) const
{
    if (m_oldRateUntilPts <= clock || pts <= clock)
        return (pts - clock) / m_speed;
    const double atOld = qMin(pts, m_oldRateUntilPts) - clock;
    return atOld / m_oldRate + qMax(0.0, pts - m_oldRateUntilPts) / m_speed;
}

bool ZKPlayer::soundRanOut() const
{
    if (!m_audioQueue.empty() || !m_pendingPcm.isEmpty())
        return false;
    // The end of the file, or pictures queued as far ahead as the decoder
    // may read with no sound among them (the sound ended more than that
    // before the pictures do, or pauses for longer).
    return m_eof || !mayRead();
}

void ZKPlayer::resetPlaybackClocks()
{
    m_output.invalidateClock();
    dropStretched();
    m_pendingPcm.clear();
    m_wallTimer.invalidate();
    m_oldRateUntilPts = m_heardUntilPts = -1.0;
    m_expectedAudioPts = -1.0;
    m_sinceClockReset.start();
}

bool ZKPlayer::takeDueFrame(VideoFrame &out)
{
    if (m_seekPending || m_videoQueue.empty())
        return false;
    const bool clocked = hasMasterClock();
    const double clock = masterClockSec();
    VideoFrame &head = m_videoQueue.front();
    if (!clocked) {
        if (waitingForAudioClock())
            return false;
        // No clock yet: show at once and let the wall clock start here.
        anchorWall(head.pts);
    } else if (!m_output.clockValid() && head.pts > clock + kWallJumpSec) {
        anchorWall(head.pts);
    } else if (head.pts > clock + kEarlySec) {
        return false;
    }
    out = std::move(head);
    m_videoQueue.pop_front();
    return true;
}

void ZKPlayer::applyClockReset()
{
    // After a completed seek; whichever tick comes first, so that no chunk
    // from the target is judged against the clock from before it.
    bool reset = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::swap(reset, m_clockResetPending);
    }
    if (reset)
        resetPlaybackClocks();
}

void ZKPlayer::setSpeed(double speed)
{
    speed = qBound(0.01, speed, 1.0);
    if (speed == m_speed)
        return;
    // The lane goes on from where it is now at the new rate, once the
    // sound already handed out (to the device and the stream) has been
    // heard: the pictures keep the old rate till then, a tenth of a second
    // or so. The sound stops there, or comes back at its next block, which
    // then anchors the clock again.
    const bool clocked = hasMasterClock();
    const double now = clockSec();
    const double heard = m_heardUntilPts, heardRate = m_heardRate;
    m_speed = speed;
    m_output.invalidateClock();
    dropStretched();
    m_pendingPcm.clear();
    m_expectedAudioPts = -1.0;
    if (clocked) {
        anchorWall(now);
        if (!m_paused && heard > now) {
            m_oldRate = heardRate;
            m_oldRateUntilPts = qMin(heard, now + kOldRateMaxSec * heardRate);
        }
    }
    blog(LOG_INFO, "[ZKPlayer] 速度 → %.2fx", speed);
}

void ZKPlayer::setStretchedSound(bool on)
{
    m_stretchSound = on;
    dropStretched();
}

void ZKPlayer::dropStretched()
{
    m_tempo.close();
    m_stretched.clear();
    m_stretchedPts = -1.0;
}

void ZKPlayer::step(int direction)
{
    if (!m_running || !m_paused || direction == 0)
        return;
    // Asked for faster than they are shown: each goes on from the picture
    // the one before it shows.
    if (m_stepPending) {
        m_stepsWaiting += direction > 0 ? 1 : -1;
        return;
    }
    takeStep(direction);
}

void ZKPlayer::takeStep(int direction)
{
    // Forward, the next picture is already decoded, waiting in the queue.
    // Back, the decoder goes to the key picture before the one on screen
    // and keeps the last picture earlier than it, however far apart they lie.
    if (direction < 0 && !requestSeek(qMax(0.0, m_lastPts - kStepBackSec), false, m_lastPts))
        return;
    m_stepPending = true;
    m_paceTimer->start(kPaceMs);
}

void ZKPlayer::resetSteps()
{
    m_stepPending = false;
    m_stepsWaiting = 0;
}

void ZKPlayer::dropSoundBefore(double pts)
{
    while (!m_audioQueue.empty()) {
        const AudioChunk &head = m_audioQueue.front();
        const double length = Pcm::seconds(head.pcm.size());
        if (head.pts + length > pts)
            break;
        m_queuedAudioSec = qMax(0.0, m_queuedAudioSec - length);
        m_audioQueue.pop_front();
    }
}

void ZKPlayer::showSteppedPicture()
{
    VideoFrame frame;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        // Not landed, or the picture not decoded yet (a step back decodes
        // from the key picture before): next tick.
        if (m_seekPending || (m_videoQueue.empty() && !m_eof && m_running))
            return;
        if (!m_videoQueue.empty()) {
            frame = std::move(m_videoQueue.front());
            m_videoQueue.pop_front();
            // The sound before it will never be heard; left queued it
            // would hold the decoder back (the queue is bounded).
            dropSoundBefore(frame.pts);
        }
    }
    m_stepPending = false;
    if (frame.picture.isNull()) { // the end: nothing after the picture on screen
        resetSteps();
        m_paceTimer->stop();
        return;
    }
    m_cv.notify_all();
    m_lastPts = frame.pts;
    m_stepped = true;
    emit frameReady(frame.picture, frame.pts);
    if (m_stepsWaiting != 0 && m_paused && m_running) {
        const int direction = m_stepsWaiting > 0 ? 1 : -1;
        m_stepsWaiting -= direction;
        takeStep(direction);
    } else {
        m_paceTimer->stop();
    }
}

void ZKPlayer::onPaceTick()
{
    if (m_paused) {
        if (m_stepPending)
            showSteppedPicture();
        else
            m_paceTimer->stop();
        return;
    }
    applyClockReset();

    for (int i = 0; i < kMaxFramesPerTick; ++i) {
        VideoFrame frame;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (!takeDueFrame(frame))
                break;
        }
        m_cv.notify_all();
        m_lastPts = frame.pts;
        emit frameReady(frame.picture, frame.pts);
        if (m_paused) // a receiver paused the player
            return;
    }
    checkFinished();
    scheduleNextTick();
}

// The next tick when the next picture is due rather than a poll every
// kPaceMs: a lane of 30 pictures a second wakes some 30 times a second, not
// 125, and shows each within a millisecond or two of its time, not up to a
// poll late.
void ZKPlayer::scheduleNextTick()
{
    int ms = kPaceMs;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_seekPending && !m_clockResetPending && !m_videoQueue.empty() && hasMasterClock() &&
            !waitingForAudioClock()) {
            // On the wall clock a slowed lane's picture is due later than
            // its distance in the file's time (waking at that distance would
            // wake it again and again, each time halfway there). The sound
            // device's clock runs at 1x.
            const double due = m_videoQueue.front().pts - kEarlySec;
            const double clock = masterClockSec();
            const double wait = m_output.clockValid() ? due - clock : wallSecondsUntil(due, clock);
            ms = qBound(0, int(std::ceil(wait * 1000)), kPaceMaxMs);
        }
    }
    if (m_paceTimer->isActive() && m_paceTimer->interval() != ms)
        m_paceTimer->setInterval(ms);
}

void ZKPlayer::checkFinished()
{
    if (m_followLive || m_finishedReported)
        return;
    bool finishedNow = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_eof && m_videoQueue.empty() && m_audioQueue.empty() && m_pendingPcm.isEmpty()) {
            m_finishedReported = true;
            finishedNow = true;
        }
    }
    if (finishedNow)
        emit stateChanged(State::Finished);
}

void ZKPlayer::setPaused(bool paused)
{
    if (paused == m_paused)
        return;
    m_paused = paused;
    if (paused) {
        m_paceTimer->stop();
        m_audioTimer->stop();
        m_output.suspend();
        emit stateChanged(State::Paused);
        return;
    }
    resetSteps();
    if (m_stepped) {
        // Stepped while paused: the sound starts again with the picture on
        // screen, and anchors the clock afresh.
        m_stepped = false;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            dropSoundBefore(m_lastPts);
        }
        m_cv.notify_all();
        resetPlaybackClocks();
    } else if (!m_output.clockValid()) {
        // Resume from the picture on screen; the paused time is not skipped.
        anchorWall(m_lastPts);
    } else {
        m_output.resumed();
    }
    m_output.resume();
    m_paceTimer->start(kPaceMs);
    m_audioTimer->start();
    emit stateChanged(m_followLive ? State::Following : State::Playing);
}
