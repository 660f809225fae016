// ZKPlayer: construction, the control operations (open, seek, close,
// following), feeding the lane's AudioOutput (or pacing the sound without
// one), and the statistics tick with its audio-device watchdog.

#include "zk_player.h"

#include "zk_media.h"

#include <obs-module.h>

#include <QFileInfo>
#include <QTimer>

#include <vector>

namespace {

constexpr double kAudioJumpSec = 0.3;        // larger gaps between chunks re-anchor the clock
// Less than this queued (and nothing half-written) is a drained queue, not
// audio the device should be playing.
constexpr double kWatchdogQueuedSec = 0.05;
// Without a device, audio leaves when its time is this close on the clock
// (about one 15 ms tick ahead, as a device's buffer would take it).
constexpr double kSilentLeadSec = 0.02;
// Slowed sound goes into the tempo filter this far ahead of the clock (in
// the file's time) beyond what the filter holds back: a tick's worth.
constexpr double kStretchLeadSec = 0.02;
// ...or at once when it lies this far ahead: a jump in the timestamps,
// which must not hold the queue (and with it the decoder) back.
constexpr double kSilentJumpSec = 0.5;

QTimer *makeTimer(QObject *parent, int ms, Qt::TimerType type)
{
    auto *timer = new QTimer(parent);
    timer->setInterval(ms);
    timer->setTimerType(type);
    return timer;
}

} // namespace

QString ZKPlayer::stateText(State state)
{
    switch (state) {
    case State::Playing:
        return QStringLiteral("播放中");
    case State::Following:
        return QStringLiteral("跟随录制中");
    case State::Paused:
        return QStringLiteral("已暂停");
    case State::Finished:
        return QStringLiteral("已播完");
    case State::SilentFallback:
        return QStringLiteral("音频设备异常,已切静默播放");
    }
    return QString();
}

QByteArray ZKPlayer::outputDevice() const
{
    return m_output.device();
}

double ZKPlayer::outputVolume() const
{
    return m_output.level();
}

qint64 ZKPlayer::soundPlayedUs() const
{
    return qMax<qint64>(0, m_output.playedUs());
}

ZKPlayer::ZKPlayer(QObject *parent) : QObject(parent)
{
    m_paceTimer = makeTimer(this, kPaceMs, Qt::PreciseTimer);
    connect(m_paceTimer, &QTimer::timeout, this, &ZKPlayer::onPaceTick);
    m_audioTimer = makeTimer(this, 15, Qt::PreciseTimer);
    connect(m_audioTimer, &QTimer::timeout, this, &ZKPlayer::onAudioTick);
    m_statsTimer = makeTimer(this, 2000, Qt::CoarseTimer);
    connect(m_statsTimer, &QTimer::timeout, this, &ZKPlayer::onStatsTick);
}

ZKPlayer::~ZKPlayer()
{
    close();
}

void ZKPlayer::open(const QString &path, bool followLive, double startSec)
{
    // A lane already playing this file only jumps within it, as long as its
    // decode thread still takes seeks; one that is ending is reopened.
    if (m_running && path == m_path && startSec >= 0) {
        const bool wasFollowing = m_followLive;
        m_followLive = followLive;
        if (requestSeek(startSec, true))
            return;
        m_followLive = wasFollowing;
    }
    close();
    resetSteps();
    if (!followLive) {
        const QFileInfo info(path);
        if (!info.exists() || info.size() == 0) {
            emit errorOccurred(QStringLiteral("文件不存在或为空: %1").arg(path));
            return;
        }
    }
    m_path = path;
    m_followLive = followLive;
    m_startSec = startSec;
    m_stopRequested = false;
    m_finishedReported = false;
    m_lastPts = startSec > 0 ? startSec : 0.0;
    {
        // close() has emptied the queues and dropped any seek target.
        std::lock_guard<std::mutex> lock(m_mutex);
        m_clockResetPending = false;
        m_eof = false;
        m_acceptsSeeks = true;
    }
    resetPlaybackClocks();
    blog(LOG_INFO, "[ZKPlayer] open: %s (followLive=%d, startSec=%.1f, videoOnly=%d)", path.toUtf8().constData(),
         int(followLive), startSec, int(m_videoOnly.load()));
    if (!m_videoOnly)
        setupAudioOutput();
    m_running = true;
    m_thread = std::thread(&ZKPlayer::decodeLoop, this);
    m_paceTimer->start(kPaceMs);
    m_audioTimer->start();
    m_statsTimer->start();
    m_paused = false;
    emit stateChanged(followLive ? State::Following : State::Playing);
}

