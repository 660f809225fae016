#include "stream_ctx.h"

#include <obs-module.h>

#include <cstring>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}

namespace {

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
    Format format;
    format.kbps = kbps;
    QString error = create("flv", url, format);
    if (error.isEmpty())
        error = connect(url, interrupt);
    return error;
}

QString StreamCtx::openFile(const QString &path, const char *muxer, const Format &format)
{
    const QString error = create(muxer, path, format);
    return error.isEmpty() ? writeFileHeader(path) : error;
}

QString StreamCtx::openCopy(const QString &path, const char *muxer, const AVStream *video, const AVStream *audio)
{
    closeAll();
    int ret = avformat_alloc_output_context2(&fmt, nullptr, muxer, path.toUtf8().constData());
    if (ret < 0 || !fmt)
        return QStringLiteral("创建 %1 输出失败: ").arg(QString::fromUtf8(muxer).toUpper()) +
               ffErr(ret < 0 ? ret : AVERROR(ENOMEM));
    pkt = av_packet_alloc();
    if (!pkt)
        return ffErr(AVERROR(ENOMEM));
    for (const AVStream *source : {video, audio}) {
        if (!source)
            continue;
        // 0: the muxer knows it cannot; below 0: it does not say (MPEG-TS takes it).
        if (avformat_query_codec(fmt->oformat, source->codecpar->codec_id, FF_COMPLIANCE_NORMAL) == 0)
            return QStringLiteral("%1 不能原样写进 %2").arg(avcodec_get_name(source->codecpar->codec_id), muxer);
        AVStream *stream = avformat_new_stream(fmt, nullptr);
        if (!stream || avcodec_parameters_copy(stream->codecpar, source->codecpar) < 0)
            return QStringLiteral("创建流失败");
        stream->codecpar->codec_tag = 0; // the muxer's own tag for the codec
        stream->time_base = source->time_base;
        (source == video ? vst : ast) = stream;
    }
    m_copiedVideo = video;
    m_copiedAudio = audio;
    return writeFileHeader(path);
}

int StreamCtx::writeCopy(const AVPacket *packet, const AVStream *from, int64_t offset)
{
    AVStream *to = from == m_copiedVideo ? vst : from == m_copiedAudio ? ast : nullptr;
    if (!to || av_packet_ref(pkt, packet) < 0)
        return m_writeError = AVERROR(EINVAL);
    if (pkt->pts != AV_NOPTS_VALUE)
        pkt->pts -= offset;
    if (pkt->dts != AV_NOPTS_VALUE)
        pkt->dts -= offset;
    pkt->pos = -1;
    av_packet_rescale_ts(pkt, from->time_base, to->time_base);
    pkt->stream_index = to->index;
    m_bytesSent += pkt->size;
    const int ret = av_interleaved_write_frame(fmt, pkt);
    av_packet_unref(pkt);
    return ret < 0 ? (m_writeError = ret) : 0;
}

QString StreamCtx::writeFileHeader(const QString &path)
{
    int ret = avio_open2(&fmt->pb, path.toUtf8().constData(), AVIO_FLAG_WRITE, nullptr, nullptr);
    if (ret < 0)
        return QStringLiteral("写文件失败: ") + ffErr(ret);
    // An FLV file gets the index of its key pictures that players seek by.
    AVDictionary *options = nullptr;
    av_dict_set(&options, "flvflags", "add_keyframe_index", 0);
    ret = avformat_write_header(fmt, &options);
    av_dict_free(&options);
    if (ret < 0)
        return QStringLiteral("写文件失败: ") + ffErr(ret);
    opened = true;
    return QString();
}

QString StreamCtx::create(const char *muxer, const QString &url, const Format &format)
{
    closeAll();
    m_format = format;
    const int ret = avformat_alloc_output_context2(&fmt, nullptr, muxer, url.toUtf8().constData());
    if (ret < 0 || !fmt)
        return QStringLiteral("创建 %1 输出失败: ").arg(QString::fromUtf8(muxer).toUpper()) +
               ffErr(ret < 0 ? ret : AVERROR(ENOMEM));
    QString error = openVideoEncoder();
    if (error.isEmpty() && format.sound)
        error = openAudioEncoder();
    if (error.isEmpty())
        error = createStreams();
    if (error.isEmpty())
        error = allocFrames();
    return error;
}

