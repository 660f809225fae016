#include "decoder_ctx.h"

#include <obs-module.h>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/hwcontext.h>
}

#include <cerrno>
#include <algorithm>
#include <cmath>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kIoBufferSize = 262144;        // 256 KiB: few system calls while catching up
constexpr int64_t kProbeSize = 1048576;      // 1 MiB is enough for any recording header
constexpr int64_t kAnalyzeDuration = 2000000; // 2 s in AV_TIME_BASE units
// Pictures shown just before a key frame may be stored (in decode order)
// before it, at the end of the fragment before it too: a seek starts that
// far earlier, and the caller skips to the target.
constexpr double kReorderMarginSec = 0.5;
// A seek without an index has landed well when its first picture is no
// later than the target (a millisecond of rounding allowed); at most this
// many packets are read to find that picture.
constexpr double kLandingSlackSec = 0.001;
constexpr int kLandingPackets = 2000;

} // namespace

extern "C" enum AVPixelFormat zk_get_hw_format(AVCodecContext * /*ctx*/, const enum AVPixelFormat *formats)
{
    for (const enum AVPixelFormat *p = formats; *p != AV_PIX_FMT_NONE; ++p) {
        if (*p == AV_PIX_FMT_VIDEOTOOLBOX)
            return *p;
    }
    return formats[0];
}

QString DecoderCtx::openInput(const QString &path, std::atomic<bool> *abortFlag, std::atomic<bool> *followFlag,
                              bool videoOnly)
{
    closeAll();
    m_path = path;
    m_videoOnly = videoOnly;
    m_io.abortFlag = abortFlag;
    m_io.followFlag = followFlag;
    m_lastError = openFile(-1, -1);
    return m_lastError;
}

Mp4Fragments::Fragment DecoderCtx::fragmentFor(double seconds) const
{
    if (!m_fragmented || !m_fmt)
        return {};
    const AVStream *video = m_fmt->streams[m_videoIdx];
    const double decodeTime = std::max(0.0, seconds + m_videoShift - kReorderMarginSec);
    return Mp4Fragments::find(m_io.fd, uint32_t(video->id), std::llround(decodeTime / m_videoTb));
}

QString DecoderCtx::reopenAt(const Mp4Fragments::Fragment &fragment)
{
    closeAll();
    m_lastError = openFile(fragment.moovEnd, fragment.moofOffset);
    return m_lastError;
}

bool DecoderCtx::reopenAtFragment(double seconds)
{
    const Mp4Fragments::Fragment fragment = fragmentFor(seconds);
    return fragment.moofOffset >= 0 && reopenAt(fragment).isEmpty();
}