void ZKPlayer::seek(double seconds)
{
    if (!m_running || !requestSeek(seconds))
        return;
    // Paused, the picture at the target is shown as soon as it is decoded
    // (as a step shows its picture), not only once the lane plays again.
    if (m_paused) {
        resetSteps();
        m_stepPending = true;
        m_paceTimer->start(kPaceMs);
    }
}

bool ZKPlayer::requestSeek(double seconds, bool sameFileOpen, double landBefore)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_acceptsSeeks)
            return false;
        // Logged before the thread can see the target, so that the log never
        // shows the seek completed before it was asked for.
        if (sameFileOpen)
            blog(LOG_INFO, "[ZKPlayer] 同文件快速 seek → %.1fs (followLive=%d)", seconds, int(m_followLive));
        m_seekTarget = seconds < 0 ? 0.0 : seconds;
        m_seekLandBefore = landBefore;
        m_seekWaiting = true; // the decode thread may be waiting for the writer
        m_eof = false;
        // From now on nothing from before the seek leaves the player: the
        // picture on screen stays until the first one at the target.
        m_seekPending = true;
        clearQueues();
    }
    m_pendingPcm.clear();
    m_cv.notify_all();
    // The tick may be set for a picture that is gone: back to polling till
    // the seek lands.
    if (m_paceTimer->isActive())
        m_paceTimer->start(kPaceMs);
    return true;
}

void ZKPlayer::close()
{
    m_paceTimer->stop();
    m_audioTimer->stop();
    m_statsTimer->stop();
    stopThread();
    teardownAudio();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        clearQueues();
        m_seekTarget = -1.0;
        m_seekLandBefore = -1.0;
        m_seekPending = false;
    }
    m_seekWaiting = false;
    m_paused = false;
    m_stepped = false;
    resetSteps();
}

void ZKPlayer::clearQueues()
{
    m_videoQueue.clear();
    m_audioQueue.clear();
    m_queuedAudioSec = 0.0;
}

void ZKPlayer::stopThread()
{
    m_stopRequested = true;
    m_cv.notify_all();
    if (m_thread.joinable())
        m_thread.join();
    m_running = false;
    m_stopRequested = false;
}

void ZKPlayer::stopFollowing()
{
    m_followLive = false;
}

// ---------------------------------------------------------------------------
// Audio output

void ZKPlayer::setupAudioOutput()
{
    m_output.open(m_audioDeviceId, m_muted ? 0.0 : m_volume / 100.0);
    m_pendingPcm.clear();
    m_lastProcUs = -1; // a new device is judged over two full intervals
}

void ZKPlayer::teardownAudio()
{
    m_pendingPcm.clear();
    m_output.close();
}

void ZKPlayer::applySinkVolume()
{
    m_output.setLevel(m_muted ? 0.0 : m_volume / 100.0);
}

void ZKPlayer::setVolume(int percent)
{
    m_volume = qBound(0, percent, 100);
    if (!m_muted)
        applySinkVolume();
}

void ZKPlayer::setMuted(bool muted)
{
    m_muted = muted;
    applySinkVolume();
}

void ZKPlayer::setAudioDevice(const QByteArray &id)
{
    if (id == m_audioDeviceId)
        return;
    m_audioDeviceId = id;
    if (m_running)
        setupAudioOutput();
}

