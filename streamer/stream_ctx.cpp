#include "stream_ctx.h"

#include <obs-module.h>

#include <cstring>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr int kSampleRate = Pcm::kSampleRate;
constexpr int kAudioBitRate = 160000;
constexpr int kAacFrameSamples = 1024;

const AVCodec *findH264Encoder()
{
    // The hardware encoder first (macOS); libx264; then any H.264 encoder.
    if (const AVCodec *codec = avcodec_find_encoder_by_name("h264_videotoolbox"))
        return codec;
    if (const AVCodec *codec = avcodec_find_encoder_by_name("libx264"))
        return codec;
    return avcodec_find_encoder(AV_CODEC_ID_H264);
}

} // namespace

QString StreamCtx::open(const QString &url, int kbps, const AVIOInterruptCB &interrupt)
{
    closeAll();
    const QByteArray utf8 = url.toUtf8();
    const int ret = avformat_alloc_output_context2(&fmt, nullptr, "flv", utf8.constData());
    if (ret < 0 || !fmt)
        return QStringLiteral("创建 FLV 输出失败: ") + ffErr(ret < 0 ? ret : AVERROR(ENOMEM));

    QString error = openVideoEncoder(kbps);
    if (error.isEmpty())
        error = openAudioEncoder();
    if (error.isEmpty())
        error = createStreams();
    if (error.isEmpty())
        error = allocFrames();
    if (error.isEmpty())
        error = connect(url, interrupt);
    return error;
}

QString StreamCtx::openVideoEncoder(int kbps)
{
    const AVCodec *codec = findH264Encoder();
    if (!codec)
        return QStringLiteral("找不到 H.264 编码器");
    vctx = avcodec_alloc_context3(codec);
    if (!vctx)
        return QStringLiteral("视频编码器打开失败(%1): %2").arg(codec->name, ffErr(AVERROR(ENOMEM)));
    vctx->width = kWidth;
    vctx->height = kHeight;
    vctx->pix_fmt = AV_PIX_FMT_NV12;
    vctx->time_base = AVRational{1, 1000};
    vctx->framerate = AVRational{30, 1};
    vctx->bit_rate = int64_t(kbps) * 1000;
    // At most half a second's worth in any picture: a busy picture at a
    // high rate otherwise makes key frames past what servers take in one
    // message (nginx-rtmp's 1 MiB), and the server drops the stream.
    vctx->rc_max_rate = vctx->bit_rate;
    vctx->rc_buffer_size = int(vctx->bit_rate / 2);
    vctx->gop_size = 60;
    vctx->max_b_frames = 0;
    vctx->color_range = AVCOL_RANGE_MPEG;
    if (fmt->oformat->flags & AVFMT_GLOBALHEADER)
        vctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;

    // Options an encoder does not know stay in the dictionary, unused.
    AVDictionary *options = nullptr;
    av_dict_set(&options, "realtime", "1", 0);
    av_dict_set(&options, "allow_sw", "1", 0);
    av_dict_set(&options, "preset", "veryfast", 0);
    av_dict_set(&options, "tune", "zerolatency", 0);
    const int ret = avcodec_open2(vctx, codec, &options);
    av_dict_free(&options);
    if (ret < 0)
        return QStringLiteral("视频编码器打开失败(%1): %2").arg(codec->name, ffErr(ret));
    blog(LOG_INFO, "[ZKStreamer] 视频编码器: %s", codec->name);
    return QString();
}

QString StreamCtx::openAudioEncoder()
{
    const AVCodec *codec = avcodec_find_encoder(AV_CODEC_ID_AAC);
    if (!codec)
        return QStringLiteral("找不到 AAC 编码器");
    actx = avcodec_alloc_context3(codec);
    if (!actx)
        return QStringLiteral("AAC 编码器打开失败: ") + ffErr(AVERROR(ENOMEM));
    actx->sample_rate = kSampleRate;
    av_channel_layout_default(&actx->ch_layout, 2);
    actx->sample_fmt = AV_SAMPLE_FMT_FLTP;
    actx->bit_rate = kAudioBitRate;
    actx->time_base = AVRational{1, kSampleRate};
    if (fmt->oformat->flags & AVFMT_GLOBALHEADER)
        actx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    const int ret = avcodec_open2(actx, codec, nullptr);
    if (ret < 0)
        return QStringLiteral("AAC 编码器打开失败: ") + ffErr(ret);
    return QString();
}

