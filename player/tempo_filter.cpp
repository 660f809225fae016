#include "tempo_filter.h"

#include "zk_media.h"

#include <QStringList>

extern "C" {
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
}

#include <cstring>

namespace {

constexpr double kSlowestStage = 0.5;

// "atempo=0.5,atempo=0.5,atempo=0.8" for 0.2, then the engines' format.
QString chain(double rate)
{
    QStringList stages;
    for (; rate < kSlowestStage; rate /= kSlowestStage)
        stages << QStringLiteral("atempo=0.5");
    stages << QStringLiteral("atempo=%1").arg(rate, 0, 'f', 6);
    stages << QStringLiteral("aformat=sample_fmts=s16:sample_rates=%1:channel_layouts=stereo").arg(Pcm::kSampleRate);
    return stages.join(QLatin1Char(','));
}

} // namespace

QString TempoFilter::open(double rate)
{
    close();
    m_rate = rate;
    m_graph = avfilter_graph_alloc();
    m_frame = av_frame_alloc();
    if (!m_graph || !m_frame) {
        close();
        return QStringLiteral("慢放声音: ") + ffErr(AVERROR(ENOMEM));
    }
    const QByteArray args = QStringLiteral("time_base=1/%1:sample_rate=%1:sample_fmt=s16:channel_layout=stereo")
                                    .arg(Pcm::kSampleRate)
                                    .toLatin1();
    int ret = avfilter_graph_create_filter(&m_source, avfilter_get_by_name("abuffer"), "in", args.constData(), nullptr,
                                           m_graph);
    if (ret >= 0)
        ret = avfilter_graph_create_filter(&m_sink, avfilter_get_by_name("abuffersink"), "out", nullptr, nullptr,
                                           m_graph);
    AVFilterInOut *inputs = nullptr, *outputs = nullptr;
    if (ret >= 0) {
        // The chain's open ends, as avfilter_graph_parse_ptr names them.
        outputs = avfilter_inout_alloc();
        inputs = avfilter_inout_alloc();
        if (!outputs || !inputs)
            ret = AVERROR(ENOMEM);
    }
    if (ret >= 0) {
        outputs->name = av_strdup("in");
        outputs->filter_ctx = m_source;
        inputs->name = av_strdup("out");
        inputs->filter_ctx = m_sink;
        ret = avfilter_graph_parse_ptr(m_graph, chain(rate).toLatin1().constData(), &inputs, &outputs, nullptr);
    }
    avfilter_inout_free(&inputs);
    avfilter_inout_free(&outputs);
    if (ret >= 0)
        ret = avfilter_graph_config(m_graph, nullptr);
    if (ret < 0) {
        close();
        return QStringLiteral("慢放声音: ") + ffErr(ret);
    }
    return QString();
}

bool TempoFilter::process(const QByteArray &pcm, QByteArray &out)
{
    if (!m_graph)
        return false;
    const int samples = int(pcm.size() / Pcm::kBytesPerFrame);
    if (samples > 0) {
        m_frame->format = AV_SAMPLE_FMT_S16;
        m_frame->sample_rate = Pcm::kSampleRate;
        m_frame->nb_samples = samples;
        m_frame->pts = m_samples;
        av_channel_layout_default(&m_frame->ch_layout, Pcm::kChannels);
        int ret = av_frame_get_buffer(m_frame, 0);
        if (ret >= 0) {
            memcpy(m_frame->data[0], pcm.constData(), size_t(samples) * Pcm::kBytesPerFrame);
            ret = av_buffersrc_add_frame(m_source, m_frame); // takes the frame's buffers
        }
        av_frame_unref(m_frame);
        if (ret < 0) {
            close();
            return false;
        }
        m_samples += samples;
    }
    for (;;) {
        const int ret = av_buffersink_get_frame(m_sink, m_frame);
        if (ret == AVERROR(EAGAIN))
            return true;
        if (ret < 0) {
            close();
            return false;
        }
        out.append(reinterpret_cast<const char *>(m_frame->data[0]), m_frame->nb_samples * Pcm::kBytesPerFrame);
        m_made += m_frame->nb_samples;
        av_frame_unref(m_frame);
    }
}

void TempoFilter::close()
{
    avfilter_graph_free(&m_graph); // frees the filters in it
    m_source = nullptr;
    m_sink = nullptr;
    av_frame_free(&m_frame);
    m_samples = 0;
    m_made = 0;
    m_rate = 0.0;
}
