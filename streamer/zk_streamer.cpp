#include "zk_streamer.h"

#include "stream_ctx.h"

#include <obs-module.h>

#include <QElapsedTimer>
#include <QRegularExpression>

#include <chrono>

namespace {

using std::chrono::milliseconds;

constexpr size_t kMaxFrames = 8;
constexpr int kMaxAudioBytes = 384000;     // 2 s
constexpr int kBlockBytes = 4096;          // 1024 samples, one AAC frame
constexpr int kBlockSamples = 1024;
constexpr int kBacklogBytes = 76800;       // 0.4 s waiting at encode time is a backlog
constexpr int kBacklogKeep = 8192;
constexpr qint64 kSilenceLagSamples = 7200; // 150 ms behind the clock with no audio: send silence
constexpr qint64 kAudioOffsetSamples = 11520; // 240 ms
constexpr qint64 kRepeatMs = 250;
constexpr qint64 kStatsWindowMs = 1000;
constexpr int kRetrySteps = 20;            // 20 x 100 ms

const QString kConnecting = QStringLiteral("连接中…");
const QString kStreaming = QStringLiteral("推流中");
const QString kRetry = QStringLiteral("连接失败,2 秒后重试: ");
const QString kDisconnected = QStringLiteral("已断开,重连中…");
const QString kStopped = QStringLiteral("已停止");

} // namespace

ZKStreamer::ZKStreamer(QObject *parent) : QObject(parent) {}

ZKStreamer::~ZKStreamer()
{
    stop();
}

QString ZKStreamer::maskedUrl(const QString &url)
{
    // scheme://host[:port]/app/KEY?query -> scheme://host[:port]/app/****
    QString masked = url;
    const int query = masked.indexOf('?');
    if (query >= 0)
        masked.truncate(query);
    const int authority = masked.indexOf(QLatin1String("://"));
    const int pathStart = masked.indexOf('/', authority < 0 ? 0 : authority + 3);
    const int lastSlash = masked.lastIndexOf('/');
    if (pathStart >= 0 && lastSlash > pathStart && lastSlash + 1 < masked.size())
        masked = masked.left(lastSlash + 1) + QStringLiteral("****");
    else if (query >= 0)
        masked += QStringLiteral("?****");
    return masked;
}

void ZKStreamer::start(const QString &url, int kbps)
{
    stop();
    m_url = url;
    m_kbps = kbps;
    m_stopRequested = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_frames.clear();
        m_audio.clear();
        m_droppedFrames = 0;
    }
    m_running = true;
    m_thread = std::thread(&ZKStreamer::workerLoop, this);
    blog(LOG_INFO, "[ZKStreamer] 启动推流: %s @ %dkbps", maskedUrl(url).toUtf8().constData(), kbps);
}

void ZKStreamer::stop()
{
    m_stopRequested = true;
    m_cv.notify_all();
    if (m_thread.joinable())
        m_thread.join();
    m_running = false;
    m_stopRequested = false;
}

void ZKStreamer::pushFrame(const QImage &frame)
{
    if (!m_running || frame.isNull())
        return;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_frames.size() >= kMaxFrames) {
            m_frames.pop_front();
            ++m_droppedFrames;
        }
        m_frames.push_back(frame);
    }
    m_cv.notify_all();
}

void ZKStreamer::pushAudio(const QByteArray &pcm)
{
    if (!m_running || pcm.isEmpty())
        return;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_audio.append(pcm);
        if (m_audio.size() > kMaxAudioBytes)
            m_audio.remove(0, m_audio.size() - kMaxAudioBytes);
    }
    m_cv.notify_all();
}

void ZKStreamer::sleepUnlessStopped()
{
    for (int i = 0; i < kRetrySteps && !m_stopRequested; ++i)
        std::this_thread::sleep_for(milliseconds(100));
}

void ZKStreamer::workerLoop()
{
    QElapsedTimer clock;
    clock.start();
    m_lastPicture = QImage();
    m_silence = QByteArray(kBlockBytes, '\0');
    emit stateChanged(kConnecting);
    while (!m_stopRequested) {
        StreamCtx ctx;
        const QString error = ctx.open(m_url, m_kbps);
        if (!error.isEmpty()) {
            blog(LOG_WARNING, "[ZKStreamer] %s", error.toUtf8().constData());
            emit stateChanged(kRetry + error);
            sleepUnlessStopped();
            continue;
        }
        emit stateChanged(kStreaming);
        blog(LOG_INFO, "[ZKStreamer] RTMP 已连接");
        {
            // Input that arrived while connecting is stale.
            std::lock_guard<std::mutex> lock(m_mutex);
            m_audio.clear();
            m_frames.clear();
        }
        Connection conn;
        conn.startMs = clock.elapsed();
        while (!m_stopRequested && !conn.failed)
            stream(ctx, clock.elapsed(), conn);
        if (conn.failed && !m_stopRequested) {
            blog(LOG_WARNING, "[ZKStreamer] 推流断开,2 秒后自动重连");
            emit stateChanged(kDisconnected);
            emit statsUpdated(0);
            ctx.closeAll();
            sleepUnlessStopped();
        }
    }
    qint64 dropped = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        dropped = m_droppedFrames;
    }
    m_running = false;
    emit stateChanged(kStopped);
    emit statsUpdated(0);
    blog(LOG_INFO, "[ZKStreamer] 推流线程退出(丢帧 %lld)", static_cast<long long>(dropped));
}

