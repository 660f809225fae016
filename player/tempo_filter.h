#pragma once

// Sound slowed without lowering its pitch: libavfilter's atempo over the
// engines' PCM (48000 Hz stereo s16 in and out). A stage of atempo slows
// to 1/2 at most on every FFmpeg version, so slower rates chain stages.
// One user, one thread; close() is the one release path.

#include <QByteArray>
#include <QString>

struct AVFilterContext;
struct AVFilterGraph;
struct AVFrame;

class TempoFilter {
public:
    TempoFilter() = default;
    TempoFilter(const TempoFilter &) = delete;
    TempoFilter &operator=(const TempoFilter &) = delete;
    ~TempoFilter() { close(); }

    // Empty on success, else why. `rate` from 0.01 to 1.
    QString open(double rate);
    bool isOpen() const { return m_graph != nullptr; }
    double rate() const { return m_rate; }
    // Feeds `pcm` and appends what the filter has ready to `out` (it holds a
    // window's worth back). False when the filter failed: it is closed.
    bool process(const QByteArray &pcm, QByteArray &out);
    // How much of what was fed (seconds of it) the filter still holds.
    double heldSec() const { return (double(m_samples) - double(m_made) * m_rate) / 48000; }
    void close();

private:
    AVFilterGraph *m_graph = nullptr;
    AVFilterContext *m_source = nullptr;
    AVFilterContext *m_sink = nullptr;
    AVFrame *m_frame = nullptr;
    double m_rate = 0.0;
    long long m_samples = 0; // fed so far: the next frame's time
    long long m_made = 0;    // given out so far
};