QString StreamCtx::createStreams()
{
    vst = avformat_new_stream(fmt, nullptr);
    ast = vst ? avformat_new_stream(fmt, nullptr) : nullptr;
    if (!vst || !ast || avcodec_parameters_from_context(vst->codecpar, vctx) < 0 ||
        avcodec_parameters_from_context(ast->codecpar, actx) < 0)
        return QStringLiteral("创建流失败");
    vst->time_base = AVRational{1, 1000};
    ast->time_base = AVRational{1, kSampleRate};
    sws = nullptr;

    // The player's PCM: interleaved s16 stereo at the same rate.
    AVChannelLayout stereo = AV_CHANNEL_LAYOUT_STEREO;
    int ret = swr_alloc_set_opts2(&swr, &actx->ch_layout, AV_SAMPLE_FMT_FLTP, kSampleRate, &stereo, AV_SAMPLE_FMT_S16,
                                  kSampleRate, 0, nullptr);
    if (ret >= 0)
        ret = swr_init(swr);
    if (ret < 0)
        return QStringLiteral("音频重采样器创建失败");
    return QString();
}

QString StreamCtx::allocFrames()
{
    vframe = av_frame_alloc();
    if (!vframe)
        return QStringLiteral("视频帧缓冲分配失败");
    vframe->format = AV_PIX_FMT_NV12;
    vframe->width = kWidth;
    vframe->height = kHeight;
    if (av_frame_get_buffer(vframe, 0) < 0)
        return QStringLiteral("视频帧缓冲分配失败");

    aframe = av_frame_alloc();
    if (!aframe)
        return QStringLiteral("音频帧缓冲分配失败");
    aframe->format = AV_SAMPLE_FMT_FLTP;
    aframe->nb_samples = kAacFrameSamples;
    av_channel_layout_default(&aframe->ch_layout, 2);
    aframe->sample_rate = kSampleRate;
    if (av_frame_get_buffer(aframe, 0) < 0)
        return QStringLiteral("音频帧缓冲分配失败");

    pkt = av_packet_alloc();
    if (!pkt)
        return QStringLiteral("视频帧缓冲分配失败");
    return QString();
}

QString StreamCtx::connect(const QString &url, const AVIOInterruptCB &interrupt)
{
    fmt->interrupt_callback = interrupt;
    // A read or write blocks at most 5 s. For rtmps:// the TLS layer checks
    // the server's certificate against the system's trust store: without
    // that an impostor on the path would receive the stream key.
    AVDictionary *options = nullptr;
    av_dict_set(&options, "rw_timeout", "5000000", 0);
    av_dict_set(&options, "tls_verify", "1", 0);
    int ret = avio_open2(&fmt->pb, url.toUtf8().constData(), AVIO_FLAG_WRITE, &fmt->interrupt_callback, &options);
    av_dict_free(&options);
    if (ret < 0)
        return QStringLiteral("连接 RTMP 服务器失败: ") + ffErr(ret);
    ret = avformat_write_header(fmt, nullptr);
    if (ret < 0)
        return QStringLiteral("RTMP 握手失败: ") + ffErr(ret);
    opened = true;
    return QString();
}

int StreamCtx::encodeWrite(AVCodecContext *codec, AVFrame *frame, AVStream *stream)
{
    const int sent = avcodec_send_frame(codec, frame);
    if (sent < 0) {
        // The frame is skipped; the connection is fine.
        if (sendErrors.first(sent))
            blog(LOG_WARNING, "[ZKStreamer] %s 编码器拒收一帧: %s(同类错误只记一次)", codec->codec->name,
                 ffErr(sent).toUtf8().constData());
        return 0;
    }
    // Anything but a packet ("again", end, an error) ends this frame's output.
    while (avcodec_receive_packet(codec, pkt) == 0) {
        av_packet_rescale_ts(pkt, codec->time_base, stream->time_base);
        pkt->stream_index = stream->index;
        m_bytesSent += pkt->size;
        const int ret = av_interleaved_write_frame(fmt, pkt);
        if (ret < 0) {
            av_packet_unref(pkt);
            return ret;
        }
    }
    return 0;
}