void ZKPlayer::paceAudioSilently()
{
    // No device to play on: the stream still needs the program's sound, so
    // the audio leaves as its time comes on the player's clock.
    for (;;) {
        AudioChunk chunk;
        qint64 playsAt = 0;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_seekPending || m_audioQueue.empty())
                break;
            const AudioChunk &head = m_audioQueue.front();
            if (!hasMasterClock())
                anchorWall(head.pts);
            const double clock = masterClockSec();
            if (head.pts > clock + kSilentLeadSec && head.pts <= clock + kSilentJumpSec)
                break;
            // Heard when its time comes; a jump ahead is heard now, as its
            // picture is shown (the wall clock jumps with it).
            playsAt = ShowClock::nowNs() + qint64(qBound(0.0, head.pts - clock, kSilentLeadSec) * 1e9);
            chunk = std::move(m_audioQueue.front());
            m_audioQueue.pop_front();
            m_queuedAudioSec = qMax(0.0, m_queuedAudioSec - Pcm::seconds(chunk.pcm.size()));
        }
        m_cv.notify_all();
        heardUntil(chunk.pts + Pcm::seconds(chunk.pcm.size()));
        emit audioData(chunk.pcm, playsAt);
        if (m_output.isOpen() || m_paused) // a receiver changed the player
            return;
    }
}

bool ZKPlayer::fetchAudioChunk()
{
    AudioChunk chunk;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_seekPending || m_audioQueue.empty())
            return false;
        chunk = std::move(m_audioQueue.front());
        m_audioQueue.pop_front();
        m_queuedAudioSec = qMax(0.0, m_queuedAudioSec - Pcm::seconds(chunk.pcm.size()));
    }
    m_cv.notify_all();
    const double duration = Pcm::seconds(chunk.pcm.size());
    if (!m_output.clockValid()) {
        m_output.anchor(chunk.pts);
    } else if (m_expectedAudioPts >= 0 && qAbs(chunk.pts - m_expectedAudioPts) > kAudioJumpSec) {
        m_output.anchor(chunk.pts);
        blog(LOG_INFO, "[ZKPlayer] 音频不连续(预期 %.2f 实际 %.2f),时钟重锚", m_expectedAudioPts, chunk.pts);
    }
    m_expectedAudioPts = chunk.pts + duration;
    m_pendingPcm = std::move(chunk.pcm);
    m_pendingPts = chunk.pts;
    return true;
}

void ZKPlayer::dropSoundWhileSlow()
{
    // Slowed sound is not played: each block leaves unheard once its time
    // has passed, so that the sound at 1x again starts where the pictures
    // are. The lane's meter still sees it.
    std::vector<QByteArray> passed;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_seekPending || !hasMasterClock())
            return;
        const double clock = masterClockSec();
        while (!m_audioQueue.empty()) {
            AudioChunk &head = m_audioQueue.front();
            const double length = Pcm::seconds(head.pcm.size());
            if (head.pts + length > clock)
                break;
            m_queuedAudioSec = qMax(0.0, m_queuedAudioSec - length);
            passed.push_back(std::move(head.pcm));
            m_audioQueue.pop_front();
        }
    }
    m_cv.notify_all();
    for (const QByteArray &pcm : passed)
        emit audioSkipped(pcm);
}

void ZKPlayer::playStretched()
{
    // Each block goes through the tempo filter as its time comes on the
    // slowed clock (a little ahead: the filter holds a window back), and its
    // stretched sound is heard when the clock reaches the time it stands for.
    std::vector<AudioChunk> due;
    double clock = 0.0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_seekPending || !hasMasterClock())
            return;
        clock = masterClockSec();
        // Ahead by what the filter holds back, so that its sound comes out
        // when it is due.
        const double lead = m_tempo.heldSec() + kStretchLeadSec;
        while (!m_audioQueue.empty() && m_audioQueue.front().pts <= clock + lead) {
            m_queuedAudioSec = qMax(0.0, m_queuedAudioSec - Pcm::seconds(m_audioQueue.front().pcm.size()));
            due.push_back(std::move(m_audioQueue.front()));
            m_audioQueue.pop_front();
        }
    }
    m_cv.notify_all();
    if (m_tempo.rate() != m_speed) {
        m_stretched.clear();
        m_stretchedPts = -1.0;
        const QString error = m_tempo.open(m_speed);
        if (!error.isEmpty())
            blog(LOG_WARNING, "[ZKPlayer] %s,慢放不出声", error.toUtf8().constData());
    }
    for (AudioChunk &chunk : due) {
        if (m_stretchedPts < 0)
            m_stretchedPts = chunk.pts;
        // A filter that failed leaves the sound out, as slow motion without it does.
        if (!m_tempo.isOpen() || !m_tempo.process(chunk.pcm, m_stretched))
            emit audioSkipped(chunk.pcm);
    }
    const bool device = m_output.isOpen();
    while (m_stretched.size() >= Pcm::kBytesPerFrame) {
        qint64 take = device ? qMin<qint64>(m_output.bytesFree(), m_stretched.size()) : m_stretched.size();
        take -= take % Pcm::kBytesPerFrame;
        const qint64 playsAt = ShowClock::nowNs() + qint64(wallSecondsUntil(m_stretchedPts, clock) * 1e9);
        const qint64 written = take < 1 ? 0 : device ? m_output.write(m_stretched.constData(), take) : take;
        if (written < 1)
            return;
        const QByteArray out = m_stretched.left(written);
        m_stretched.remove(0, written);
        m_stretchedPts += Pcm::seconds(written) * m_speed;
        heardUntil(m_stretchedPts);
        emit audioData(out, playsAt);
        if (device && !m_output.isOpen()) // a receiver closed the player
            return;
    }
}

