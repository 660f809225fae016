#include "program_source.h"

#include "obs_compat.h"
#include "program_outputs.h"
#include "zk_media.h"

#include <util/platform.h>

#include <algorithm>
#include <mutex>
#include <vector>

namespace {

constexpr const char *kSourceId = "zerka_program";

// Sources shown anywhere in OBS (program, preview, a projector), and the
// program picture last seen, for a source shown later. OBS gets program's
// pictures as they were decoded (the decoder's YUV, with its colours).
// The tap runs on the user-interface thread; OBS shows and hides sources
// from its own threads.
// OBS copies what it is handed before obs_source_output_* return, and takes
// no lock of ours, so handing it frames under this one is safe.
std::mutex g_mutex;
std::vector<obs_source_t *> g_shown;
Picture g_picture;
Picture g_black;         // what an empty program shows, at the last picture's size
PictureScaler g_scaler;  // for a picture in a format OBS does not take
Picture g_converted;     // g_convertedFrom, as OBS takes it
Picture g_convertedFrom;

// The picture's planes as OBS takes them, in the picture's own format and
// colours; false for a format OBS has no name for.
bool describe(const Picture &picture, obs_source_frame &frame)
{
    const AVFrame *f = picture.frame();
    switch (f->format) {
    case AV_PIX_FMT_YUV420P:
    case AV_PIX_FMT_YUVJ420P:
        frame.format = VIDEO_FORMAT_I420;
        break;
    case AV_PIX_FMT_NV12:
        frame.format = VIDEO_FORMAT_NV12;
        break;
    case AV_PIX_FMT_YUV422P:
    case AV_PIX_FMT_YUVJ422P:
        frame.format = VIDEO_FORMAT_I422;
        break;
    case AV_PIX_FMT_YUV444P:
    case AV_PIX_FMT_YUVJ444P:
        frame.format = VIDEO_FORMAT_I444;
        break;
    case AV_PIX_FMT_BGRA: // a still
        frame.format = VIDEO_FORMAT_BGRX;
        break;
    default:
        return false;
    }
    for (int i = 0; i < MAX_AV_PLANES && i < AV_NUM_DATA_POINTERS && f->data[i]; ++i) {
        frame.data[i] = f->data[i];
        frame.linesize[i] = uint32_t(f->linesize[i]);
    }
    frame.width = uint32_t(f->width);
    frame.height = uint32_t(f->height);
    frame.full_range = picture.isFullRange();
    if (frame.format != VIDEO_FORMAT_BGRX)
        video_format_get_parameters_for_format(picture.isBt709() ? VIDEO_CS_709 : VIDEO_CS_601,
                                               frame.full_range ? VIDEO_RANGE_FULL : VIDEO_RANGE_PARTIAL,
                                               frame.format, frame.color_matrix, frame.color_range_min,
                                               frame.color_range_max);
    return true;
}

// g_mutex held.
void outputPicture(obs_source_t *source, const Picture &picture, uint64_t timestamp)
{
    obs_source_frame frame = {};
    if (!describe(picture, frame)) {
        if (g_convertedFrom != picture) {
            g_converted = Picture::fromImage(g_scaler.toImage(picture, picture.size()));
            g_convertedFrom = picture;
        }
        if (g_converted.isNull() || !describe(g_converted, frame))
            return;
    }
    frame.timestamp = timestamp;
    obs_source_output_video(source, &frame);
}

uint64_t pictureDelayNs()
{
    obs_video_info video = {};
    if (!obs_get_video_info(&video) || video.fps_num == 0)
        return 0;
    return uint64_t(1000000000) * video.fps_den / video.fps_num;
}

const Picture &shownPicture()
{
    if (!g_picture.isNull())
        return g_picture;
    if (g_black.isNull())
        g_black = Picture::black(QSize(1920, 1080));
    return g_black;
}

class Tap : public ProgramTap {
public:
    void picture(const Picture &picture) override
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (picture.isNull() && !g_picture.isNull() && g_black.size() != g_picture.size())
            g_black = Picture::black(g_picture.size());
        g_picture = picture; // shared, no pixel copy
        if (g_shown.empty())
            return;
        const uint64_t now = os_gettime_ns();
        for (obs_source_t *source : g_shown)
            outputPicture(source, shownPicture(), now);
    }

    void sound(const QByteArray &pcm, qint64 playsAtNs) override
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (g_shown.empty() || pcm.size() < Pcm::kBytesPerFrame)
            return;
        obs_source_audio audio = {};
        audio.data[0] = reinterpret_cast<const uint8_t *>(pcm.constData());
        audio.frames = uint32_t(pcm.size() / Pcm::kBytesPerFrame);
        audio.speakers = SPEAKERS_STEREO;
        audio.format = AUDIO_FORMAT_16BIT;
        audio.samples_per_sec = Pcm::kSampleRate;
        // Heard with the picture of its time: OBS places sound by its
        // stamp (blocks within 70 ms of where the last one ended follow it
        // without a gap), and shows a picture of this source in a frame it
        // renders later: on average a frame after it was handed over (in
        // OBS 30.2's own recordings, from 0 to 2 frames).
        audio.timestamp = os_gettime_ns() + (playsAtNs - ShowClock::nowNs()) + pictureDelayNs();
        for (obs_source_t *source : g_shown)
            obs_source_output_audio(source, &audio);
    }
};

Tap g_tap;

const char *sourceName(void *)
{
    return "Zerka 节目";
}

void *createSource(obs_data_t *, obs_source_t *source)
{
    // Pictures are shown as they come: program is already paced.
    obs_source_set_async_unbuffered(source, true);
    return source;
}

void destroySource(void *data)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_shown.erase(std::remove(g_shown.begin(), g_shown.end(), static_cast<obs_source_t *>(data)), g_shown.end());
}

void showSource(void *data)
{
    auto *source = static_cast<obs_source_t *>(data);
    std::lock_guard<std::mutex> lock(g_mutex);
    if (std::find(g_shown.begin(), g_shown.end(), source) == g_shown.end())
        g_shown.push_back(source);
    // A paused or still program sends nothing new: show what it shows now.
    outputPicture(source, shownPicture(), os_gettime_ns());
}

void hideSource(void *data)
{
    destroySource(data);
}

} // namespace

void zk_program_source_register()
{
    obs_source_info info = {};
    info.id = kSourceId;
    info.type = OBS_SOURCE_TYPE_INPUT;
    info.output_flags = OBS_SOURCE_ASYNC_VIDEO | OBS_SOURCE_AUDIO;
    info.get_name = sourceName;
    info.create = createSource;
    info.destroy = destroySource;
    info.show = showSource;
    info.hide = hideSource;
    info.icon_type = OBS_ICON_TYPE_MEDIA;
    obs_register_source(&info);
}

ProgramTap *zk_program_tap()
{
    return &g_tap;
}