QString StreamCtx::openVideoEncoder()
{
    const AVCodec *codec = findH264Encoder();
    if (!codec)
        return QStringLiteral("找不到 H.264 编码器");
    vctx = avcodec_alloc_context3(codec);
    if (!vctx)
        return QStringLiteral("视频编码器打开失败(%1): %2").arg(codec->name, ffErr(AVERROR(ENOMEM)));
    vctx->width = m_format.width;
    vctx->height = m_format.height;
    // The software decoder's own format: a recording's pictures of the
    // output's size go to the encoder as they were decoded.
    vctx->pix_fmt = AV_PIX_FMT_YUV420P;
    vctx->time_base = AVRational{1, 1000};
    vctx->framerate = m_format.rate;
    vctx->bit_rate = int64_t(m_format.kbps) * 1000;
    vctx->gop_size = int(2 * av_q2d(m_format.rate) + 0.5);
    if (m_format.live) {
        // At most half a second's worth in any picture: a busy picture at a
        // high rate otherwise makes key frames past what servers take in one
        // message (nginx-rtmp's 1 MiB), and the server drops the stream.
        vctx->rc_max_rate = vctx->bit_rate;
        vctx->rc_buffer_size = int(vctx->bit_rate / 2);
        vctx->max_b_frames = 0;
    }
    vctx->color_range = AVCOL_RANGE_MPEG;
    vctx->colorspace = AVCOL_SPC_BT709;
    vctx->color_primaries = AVCOL_PRI_BT709;
    vctx->color_trc = AVCOL_TRC_BT709;
    if (fmt->oformat->flags & AVFMT_GLOBALHEADER)
        vctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;

    // Options an encoder does not know stay in the dictionary, unused.
    AVDictionary *options = nullptr;
    av_dict_set(&options, "allow_sw", "1", 0);
    av_dict_set(&options, "preset", "veryfast", 0);
    if (m_format.live) {
        av_dict_set(&options, "realtime", "1", 0);
        av_dict_set(&options, "tune", "zerolatency", 0);
    }
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
    if (!vst || avcodec_parameters_from_context(vst->codecpar, vctx) < 0)
        return QStringLiteral("创建流失败");
    vst->time_base = AVRational{1, 1000};
    if (!actx)
        return QString();
    ast = avformat_new_stream(fmt, nullptr);
    if (!ast || avcodec_parameters_from_context(ast->codecpar, actx) < 0)
        return QStringLiteral("创建流失败");
    ast->time_base = AVRational{1, kSampleRate};

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
    vframe->format = vctx->pix_fmt;
    vframe->width = vctx->width;
    vframe->height = vctx->height;
    m_passed = av_frame_alloc();
    m_black = Picture::black(QSize(vctx->width, vctx->height));
    pkt = av_packet_alloc();
    if (av_frame_get_buffer(vframe, 0) < 0 || !m_passed || m_black.isNull() || !pkt)
        return QStringLiteral("视频帧缓冲分配失败");
    if (!actx)
        return QString();

    aframe = av_frame_alloc();
    if (!aframe)
        return QStringLiteral("音频帧缓冲分配失败");
    aframe->format = AV_SAMPLE_FMT_FLTP;
    aframe->nb_samples = kAacFrameSamples;
    av_channel_layout_default(&aframe->ch_layout, 2);
    aframe->sample_rate = kSampleRate;
    if (av_frame_get_buffer(aframe, 0) < 0)
        return QStringLiteral("音频帧缓冲分配失败");
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
        // Not every encoder says how long a picture lasts; without it a
        // file's last picture would fall outside its track's length.
        if (pkt->duration <= 0 && codec == vctx)
            pkt->duration = av_rescale_q(1, av_inv_q(m_format.rate), codec->time_base);
        av_packet_rescale_ts(pkt, codec->time_base, stream->time_base);
        pkt->stream_index = stream->index;
        m_bytesSent += pkt->size;
        const int ret = av_interleaved_write_frame(fmt, pkt);
        if (ret < 0) {
            av_packet_unref(pkt);
            return m_writeError = ret;
        }
    }
    return 0;
}

bool StreamCtx::passesAsIs(const Picture &picture) const
{
    const AVFrame *frame = picture.frame();
    return frame->format == vctx->pix_fmt && frame->width == vctx->width && frame->height == vctx->height &&
           picture.isBt709() && !picture.isFullRange();
}

int StreamCtx::encodePicture(const Picture &picture, int64_t ms)
{
    const Picture &source = picture.isNull() ? m_black : picture;
    if (source.isNull())
        return 0;
    AVFrame *frame = vframe;
    if (passesAsIs(source)) {
        // The decoder's own YUV, by reference. What the decoder knew of the
        // picture is not the encoder's business: its type would force the
        // encoder's (libx264 honours it), its side data would be encoded.
        av_frame_unref(m_passed);
        if (av_frame_ref(m_passed, source.frame()) < 0)
            return 0;
        m_passed->pict_type = AV_PICTURE_TYPE_NONE;
        m_passed->flags &= ~AV_FRAME_FLAG_KEY;
        while (m_passed->nb_side_data > 0)
            av_frame_remove_side_data(m_passed, m_passed->side_data[0]->type);
        frame = m_passed;
    } else {
        // Writable without losing what it holds: a copy keeps the pixels.
        if (av_frame_make_writable(vframe) < 0)
            return 0;
        // The same picture again (a repeat) is not converted again.
        if (source != m_scaledFrom) {
            m_scaledFrom = Picture();
            if (!m_scaler.scaleInto(source, vframe))
                return 0;
            m_scaledFrom = source;
        }
    }
    frame->pts = ms;
    return encodeWrite(vctx, frame, vst) < 0 ? -1 : 1;
}

int StreamCtx::encodeAudio(const QByteArray &pcm, int64_t samples)
{
    if (!actx)
        return 0;
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

int StreamCtx::finish()
{
    // A null frame asks each encoder for what it still holds (a copy has none).
    int ret = vctx ? encodeWrite(vctx, nullptr, vst) : 0;
    if (ret == 0 && actx)
        ret = encodeWrite(actx, nullptr, ast);
    if (ret == 0)
        ret = av_write_trailer(fmt);
    opened = false;
    if (ret == 0) { // a write that failed in the buffer shows when it is flushed
        avio_flush(fmt->pb);
        ret = fmt->pb->error;
    }
    const int closed = avio_closep(&fmt->pb);
    return ret < 0 ? ret : closed;
}

void StreamCtx::closeAll()
{
    m_scaledFrom = Picture();
    m_black = Picture();
    if (fmt && opened)
        av_write_trailer(fmt);
    av_packet_free(&pkt);
    av_frame_free(&vframe);
    av_frame_free(&m_passed);
    av_frame_free(&aframe);
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
    m_copiedVideo = m_copiedAudio = nullptr;
    opened = false;
}