// Opens `path`; with a fragment given, the demuxer sees a 'free' box from
// the end of the 'moov' up to that fragment and starts there. Offsets in the
// file stay as they are, so every box keeps its meaning.
QString DecoderCtx::openFile(int64_t moovEnd, int64_t moofOffset)
{
    // Probing must see the header whole: a waiting seek does not cut it short.
    m_io.wakeFlag = nullptr;
    const QByteArray utf8 = m_path.toUtf8();
    m_io.fd = ::open(utf8.constData(), O_RDONLY);
    if (m_io.fd < 0)
        return QStringLiteral("打开文件失败: %1").arg(QString::fromLocal8Bit(strerror(errno)));
    m_io.pos = 0;
    m_io.eofLogged = false;
    m_io.overlayPos = -1;
    if (moovEnd >= 0 && moofOffset - moovEnd >= 16) {
        const uint64_t gap = uint64_t(moofOffset - moovEnd);
        const uint8_t box[16] = {0, 0, 0, 1, 'f', 'r', 'e', 'e', uint8_t(gap >> 56), uint8_t(gap >> 48),
                                 uint8_t(gap >> 40), uint8_t(gap >> 32), uint8_t(gap >> 24), uint8_t(gap >> 16),
                                 uint8_t(gap >> 8), uint8_t(gap)};
        memcpy(m_io.overlay, box, sizeof(box));
        m_io.overlayPos = moovEnd;
        m_io.overlayLen = int(sizeof(box));
    }
    m_fragmented = m_io.followFlag && m_io.followFlag->load() && Mp4Fragments::isFragmented(m_io.fd);
    m_io.fragmented = m_fragmented;

    auto *buffer = static_cast<unsigned char *>(av_malloc(kIoBufferSize));
    m_avio = buffer ? avio_alloc_context(buffer, kIoBufferSize, 0, &m_io, zk_io_read, nullptr, zk_io_seek) : nullptr;
    if (!m_avio) {
        av_free(buffer);
        return QStringLiteral("avio 分配失败");
    }
    m_avio->seekable = AVIO_SEEKABLE_NORMAL;

    m_fmt = avformat_alloc_context();
    if (!m_fmt)
        return QStringLiteral("解析文件失败: %1").arg(avErrStr(AVERROR(ENOMEM)));
    m_fmt->pb = m_avio;
    m_fmt->probesize = kProbeSize;
    m_fmt->max_analyze_duration = kAnalyzeDuration;
    if (m_fragmented)
        m_fmt->flags |= AVFMT_FLAG_IGNIDX;

    AVDictionary *options = nullptr;
    av_dict_set(&options, "err_detect", "ignore_err", 0);
    int ret = avformat_open_input(&m_fmt, utf8.constData(), nullptr, &options);
    av_dict_free(&options);
    if (ret < 0)
        return QStringLiteral("解析文件失败: %1").arg(avErrStr(ret)); // fmt is freed and nulled by FFmpeg
    m_fmt->flags |= AVFMT_FLAG_GENPTS;

    ret = avformat_find_stream_info(m_fmt, nullptr);
    if (ret < 0)
        return QStringLiteral("读取流信息失败: %1").arg(avErrStr(ret));

    m_videoIdx = av_find_best_stream(m_fmt, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    m_audioIdx = m_videoOnly ? -1 : av_find_best_stream(m_fmt, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (m_videoIdx < 0)
        return QStringLiteral("文件里没有视频流");

    AVStream *video = m_fmt->streams[m_videoIdx];
    m_videoTb = av_q2d(video->time_base);
    // Read from its start, a growing fragmented file shows its first
    // picture's reordering delay; a reopen at a later fragment keeps it.
    if (!m_fragmented || !Mp4Fragments::reindexedWhenFinished(m_io.fd))
        m_videoShift = 0.0;
    else if (moofOffset < 0 && video->start_time != AV_NOPTS_VALUE)
        m_videoShift = qBound(0.0, video->start_time * m_videoTb, 1.0);
    const AVRational rate = av_guess_frame_rate(m_fmt, video, nullptr);
    if (rate.num >= 1 && rate.den >= 1)
        m_fps = av_q2d(rate);

    const QString videoError = openVideoDecoder();
    if (!videoError.isEmpty())
        return videoError;
    if (m_audioIdx >= 0)
        openAudioDecoder();

    m_pkt = av_packet_alloc();
    m_frame = av_frame_alloc();
    m_swFrame = av_frame_alloc();
    if (!m_pkt || !m_frame || !m_swFrame)
        return QStringLiteral("视频解码器打开失败: %1").arg(avErrStr(AVERROR(ENOMEM)));
    m_io.wakeFlag = m_wakeFlag;
    return QString();
}

bool DecoderCtx::allocVideoContext(const AVCodec *codec)
{
    m_vctx = avcodec_alloc_context3(codec);
    if (!m_vctx)
        return false;
    if (avcodec_parameters_to_context(m_vctx, m_fmt->streams[m_videoIdx]->codecpar) < 0)
        return false;
    m_vctx->thread_count = 0; // the decoder picks its thread count
    m_vctx->pkt_timebase = m_fmt->streams[m_videoIdx]->time_base;
    return true;
}

QString DecoderCtx::openVideoDecoder()
{
    const AVCodec *codec = avcodec_find_decoder(m_fmt->streams[m_videoIdx]->codecpar->codec_id);
    if (!codec)
        return QStringLiteral("找不到视频解码器");

    const bool allocated = allocVideoContext(codec);
    if (allocated && av_hwdevice_ctx_create(&m_hwDevice, AV_HWDEVICE_TYPE_VIDEOTOOLBOX, nullptr, nullptr, 0) == 0) {
        m_vctx->hw_device_ctx = av_buffer_ref(m_hwDevice);
        m_vctx->get_format = zk_get_hw_format;
        blog(LOG_INFO, "[ZKPlayer] videotoolbox 硬解已启用");
    } else {
        blog(LOG_INFO, "[ZKPlayer] videotoolbox 不可用,软解");
    }
    if (allocated && avcodec_open2(m_vctx, codec, nullptr) == 0)
        return QString();

    // The hardware path refused this stream: a fresh software context.
    avcodec_free_context(&m_vctx);
    int ret = AVERROR(ENOMEM);
    if (allocVideoContext(codec))
        ret = avcodec_open2(m_vctx, codec, nullptr);
    if (ret != 0)
        return QStringLiteral("视频解码器打开失败: %1").arg(avErrStr(ret));
    blog(LOG_INFO, "[ZKPlayer] 已回退软解");
    return QString();
}

void DecoderCtx::openAudioDecoder()
{
    // Any failure here leaves the file without audio; it still plays.
    AVStream *audio = m_fmt->streams[m_audioIdx];
    m_audioTb = av_q2d(audio->time_base);
    const AVCodec *codec = avcodec_find_decoder(audio->codecpar->codec_id);
    if (!codec) {
        m_audioIdx = -1;
        return;
    }
    m_actx = avcodec_alloc_context3(codec);
    if (m_actx)
        m_actx->pkt_timebase = audio->time_base; // lets the decoder skip the encoder's priming samples
    if (!m_actx || avcodec_parameters_to_context(m_actx, audio->codecpar) < 0 ||
        avcodec_open2(m_actx, codec, nullptr) < 0) {
        avcodec_free_context(&m_actx);
        m_audioIdx = -1;
        return;
    }
    AVChannelLayout stereo = AV_CHANNEL_LAYOUT_STEREO;
    int ret = swr_alloc_set_opts2(&m_swr, &stereo, AV_SAMPLE_FMT_S16, Pcm::kSampleRate, &m_actx->ch_layout,
                                  m_actx->sample_fmt, m_actx->sample_rate, 0, nullptr);
    if (ret >= 0)
        ret = swr_init(m_swr);
    if (ret < 0) {
        swr_free(&m_swr);
        avcodec_free_context(&m_actx);
        m_audioIdx = -1;
    }
}

bool DecoderCtx::indexed(int64_t ts) const
{
    AVStream *video = m_fmt->streams[m_videoIdx];
    const int entries = avformat_index_get_entries_count(video);
    return entries > 0 && avformat_index_get_entry(video, 0)->timestamp <= ts &&
           ts <= avformat_index_get_entry(video, entries - 1)->timestamp;
}

bool DecoderCtx::seekTo(double seconds)
{
    if (!seekNear(seconds))
        return false;
    // Some demuxers (MPEG-TS, FLV) search the bytes or seek by decode time
    // and may land well after the target: from further back each time,
    // until the first picture is at or before it. MP4 and Matroska seek by
    // their index of key pictures and, with the margin, land before it. A
    // followed recording is not searched that way (its reads wait at the
    // live edge).
    if ((m_io.followFlag && m_io.followFlag->load()) || seeksByIndex())
        return true;
    for (double back = 0.0;; back = back > 0 ? 2 * back : 1.0) {
        const double from = std::max(0.0, seconds - back);
        if ((back > 0 && !seekNear(from)) || !m_fmt)
            return false;
        if (firstPictureTime() <= seconds + kLandingSlackSec)
            return seekNear(from);
        if (from <= 0.0) { // not even the start can be sought to: the file from its start
            closeAll();
            m_lastError = openFile(-1, -1);
            return m_lastError.isEmpty();
        }
    }
}

bool DecoderCtx::seeksByIndex() const
{
    const char *name = m_fmt->iformat->name;
    return strcmp(name, "mov,mp4,m4a,3gp,3g2,mj2") == 0 || strcmp(name, "matroska,webm") == 0;
}

double DecoderCtx::firstPictureTime()
{
    Packet kind;
    for (int packets = 0; packets < kLandingPackets && readPacket(kind) >= 0; ++packets) {
        if (kind != Packet::Video || !sendVideo())
            continue;
        bool timed = false;
        double pts = 0;
        while (receivePicture(timed, pts))
            if (timed)
                return pts;
    }
    return HUGE_VAL;
}

bool DecoderCtx::seekNear(double seconds)
{
    // Demuxers seek by decode time (FLV, MPEG-TS): a picture shown at the
    // target may be decoded before the key picture that comes just after
    // it; aiming earlier by the reordering margin keeps it.
    // Never before the first picture: there the demuxer knows no key picture.
    const AVStream *video = m_fmt->streams[m_videoIdx];
    int64_t ts = std::llround((seconds + m_videoShift - kReorderMarginSec) / m_videoTb);
    if (video->start_time != AV_NOPTS_VALUE)
        ts = std::max(ts, video->start_time);
    // Outside the fragments read so far the demuxer knows no seek point.
    if (m_fragmented && !indexed(ts) && (reopenAtFragment(seconds) || !m_fmt))
        return m_fmt != nullptr;
    // A read given up for this seek (AVERROR_EXIT) leaves the byte source
    // marked failed; the seek starts it afresh.
    m_fmt->pb->error = 0;
    int ret = av_seek_frame(m_fmt, m_videoIdx, ts, AVSEEK_FLAG_BACKWARD);
    if (ret < 0) {
        blog(LOG_WARNING, "[ZKPlayer] seek %.1fs 失败(%s),尝试 ANY", seconds, avErrStr(ret).toUtf8().constData());
        ret = av_seek_frame(m_fmt, m_videoIdx, ts, AVSEEK_FLAG_BACKWARD | AVSEEK_FLAG_ANY);
        if (ret < 0)
            return false;
    }
    flush();
    return true;
}

bool DecoderCtx::sendPacket(AVCodecContext *codec)
{
    const int ret = avcodec_send_packet(codec, m_pkt);
    if (ret == 0)
        return true;
    if (m_sendErrors.first(ret))
        blog(LOG_WARNING, "[ZKPlayer] %s 解码器拒收数据包: %s(同类错误只记一次)",
             codec == m_vctx ? "视频" : "音频", avErrStr(ret).toUtf8().constData());
    return false;
}

int DecoderCtx::readPacket(Packet &kind)
{
    av_packet_unref(m_pkt);
    const int ret = av_read_frame(m_fmt, m_pkt);
    kind = Packet::Other;
    if (ret >= 0 && m_pkt->stream_index == m_videoIdx)
        kind = Packet::Video;
    else if (ret >= 0 && m_pkt->stream_index == m_audioIdx && m_actx)
        kind = Packet::Audio;
    return ret;
}

void DecoderCtx::endOfStream()
{
    av_packet_unref(m_pkt); // an empty packet means "end of stream"
}

void DecoderCtx::flush()
{
    avcodec_flush_buffers(m_vctx);
    if (m_actx)
        avcodec_flush_buffers(m_actx);
}

const AVFrame *DecoderCtx::receivePicture(bool &timed, double &pts)
{
    // Anything but a frame ("again", end of stream, an error) means no more
    // output for this packet.
    for (;;) {
        av_frame_unref(m_frame);
        if (avcodec_receive_frame(m_vctx, m_frame) != 0)
            return nullptr;
        const int64_t ts = m_frame->best_effort_timestamp;
        timed = ts != AV_NOPTS_VALUE;
        pts = timed ? ts * m_videoTb - m_videoShift : 0.0;
        if (m_frame->format != AV_PIX_FMT_VIDEOTOOLBOX)
            return m_frame;
        av_frame_unref(m_swFrame);
        if (av_hwframe_transfer_data(m_swFrame, m_frame, 0) == 0)
            return m_swFrame;
    }
}

bool DecoderCtx::receiveSound(QByteArray &pcm, bool &timed, double &pts)
{
    while (avcodec_receive_frame(m_actx, m_frame) == 0) {
        const int64_t ts = m_frame->best_effort_timestamp;
        const int capacity = swr_get_out_samples(m_swr, m_frame->nb_samples);
        pcm.resize(qMax(capacity, 0) * Pcm::kBytesPerFrame);
        uint8_t *out[1] = {reinterpret_cast<uint8_t *>(pcm.data())};
        const auto *in = const_cast<const uint8_t **>(m_frame->extended_data);
        const int n = capacity > 0 ? swr_convert(m_swr, out, capacity, in, m_frame->nb_samples) : 0;
        av_frame_unref(m_frame);
        if (n <= 0)
            continue;
        pcm.truncate(n * Pcm::kBytesPerFrame);
        timed = ts != AV_NOPTS_VALUE;
        pts = timed ? ts * m_audioTb : 0.0;
        return true;
    }
    return false;
}

int64_t DecoderCtx::rewindTo(int64_t offset)
{
    return avio_seek(m_fmt->pb, offset, SEEK_SET);
}

double DecoderCtx::durationSec() const
{
    // Positions are the file's own times: in a file whose times start late
    // (MPEG-TS at 1.4 s) the last picture is at its start plus its length.
    if (!m_fmt || m_fmt->duration <= 0)
        return 0.0;
    const int64_t start = m_fmt->start_time != AV_NOPTS_VALUE ? qMax<int64_t>(m_fmt->start_time, 0) : 0;
    return (start + m_fmt->duration) / double(AV_TIME_BASE);
}

const AVStream *DecoderCtx::stream(Packet kind) const
{
    const int index = kind == Packet::Video ? m_videoIdx : kind == Packet::Audio ? m_audioIdx : -1;
    return m_fmt && index >= 0 ? m_fmt->streams[index] : nullptr;
}

DecoderCtx::PacketTimes DecoderCtx::packetTimes(Packet kind) const
{
    PacketTimes times;
    const double tb = kind == Packet::Video ? m_videoTb : m_audioTb;
    const double shift = kind == Packet::Video ? m_videoShift : 0.0;
    if (kind == Packet::Other || m_pkt->pts == AV_NOPTS_VALUE)
        return times;
    times.pts = m_pkt->pts * tb - shift;
    times.end = (m_pkt->pts + qMax<int64_t>(m_pkt->duration, 0)) * tb - shift;
    times.key = (m_pkt->flags & AV_PKT_FLAG_KEY) != 0;
    return times;
}

int64_t DecoderCtx::streamTime(Packet kind, double seconds) const
{
    return kind == Packet::Video ? std::llround((seconds + m_videoShift) / m_videoTb)
                                 : std::llround(seconds / m_audioTb);
}

int64_t DecoderCtx::videoBitRate() const
{
    if (!m_fmt)
        return 0;
    const int64_t stated = m_fmt->streams[m_videoIdx]->codecpar->bit_rate;
    return stated > 0 ? stated : qMax<int64_t>(m_fmt->bit_rate, 0);
}

int64_t DecoderCtx::fileSize() const
{
    struct stat sb;
    return m_io.fd >= 0 && fstat(m_io.fd, &sb) == 0 ? int64_t(sb.st_size) : -1;
}

void DecoderCtx::closeAll()
{
    av_frame_free(&m_swFrame);
    av_frame_free(&m_frame);
    av_packet_free(&m_pkt);
    swr_free(&m_swr);
    avcodec_free_context(&m_vctx);
    avcodec_free_context(&m_actx);
    av_buffer_unref(&m_hwDevice);
    avformat_close_input(&m_fmt);
    // The demuxer does not own a custom byte source; the library may have
    // swapped its buffer, so free the current one.
    if (m_avio) {
        av_freep(&m_avio->buffer);
        avio_context_free(&m_avio);
    }
    if (m_io.fd >= 0) {
        ::close(m_io.fd);
        m_io.fd = -1;
    }
    m_audioIdx = -1;
    m_videoIdx = -1;
}