// An RGB32 picture of the frame's own size into an NV12 frame (BT.601,
// limited range, each 2x2 block's colour from its average), as swscale
// would convert it but without its general path: a 1080p picture in about
// a third of the time. False when the sizes differ or are odd.
static bool rgb32ToNv12(const QImage &picture, AVFrame *frame)
{
    // In runs of a fixed length, which compilers vectorise even when
    // optimising for size and speed alike (a row's length is not known).
    constexpr int kRun = 16;
    const int w = frame->width;
    const int h = frame->height;
    if (picture.format() != QImage::Format_RGB32 || picture.width() != w || picture.height() != h || h % 2 ||
        w % (2 * kRun))
        return false;
    for (int y = 0; y < h; ++y) {
        const auto *in = reinterpret_cast<const uint32_t *>(picture.constScanLine(y));
        uint8_t *out = frame->data[0] + y * frame->linesize[0];
        for (int x = 0; x < w; x += kRun) {
            uint8_t luma[kRun]; // local: the compiler need not fear it overlaps the picture
            for (int k = 0; k < kRun; ++k) {
                const uint32_t p = in[x + k];
                const uint32_t r = p >> 16 & 0xff, g = p >> 8 & 0xff, b = p & 0xff;
                luma[k] = uint8_t(((66 * r + 129 * g + 25 * b + 128) >> 8) + 16);
            }
            memcpy(out + x, luma, kRun);
        }
    }
    for (int y = 0; y < h; y += 2) {
        const auto *top = reinterpret_cast<const uint32_t *>(picture.constScanLine(y));
        const auto *bottom = reinterpret_cast<const uint32_t *>(picture.constScanLine(y + 1));
        uint8_t *out = frame->data[1] + (y / 2) * frame->linesize[1];
        for (int x = 0; x < w / 2; x += kRun) {
            uint8_t chroma[2 * kRun];
            for (int k = 0; k < kRun; ++k) {
                const int i = 2 * (x + k);
                const uint32_t a = top[i], b = top[i + 1], c = bottom[i], d = bottom[i + 1];
                const int r = int((a >> 16 & 0xff) + (b >> 16 & 0xff) + (c >> 16 & 0xff) + (d >> 16 & 0xff));
                const int g = int((a >> 8 & 0xff) + (b >> 8 & 0xff) + (c >> 8 & 0xff) + (d >> 8 & 0xff));
                const int bl = int((a & 0xff) + (b & 0xff) + (c & 0xff) + (d & 0xff));
                // The sums are four times the block's average: two more bits off.
                chroma[2 * k] = uint8_t(((-38 * r - 74 * g + 112 * bl + 512) >> 10) + 128);
                chroma[2 * k + 1] = uint8_t(((112 * r - 94 * g - 18 * bl + 512) >> 10) + 128);
            }
            memcpy(out + 2 * x, chroma, 2 * kRun);
        }
    }
    return true;
}

int StreamCtx::encodePicture(const QImage &picture, int64_t ms)
{
    // Writable without losing what it holds: a copy keeps the pixels.
    if (av_frame_make_writable(vframe) < 0)
        return 0;
    if (picture.cacheKey() != m_scaledKey) {
        m_scaledKey = 0;
        if (!rgb32ToNv12(picture, vframe) && !scaleIntoFrame(picture))
            return 0;
        m_scaledKey = picture.cacheKey();
    }
    vframe->pts = ms;
    return encodeWrite(vctx, vframe, vst) < 0 ? -1 : 1;
}

bool StreamCtx::scaleIntoFrame(const QImage &picture)
{
    const QImage rgb = picture.format() == QImage::Format_RGB32 ? picture : picture.convertToFormat(QImage::Format_RGB32);
    // Stretched to fill the frame, whatever the picture's aspect ratio.
    sws = sws_getCachedContext(sws, rgb.width(), rgb.height(), AV_PIX_FMT_BGRA, vframe->width, vframe->height,
                               AV_PIX_FMT_NV12, SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (!sws)
        return false;
    const uint8_t *src[1] = {rgb.constBits()};
    const int stride[1] = {int(rgb.bytesPerLine())};
    return sws_scale(sws, src, stride, 0, rgb.height(), vframe->data, vframe->linesize) > 0;
}

int StreamCtx::encodeAudio(const QByteArray &pcm, int64_t samples)
{
    const int count = aframe->nb_samples;
    if (av_frame_make_writable(aframe) < 0)
        return 0;
    const uint8_t *in[1] = {reinterpret_cast<const uint8_t *>(pcm.constData())};
    const int converted = swr_convert(swr, aframe->data, count, in, int(pcm.size() / Pcm::kBytesPerFrame));
    if (converted < count) // never send what the frame held before
        av_samples_set_silence(aframe->data, qMax(converted, 0), count - qMax(converted, 0), Pcm::kChannels,
                               AV_SAMPLE_FMT_FLTP);
    aframe->pts = samples;
    return encodeWrite(actx, aframe, ast) < 0 ? -1 : 1;
}

int StreamCtx::encodeBlack(int64_t ms)
{
    m_scaledKey = 0;
    if (av_frame_make_writable(vframe) < 0)
        return 0;
    // Limited range: luma 16, chroma 128.
    for (int y = 0; y < vframe->height; ++y)
        memset(vframe->data[0] + y * vframe->linesize[0], 16, size_t(vframe->width));
    for (int y = 0; y < vframe->height / 2; ++y)
        memset(vframe->data[1] + y * vframe->linesize[1], 128, size_t(vframe->width));
    vframe->pts = ms;
    return encodeWrite(vctx, vframe, vst);
}

void StreamCtx::closeAll()
{
    m_scaledKey = 0;
    if (fmt && opened)
        av_write_trailer(fmt);
    av_packet_free(&pkt);
    av_frame_free(&vframe);
    av_frame_free(&aframe);
    if (sws) {
        sws_freeContext(sws);
        sws = nullptr;
    }
    swr_free(&swr);
    avcodec_free_context(&vctx);
    avcodec_free_context(&actx);
    if (fmt) {
        if (fmt->pb)
            avio_closep(&fmt->pb);
        avformat_free_context(fmt);
        fmt = nullptr;
    }
    vst = nullptr;
    ast = nullptr;
    opened = false;
}
