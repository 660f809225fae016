#include "audio_output.h"

#include "zk_media.h"

#include <obs-module.h>

#include <QAudioDevice>
#include <QAudioFormat>
#include <QAudioSink>
#include <QMediaDevices>
#include <QVariant>

namespace {

constexpr int kSinkBufferBytes = Pcm::kBytesPerSecond / 4; // 0.25 s
// See the header: how far past the sink's last step the clock may run.
constexpr double kMaxStepSec = 0.6;
// A sink that had run dry (an underrun, say at the end of a file's sound
// before a loop) reports its count leaping ahead by what was just written
// once sound comes again, then standing until the device catches up: for
// the first second after anchoring on a dry sink the clock runs no faster
// than the wall time since (with 20 ms of slack for the count's steps).
constexpr qint64 kAnchorSettleMs = 1000;
constexpr qint64 kAnchorSlackUs = 20000;

} // namespace

AudioOutput::~AudioOutput()
{
    close();
}

bool AudioOutput::open(const QByteArray &deviceId, double level)
{
    QAudioDevice device = QMediaDevices::defaultAudioOutput();
    if (!deviceId.isEmpty()) {
        for (const QAudioDevice &candidate : QMediaDevices::audioOutputs()) {
            if (candidate.id() == deviceId) {
                device = candidate;
                break;
            }
        }
    }
    const QByteArray description = device.description().toUtf8();
    if (m_sink && m_sink->property("zk_device_id").toByteArray() == device.id()) {
        m_valid = false;
        m_sink->setVolume(level);
        blog(LOG_INFO, "[ZKPlayer] 复用 QAudioSink(零 CoreAudio 调用): %s", description.constData());
        return true;
    }
    blog(LOG_INFO, "[ZKPlayer] CoreAudio 操作开始: 销毁旧 sink");
    close();

    QAudioFormat format;
    format.setSampleRate(Pcm::kSampleRate);
    format.setChannelCount(Pcm::kChannels);
    format.setSampleFormat(QAudioFormat::Int16);
    blog(LOG_INFO, "[ZKPlayer] CoreAudio 操作: 新建 QAudioSink: %s", description.constData());
    m_sink = new QAudioSink(device, format);
    m_sink->setProperty("zk_device_id", device.id());
    m_sink->setVolume(level);
    m_sink->setBufferSize(kSinkBufferBytes);
    m_io = m_sink->start();
    blog(LOG_INFO, "[ZKPlayer] CoreAudio 操作完成 (io=%p)", static_cast<void *>(m_io));
    m_valid = false;
    if (!m_io) {
        blog(LOG_ERROR, "[ZKPlayer] QAudioSink 启动失败,走无声+墙钟模式");
        delete m_sink;
        m_sink = nullptr;
        return false;
    }
    return true;
}

void AudioOutput::close()
{
    m_valid = false;
    if (!m_sink)
        return;
    blog(LOG_INFO, "[ZKPlayer] CoreAudio 操作开始: stop+delete sink");
    QAudioSink *sink = m_sink;
    m_sink = nullptr;
    m_io = nullptr;
    // Drop what the sink still holds first: stopping drains it, and a
    // device that stopped consuming (a stalled or suspended PulseAudio
    // sink under Qt 6.8) never drains, so stop() alone blocks this thread
    // for 30 s. What is dropped is at most the sink's buffer (0.25 s).
    sink->reset();
    sink->stop();
    delete sink;
    blog(LOG_INFO, "[ZKPlayer] CoreAudio 操作完成: sink 已销毁");
}

QByteArray AudioOutput::device() const
{
    return m_sink ? m_sink->property("zk_device_id").toByteArray() : QByteArray();
}

void AudioOutput::setLevel(double level)
{
    if (m_sink)
        m_sink->setVolume(level);
}

double AudioOutput::level() const
{
    return m_sink ? m_sink->volume() : 0.0;
}

void AudioOutput::suspend()
{
    if (m_sink)
        m_sink->suspend();
}

void AudioOutput::resume()
{
    if (m_sink)
        m_sink->resume();
}

qint64 AudioOutput::bytesFree() const
{
    return m_io ? m_sink->bytesFree() : 0;
}

qint64 AudioOutput::write(const char *data, qint64 size)
{
    return m_io ? m_io->write(data, size) : -1;
}

qint64 AudioOutput::playedUs() const
{
    return m_sink ? m_sink->processedUSecs() : -1;
}

int AudioOutput::stateCode() const
{
    return m_sink ? int(m_sink->state()) : -1;
}

void AudioOutput::anchor(double pts)
{
    if (!m_sink)
        return;
    // Bytes already buffered in the sink play before this chunk.
    const double latency = qMax(0.0, Pcm::seconds(m_sink->bufferSize() - m_sink->bytesFree()));
    m_anchorPts = pts - latency;
    m_anchorUs = m_sink->processedUSecs();
    m_valid = true;
    m_lastDelta = -1;
    m_stepTimer.invalidate();
    // Only a sink that had run dry leaps (see kAnchorSettleMs).
    if (latency > 0)
        m_sinceDryAnchor.invalidate();
    else
        m_sinceDryAnchor.start();
}

void AudioOutput::invalidateClock()
{
    m_valid = false;
    m_lastDelta = -1;
    m_stepTimer.invalidate();
}

double AudioOutput::rawClockSec() const
{
    return m_anchorPts + (playedUs() - m_anchorUs) / 1000000.0;
}

double AudioOutput::clockSec(bool soundRanOut)
{
    qint64 delta = m_sink->processedUSecs() - m_anchorUs;
    if (m_sinceDryAnchor.isValid() && m_sinceDryAnchor.elapsed() < kAnchorSettleMs)
        delta = qMin(delta, m_sinceDryAnchor.nsecsElapsed() / 1000 + kAnchorSlackUs);
    const double clock = m_anchorPts + delta / 1000000.0;
    if (delta != m_lastDelta) {
        m_lastDelta = delta;
        m_lastClock = clock;
        m_stepTimer.restart();
        return clock;
    }
    if (!m_stepTimer.isValid())
        return clock;
    const double sinceStep = m_stepTimer.elapsed() / 1000.0;
    if (soundRanOut)
        return m_lastClock + sinceStep;
    return m_lastClock + qMin(sinceStep, kMaxStepSec);
}
