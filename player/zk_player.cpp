// ZKPlayer: construction, the control operations (open, seek, close,
// following), the audio output through a push-mode QAudioSink, and the
// statistics tick with its audio-device watchdog.

#include "zk_player.h"

#include "zk_media.h"

#include <obs-module.h>

#include <QAudioDevice>
#include <QAudioFormat>
#include <QAudioSink>
#include <QFileInfo>
#include <QMediaDevices>
#include <QTimer>

namespace {

constexpr int kSinkBufferBytes = Pcm::kBytesPerSecond / 4; // 0.25 s
constexpr double kAudioJumpSec = 0.3;        // larger gaps between chunks re-anchor the clock
// Less than this queued (and nothing half-written) is a drained queue, not
// audio the device should be playing.
constexpr double kWatchdogQueuedSec = 0.05;
// Without a device, audio leaves when its time is this close on the clock
// (about one 15 ms tick ahead, as a device's buffer would take it).
constexpr double kSilentLeadSec = 0.02;
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
    return m_sink ? m_sink->property("zk_device_id").toByteArray() : QByteArray();
}

double ZKPlayer::outputVolume() const
{
    return m_sink ? m_sink->volume() : 0.0;
}

qint64 ZKPlayer::soundPlayedUs() const
{
    return m_sink ? m_sink->processedUSecs() : 0;
}

ZKPlayer::ZKPlayer(QObject *parent) : QObject(parent)
{
    m_paceTimer = makeTimer(this, 8, Qt::PreciseTimer);
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
    m_paceTimer->start();
    m_audioTimer->start();
    m_statsTimer->start();
    m_paused = false;
    emit stateChanged(followLive ? State::Following : State::Playing);
}

void ZKPlayer::seek(double seconds)
{
    if (m_running)
        requestSeek(seconds);
}

bool ZKPlayer::requestSeek(double seconds, bool sameFileOpen)
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
        m_eof = false;
        // From now on nothing from before the seek leaves the player: the
        // picture on screen stays until the first one at the target.
        m_seekPending = true;
        clearQueues();
    }
    m_pendingPcm.clear();
    m_cv.notify_all();
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
        m_seekPending = false;
    }
    m_paused = false;
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
    QAudioDevice device = QMediaDevices::defaultAudioOutput();
    if (!m_audioDeviceId.isEmpty()) {
        for (const QAudioDevice &candidate : QMediaDevices::audioOutputs()) {
            if (candidate.id() == m_audioDeviceId) {
                device = candidate;
                break;
            }
        }
    }
    const QByteArray description = device.description().toUtf8();
    if (m_sink && m_sink->property("zk_device_id").toByteArray() == device.id()) {
        m_pendingPcm.clear();
        m_audioClockValid = false;
        blog(LOG_INFO, "[ZKPlayer] 复用 QAudioSink(零 CoreAudio 调用): %s", description.constData());
        return;
    }
    blog(LOG_INFO, "[ZKPlayer] CoreAudio 操作开始: 销毁旧 sink");
    teardownAudio();

    QAudioFormat format;
    format.setSampleRate(Pcm::kSampleRate);
    format.setChannelCount(Pcm::kChannels);
    format.setSampleFormat(QAudioFormat::Int16);
    blog(LOG_INFO, "[ZKPlayer] CoreAudio 操作: 新建 QAudioSink: %s", description.constData());
    m_sink = new QAudioSink(device, format, this);
    m_sink->setProperty("zk_device_id", device.id());
    applySinkVolume();
    m_sink->setBufferSize(kSinkBufferBytes);
    m_sinkIo = m_sink->start();
    m_lastProcUs = -1; // a new device is judged over two full intervals
    blog(LOG_INFO, "[ZKPlayer] CoreAudio 操作完成 (io=%p)", static_cast<void *>(m_sinkIo));
    if (!m_sinkIo) {
        blog(LOG_ERROR, "[ZKPlayer] QAudioSink 启动失败,走无声+墙钟模式");
        delete m_sink;
        m_sink = nullptr;
    }
    m_pendingPcm.clear();
    m_audioClockValid = false;
}

void ZKPlayer::teardownAudio()
{
    m_pendingPcm.clear();
    m_audioClockValid = false;
    if (!m_sink)
        return;
    blog(LOG_INFO, "[ZKPlayer] CoreAudio 操作开始: stop+delete sink");
    QAudioSink *sink = m_sink;
    m_sink = nullptr;
    m_sinkIo = nullptr;
    // Drop what the sink still holds first: stopping drains it, and a
    // device that stopped consuming (a stalled or suspended PulseAudio
    // sink under Qt 6.8) never drains, so stop() alone blocks this thread
    // for 30 s. What is dropped is at most the sink's buffer (0.25 s).
    sink->reset();
    sink->stop();
    delete sink;
    blog(LOG_INFO, "[ZKPlayer] CoreAudio 操作完成: sink 已销毁");
}

void ZKPlayer::applySinkVolume()
{
    if (m_sink)
        m_sink->setVolume(m_muted ? 0.0 : m_volume / 100.0);
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
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_seekPending || m_audioQueue.empty())
                break;
            const AudioChunk &head = m_audioQueue.front();
            if (!hasMasterClock()) {
                m_wallAnchorPts = head.pts;
                m_wallTimer.start();
            }
            const double clock = masterClockSec();
            if (head.pts > clock + kSilentLeadSec && head.pts <= clock + kSilentJumpSec)
                break;
            chunk = std::move(m_audioQueue.front());
            m_audioQueue.pop_front();
            m_queuedAudioSec = qMax(0.0, m_queuedAudioSec - Pcm::seconds(chunk.pcm.size()));
        }
        m_cv.notify_all();
        emit audioData(chunk.pcm);
        if (m_sink || m_paused) // a receiver changed the player
            return;
    }
}