void ZKPlayer::onAudioTick()
{
    if (m_paused)
        return;
    applyClockReset();
    if (m_speed < 1.0) {
        if (m_stretchSound)
            playStretched();
        else
            dropSoundWhileSlow();
        return;
    }
    if (!m_output.isOpen()) {
        paceAudioSilently();
        return;
    }
    qint64 freeBytes = m_output.bytesFree();
    while (freeBytes >= 1) {
        if (m_pendingPcm.isEmpty() && !fetchAudioChunk())
            return;
        const qint64 want = qMin<qint64>(freeBytes, m_pendingPcm.size());
        const qint64 playsAt = playsAtNs(m_pendingPts);
        const qint64 written = m_output.write(m_pendingPcm.constData(), want);
        if (written < 1)
            return;
        const QByteArray accepted = m_pendingPcm.left(written);
        m_pendingPcm.remove(0, written);
        m_pendingPts += Pcm::seconds(written);
        heardUntil(m_pendingPts);
        emit audioData(accepted, playsAt);
        if (!m_output.isOpen()) // a receiver closed the player
            return;
        freeBytes -= written;
    }
}

void ZKPlayer::onStatsTick()
{
    size_t pictures = 0;
    double queuedSec = 0.0;
    bool eof = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        pictures = m_videoQueue.size();
        queuedSec = m_queuedAudioSec;
        eof = m_eof;
    }
    const qint64 procUs = m_output.playedUs();
    const int freeBytes = m_output.isOpen() ? int(m_output.bytesFree()) : -1;
    const int state = m_output.stateCode();
    // The raw clock, without the interpolation between the sink's steps.
    double clock = -99.0;
    if (m_output.clockValid())
        clock = m_output.rawClockSec();
    else if (m_wallTimer.isValid())
        clock = m_wallAnchorPts + m_wallTimer.elapsed() / 1000.0;
    blog(LOG_INFO,
         "[ZK统计] pos=%.2f clk=%.2f vq=%zu aq=%.2fs pend=%d eof=%d | sink: state=%d free=%d procUs=%lld aclk=%d "
         "expect=%.2f",
         m_lastPts, clock, pictures, queuedSec, int(m_pendingPcm.size()), int(eof), state, freeBytes,
         static_cast<long long>(procUs), int(m_output.clockValid()), m_expectedAudioPts);

    // A suspended sink does not consume: a long pause must not cost the
    // operator the monitor device. Judge again a full interval after resume.
    if (m_paused) {
        m_lastProcUs = -1;
        return;
    }
    const bool audioWaiting = !m_pendingPcm.isEmpty() || queuedSec > kWatchdogQueuedSec;
    if (m_output.clockValid() && audioWaiting && procUs == m_lastProcUs) {
        dropStalledDevice(procUs);
        return;
    }
    m_lastProcUs = procUs;
}

void ZKPlayer::dropStalledDevice(qint64 frozenUs)
{
    const QByteArray device = m_output.device();
    blog(LOG_WARNING, "[ZKPlayer] ⚠️ 音频设备 2 秒没消费任何数据(procUs 冻结在 %lld),弃用该设备,视频转墙钟继续播。设备=%s",
         static_cast<long long>(frozenUs), device.constData());
    teardownAudio();
    // Video goes on from the picture on screen.
    anchorWall(m_lastPts);
    m_lastProcUs = -1;
    emit stateChanged(State::SilentFallback);
}