void ZKStreamer::stream(StreamCtx &ctx, qint64 nowMs, Connection &conn)
{
    const qint64 t = nowMs - conn.startMs;
    sendAudio(ctx, t, conn);
    sendPicture(ctx, t, conn);
    reportStats(ctx, t, conn);
    std::unique_lock<std::mutex> lock(m_mutex);
    m_cv.wait_for(lock, milliseconds(5));
}

void ZKStreamer::sendAudio(StreamCtx &ctx, qint64 t, Connection &conn)
{
    const qint64 target = t * 48000 / 1000;
    while (conn.samplesSent + kBlockSamples <= target && !conn.failed) {
        QByteArray block;
        int cutBytes = 0;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_audio.size() > kBacklogBytes) {
                cutBytes = m_audio.size() - kBacklogKeep;
                cutBytes -= cutBytes % 4;
                m_audio.remove(0, cutBytes);
            }
            if (m_audio.size() >= kBlockBytes) {
                block = m_audio.left(kBlockBytes);
                m_audio.remove(0, kBlockBytes);
            }
        }
        if (cutBytes > 0)
            blog(LOG_WARNING, "[ZKStreamer] 音频积压,丢弃 %d 字节重新对齐", cutBytes);
        // Nothing waiting and not yet 150 ms behind: wait for real audio.
        if (block.isEmpty() && target - conn.samplesSent < kSilenceLagSamples)
            return;
        const QByteArray &pcm = block.isEmpty() ? m_silence : block;
        if (av_frame_make_writable(ctx.aframe) < 0)
            return;
        const uint8_t *in[1] = {reinterpret_cast<const uint8_t *>(pcm.constData())};
        swr_convert(ctx.swr, ctx.aframe->data, kBlockSamples, in, kBlockSamples);
        ctx.aframe->pts = conn.samplesSent + kAudioOffsetSamples;
        if (ctx.encodeWrite(ctx.actx, ctx.aframe, ctx.ast) < 0)
            conn.failed = true;
        conn.samplesSent += kBlockSamples;
    }
}

void ZKStreamer::sendPicture(StreamCtx &ctx, qint64 t, Connection &conn)
{
    QImage picture;
    bool fresh = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_frames.empty()) {
            picture = std::move(m_frames.front());
            m_frames.pop_front();
            fresh = true;
        }
    }
    // Starved: repeat the last picture so the stream never stands still.
    if (!fresh && !m_lastPicture.isNull() && t - conn.lastPictureMs >= kRepeatMs)
        picture = m_lastPicture;
    if (picture.isNull() || t <= conn.lastPictureMs || conn.failed)
        return; // at most one picture per millisecond of stream time
    if (fresh)
        m_lastPicture = picture;
    const int result = encodePicture(ctx, picture, t);
    if (result == 0)
        return;
    if (result < 0)
        conn.failed = true;
    conn.lastPictureMs = t;
}

int ZKStreamer::encodePicture(StreamCtx &ctx, const QImage &picture, qint64 t)
{
    const QImage rgb = picture.format() == QImage::Format_RGB32 ? picture : picture.convertToFormat(QImage::Format_RGB32);
    // Stretched to fill the frame, whatever the picture's aspect ratio.
    ctx.sws = sws_getCachedContext(ctx.sws, rgb.width(), rgb.height(), AV_PIX_FMT_BGRA, ctx.vframe->width,
                                   ctx.vframe->height, AV_PIX_FMT_NV12, SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (!ctx.sws || av_frame_make_writable(ctx.vframe) < 0)
        return 0;
    const uint8_t *src[1] = {rgb.constBits()};
    const int stride[1] = {int(rgb.bytesPerLine())};
    sws_scale(ctx.sws, src, stride, 0, rgb.height(), ctx.vframe->data, ctx.vframe->linesize);
    ctx.vframe->pts = t;
    return ctx.encodeWrite(ctx.vctx, ctx.vframe, ctx.vst) < 0 ? -1 : 1;
}

void ZKStreamer::reportStats(StreamCtx &ctx, qint64 t, Connection &conn)
{
    if (t - conn.windowStartMs < kStatsWindowMs)
        return;
    if (conn.windowStartMs > 0)
        emit statsUpdated(int((ctx.bytesSent - conn.windowBytes) * 8 / (t - conn.windowStartMs)));
    conn.windowStartMs = t;
    conn.windowBytes = ctx.bytesSent;
}