void ZKPlayer::anchorAudioClock(double pts)
{
    // Bytes already buffered in the sink play before this chunk.
    const double latency = qMax(0.0, Pcm::seconds(m_sink->bufferSize() - m_sink->bytesFree()));
    m_audioAnchorPts = pts - latency;
    m_audioAnchorUs = m_sink->processedUSecs();
    m_audioClockValid = true;
    // Only a sink that had run dry leaps (see masterClockSec).
    if (latency > 0)
        m_sinceDryAnchor.invalidate();
    else
        m_sinceDryAnchor.start();
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
    if (!m_audioClockValid) {
        anchorAudioClock(chunk.pts);
    } else if (m_expectedAudioPts >= 0 && qAbs(chunk.pts - m_expectedAudioPts) > kAudioJumpSec) {
        anchorAudioClock(chunk.pts);
        m_lastProcDelta = -1;
        m_procStepTimer.invalidate();
        blog(LOG_INFO, "[ZKPlayer] 音频不连续(预期 %.2f 实际 %.2f),时钟重锚", m_expectedAudioPts, chunk.pts);
    }
    m_expectedAudioPts = chunk.pts + duration;
    m_pendingPcm = std::move(chunk.pcm);
    return true;
}

void ZKPlayer::dropSoundWhileSlow()
{
    // Slowed sound is not played: each block leaves unheard once its time
    // has passed, so that the sound at 1x again starts where the pictures are.
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_seekPending || !hasMasterClock())
            return;
        const double clock = masterClockSec();
        while (!m_audioQueue.empty()) {
            const AudioChunk &head = m_audioQueue.front();
            const double length = Pcm::seconds(head.pcm.size());
            if (head.pts + length > clock)
                break;
            m_queuedAudioSec = qMax(0.0, m_queuedAudioSec - length);
            m_audioQueue.pop_front();
        }
    }
    m_cv.notify_all();
}

void ZKPlayer::onAudioTick()
{
    if (m_paused)
        return;
    applyClockReset();
    if (m_speed < 1.0) {
        dropSoundWhileSlow();
        return;
    }
    if (!m_sink || !m_sinkIo) {
        paceAudioSilently();
        return;
    }
    qint64 freeBytes = m_sink->bytesFree();
    while (freeBytes >= 1) {
        if (m_pendingPcm.isEmpty() && !fetchAudioChunk())
            return;
        const qint64 want = qMin<qint64>(freeBytes, m_pendingPcm.size());
        const qint64 written = m_sinkIo->write(m_pendingPcm.constData(), want);
        if (written < 1)
            return;
        const QByteArray accepted = m_pendingPcm.left(written);
        m_pendingPcm.remove(0, written);
        emit audioData(accepted);
        if (!m_sinkIo) // a receiver closed the player
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
    const qint64 procUs = m_sink ? m_sink->processedUSecs() : -1;
    const int freeBytes = m_sink ? int(m_sink->bytesFree()) : -1;
    const int state = m_sink ? int(m_sink->state()) : -1;
    // The raw clock, without the interpolation between the sink's steps.
    double clock = -99.0;
    if (m_audioClockValid && m_sink)
        clock = m_audioAnchorPts + (procUs - m_audioAnchorUs) / 1000000.0;
    else if (m_wallTimer.isValid())
        clock = m_wallAnchorPts + m_wallTimer.elapsed() / 1000.0;
    blog(LOG_INFO,
         "[ZK统计] pos=%.2f clk=%.2f vq=%zu aq=%.2fs pend=%d eof=%d | sink: state=%d free=%d procUs=%lld aclk=%d "
         "expect=%.2f",
         m_lastPts, clock, pictures, queuedSec, int(m_pendingPcm.size()), int(eof), state, freeBytes,
         static_cast<long long>(procUs), int(m_audioClockValid), m_expectedAudioPts);

    // A suspended sink does not consume: a long pause must not cost the
    // operator the monitor device. Judge again a full interval after resume.
    if (m_paused) {
        m_lastProcUs = -1;
        return;
    }
    const bool audioWaiting = !m_pendingPcm.isEmpty() || queuedSec > kWatchdogQueuedSec;
    if (m_sink && m_audioClockValid && audioWaiting && procUs == m_lastProcUs) {
        dropStalledDevice(procUs);
        return;
    }
    m_lastProcUs = procUs;
}

void ZKPlayer::dropStalledDevice(qint64 frozenUs)
{
    const QByteArray device = m_sink->property("zk_device_id").toByteArray();
    blog(LOG_WARNING, "[ZKPlayer] ⚠️ 音频设备 2 秒没消费任何数据(procUs 冻结在 %lld),弃用该设备,视频转墙钟继续播。设备=%s",
         static_cast<long long>(frozenUs), device.constData());
    teardownAudio();
    // Video goes on from the picture on screen.
    m_wallAnchorPts = m_lastPts;
    m_wallTimer.restart();
    m_lastProcUs = -1;
    emit stateChanged(State::SilentFallback);
}
