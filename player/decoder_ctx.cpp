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
#include <unistd.h>

namespace {

constexpr int kIoBufferSize = 262144;        // 256 KiB: few system calls while catching up
constexpr int64_t kProbeSize = 1048576;      // 1 MiB is enough for any recording header
constexpr int64_t kAnalyzeDuration = 2000000; // 2 s in AV_TIME_BASE units
// Pictures shown just before a fragment's first key frame are stored (in
// decode order) at the end of the fragment before it: start that far
// earlier, and let the caller skip to the target.
constexpr double kReorderMarginSec = 0.5;

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
    this->path = path;
    this->videoOnly = videoOnly;
    io.abortFlag = abortFlag;
    io.followFlag = followFlag;
    lastError = openFile(-1, -1);
    return lastError;
}

Mp4Fragments::Fragment DecoderCtx::fragmentFor(double seconds) const
{
    if (!fragmented || !fmt)
        return {};
    const AVStream *video = fmt->streams[videoIdx];
    const double decodeTime = std::max(0.0, seconds - kReorderMarginSec);
    return Mp4Fragments::find(io.fd, uint32_t(video->id), std::llround(decodeTime / videoTb));
}

QString DecoderCtx::reopenAt(const Mp4Fragments::Fragment &fragment)
{
    closeAll();
    lastError = openFile(fragment.moovEnd, fragment.moofOffset);
    return lastError;
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
    const QByteArray utf8 = path.toUtf8();
    io.fd = ::open(utf8.constData(), O_RDONLY);
    if (io.fd < 0)
        return QStringLiteral("打开文件失败: %1").arg(QString::fromLocal8Bit(strerror(errno)));
    io.pos = 0;
    io.eofLogged = false;
    io.overlayPos = -1;
    if (moovEnd >= 0 && moofOffset - moovEnd >= 16) {
        const uint64_t gap = uint64_t(moofOffset - moovEnd);
        const uint8_t box[16] = {0, 0, 0, 1, 'f', 'r', 'e', 'e', uint8_t(gap >> 56), uint8_t(gap >> 48),
                                 uint8_t(gap >> 40), uint8_t(gap >> 32), uint8_t(gap >> 24), uint8_t(gap >> 16),
                                 uint8_t(gap >> 8), uint8_t(gap)};
        memcpy(io.overlay, box, sizeof(box));
        io.overlayPos = moovEnd;
        io.overlayLen = int(sizeof(box));
    }
    fragmented = io.followFlag && io.followFlag->load() && Mp4Fragments::isFragmented(io.fd);

    auto *buffer = static_cast<unsigned char *>(av_malloc(kIoBufferSize));
    avio = buffer ? avio_alloc_context(buffer, kIoBufferSize, 0, &io, zk_io_read, nullptr, zk_io_seek) : nullptr;
    if (!avio) {
        av_free(buffer);
        return QStringLiteral("avio 分配失败");
    }
    avio->seekable = AVIO_SEEKABLE_NORMAL;

    fmt = avformat_alloc_context();
    if (!fmt)
        return QStringLiteral("解析文件失败: %1").arg(avErrStr(AVERROR(ENOMEM)));
    fmt->pb = avio;
    fmt->probesize = kProbeSize;
    fmt->max_analyze_duration = kAnalyzeDuration;
    if (fragmented)
        fmt->flags |= AVFMT_FLAG_IGNIDX;

    AVDictionary *options = nullptr;
    av_dict_set(&options, "err_detect", "ignore_err", 0);
    int ret = avformat_open_input(&fmt, utf8.constData(), nullptr, &options);
    av_dict_free(&options);
    if (ret < 0)
        return QStringLiteral("解析文件失败: %1").arg(avErrStr(ret)); // fmt is freed and nulled by FFmpeg
    fmt->flags |= AVFMT_FLAG_GENPTS;

    ret = avformat_find_stream_info(fmt, nullptr);
    if (ret < 0)
        return QStringLiteral("读取流信息失败: %1").arg(avErrStr(ret));

    videoIdx = av_find_best_stream(fmt, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    audioIdx = videoOnly ? -1 : av_find_best_stream(fmt, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (videoIdx < 0)
        return QStringLiteral("文件里没有视频流");

    AVStream *video = fmt->streams[videoIdx];
    videoTb = av_q2d(video->time_base);
    const AVRational rate = av_guess_frame_rate(fmt, video, nullptr);
    if (rate.num >= 1 && rate.den >= 1)
        fps = av_q2d(rate);

    const QString videoError = openVideoDecoder();
    if (!videoError.isEmpty())
        return videoError;
    if (audioIdx >= 0)
        openAudioDecoder();

    pkt = av_packet_alloc();
    frame = av_frame_alloc();
    swFrame = av_frame_alloc();
    if (!pkt || !frame || !swFrame)
        return QStringLiteral("视频解码器打开失败: %1").arg(avErrStr(AVERROR(ENOMEM)));
    return QString();
}

bool DecoderCtx::allocVideoContext(const AVCodec *codec)
{
    vctx = avcodec_alloc_context3(codec);
    if (!vctx)
        return false;
    if (avcodec_parameters_to_context(vctx, fmt->streams[videoIdx]->codecpar) < 0)
        return false;
    vctx->thread_count = 0; // the decoder picks its thread count
    vctx->pkt_timebase = fmt->streams[videoIdx]->time_base;
    return true;
}

QString DecoderCtx::openVideoDecoder()
{
    const AVCodec *codec = avcodec_find_decoder(fmt->streams[videoIdx]->codecpar->codec_id);
    if (!codec)
        return QStringLiteral("找不到视频解码器");

    const bool allocated = allocVideoContext(codec);
    if (allocated && av_hwdevice_ctx_create(&hwDevice, AV_HWDEVICE_TYPE_VIDEOTOOLBOX, nullptr, nullptr, 0) == 0) {
        vctx->hw_device_ctx = av_buffer_ref(hwDevice);
        vctx->get_format = zk_get_hw_format;
        blog(LOG_INFO, "[ZKPlayer] videotoolbox 硬解已启用");
    } else {
        blog(LOG_INFO, "[ZKPlayer] videotoolbox 不可用,软解");
    }
    if (allocated && avcodec_open2(vctx, codec, nullptr) == 0)
        return QString();

    // The hardware path refused this stream: a fresh software context.
    avcodec_free_context(&vctx);
    int ret = AVERROR(ENOMEM);
    if (allocVideoContext(codec))
        ret = avcodec_open2(vctx, codec, nullptr);
    if (ret != 0)
        return QStringLiteral("视频解码器打开失败: %1").arg(avErrStr(ret));
    blog(LOG_INFO, "[ZKPlayer] 已回退软解");
    return QString();
}

void DecoderCtx::openAudioDecoder()
{
    // Any failure here leaves the file without audio; it still plays.
    AVStream *audio = fmt->streams[audioIdx];
    audioTb = av_q2d(audio->time_base);
    const AVCodec *codec = avcodec_find_decoder(audio->codecpar->codec_id);
    if (!codec) {
        audioIdx = -1;
        return;
    }
    actx = avcodec_alloc_context3(codec);
    if (actx)
        actx->pkt_timebase = audio->time_base; // lets the decoder skip the encoder's priming samples
    if (!actx || avcodec_parameters_to_context(actx, audio->codecpar) < 0 || avcodec_open2(actx, codec, nullptr) < 0) {
        avcodec_free_context(&actx);
        audioIdx = -1;
        return;
    }
    AVChannelLayout stereo = AV_CHANNEL_LAYOUT_STEREO;
    int ret = swr_alloc_set_opts2(&swr, &stereo, AV_SAMPLE_FMT_S16, Pcm::kSampleRate, &actx->ch_layout, actx->sample_fmt,
                                  actx->sample_rate, 0, nullptr);
    if (ret >= 0)
        ret = swr_init(swr);
    if (ret < 0) {
        swr_free(&swr);
        avcodec_free_context(&actx);
        audioIdx = -1;
    }
}

bool DecoderCtx::indexed(int64_t ts) const
{
    AVStream *video = fmt->streams[videoIdx];
    const int entries = avformat_index_get_entries_count(video);
    return entries > 0 && avformat_index_get_entry(video, 0)->timestamp <= ts &&
           ts <= avformat_index_get_entry(video, entries - 1)->timestamp;
}

bool DecoderCtx::seekTo(double seconds)
{
    const int64_t ts = std::llround(seconds / videoTb);
    // Outside the fragments read so far the demuxer knows no seek point.
    if (fragmented && !indexed(ts) && (reopenAtFragment(seconds) || !fmt))
        return fmt != nullptr;
    int ret = av_seek_frame(fmt, videoIdx, ts, AVSEEK_FLAG_BACKWARD);
    if (ret < 0) {
        blog(LOG_WARNING, "[ZKPlayer] seek %.1fs 失败(%s),尝试 ANY", seconds, avErrStr(ret).toUtf8().constData());
        ret = av_seek_frame(fmt, videoIdx, ts, AVSEEK_FLAG_BACKWARD | AVSEEK_FLAG_ANY);
        if (ret < 0)
            return false;
    }
    avcodec_flush_buffers(vctx);
    if (actx)
        avcodec_flush_buffers(actx);
    return true;
}

bool DecoderCtx::sendPacket(AVCodecContext *codec)
{
    const int ret = avcodec_send_packet(codec, pkt);
    if (ret == 0)
        return true;
    if (sendErrors.first(ret))
        blog(LOG_WARNING, "[ZKPlayer] %s 解码器拒收数据包: %s(同类错误只记一次)", codec == vctx ? "视频" : "音频",
             avErrStr(ret).toUtf8().constData());
    return false;
}

bool DecoderCtx::toRgb32(const AVFrame *source, QImage &image)
{
    // Same size, only the pixel format changes: BGRA bytes are the memory
    // layout of Format_RGB32 on little-endian processors.
    sws = sws_getCachedContext(sws, source->width, source->height, static_cast<AVPixelFormat>(source->format),
                               source->width, source->height, AV_PIX_FMT_BGRA, SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (!sws)
        return false;
    uint8_t *planes[1] = {image.bits()};
    const int strides[1] = {static_cast<int>(image.bytesPerLine())};
    // A failed conversion leaves the image's memory as it was: not a picture.
    return sws_scale(sws, source->data, source->linesize, 0, source->height, planes, strides) > 0;
}

void DecoderCtx::closeAll()
{
    av_frame_free(&swFrame);
    av_frame_free(&frame);
    av_packet_free(&pkt);
    sws_freeContext(sws);
    sws = nullptr;
    swr_free(&swr);
    avcodec_free_context(&vctx);
    avcodec_free_context(&actx);
    av_buffer_unref(&hwDevice);
    avformat_close_input(&fmt);
    // The demuxer does not own a custom byte source; the library may have
    // swapped its buffer, so free the current one.
    if (avio) {
        av_freep(&avio->buffer);
        avio_context_free(&avio);
    }
    if (io.fd >= 0) {
        ::close(io.fd);
        io.fd = -1;
    }
    audioIdx = -1;
    videoIdx = -1;
}
