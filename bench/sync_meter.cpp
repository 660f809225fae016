#include "sync_meter.h"

#include "zk_player.h"


#include <cmath>

namespace {

constexpr int kLoud = 8000;           // a click peaks at 0.9 full scale; silence is 0
constexpr qint64 kQuietBefore = 4800; // 100 ms of quiet before a new click
constexpr qint64 kMatchMs = 500;      // marks are a second apart

} // namespace

SyncMeter::SyncMeter(const QString &monitorSource, QObject *parent) : QObject(parent), m_source(monitorSource)
{
    connect(&m_parec, &QProcess::readyReadStandardOutput, this, &SyncMeter::onAudio);
}

SyncMeter::~SyncMeter()
{
    stop();
}

bool SyncMeter::start()
{
    m_clock.start();
    m_parec.start("parec", {"-d", m_source, "--raw", "--rate=48000", "--channels=2", "--format=s16le",
                            "--latency-msec=10"});
    return m_parec.waitForStarted();
}

void SyncMeter::watch(ZKPlayer *player, std::function<bool()> counts)
{
    connect(player, &ZKPlayer::frameReady, this, [this, counts](const Picture &picture, double) {
        // The luma in the middle of the decoder's YUV: white is 235.
        const AVFrame *f = picture.frame();
        if (f && (!counts || counts()) && f->data[0][(f->height / 2) * f->linesize[0] + f->width / 2] > 200)
            m_flashes << m_clock.elapsed();
    });
}

void SyncMeter::stop()
{
    if (m_parec.state() == QProcess::NotRunning)
        return;
    m_parec.kill();
    m_parec.waitForFinished();
}

void SyncMeter::onAudio()
{
    const qint64 now = m_clock.elapsed(); // when the last sample of this read arrived
    const QByteArray pcm = m_parec.readAllStandardOutput();
    const auto *s = reinterpret_cast<const qint16 *>(pcm.constData());
    const qint64 frames = pcm.size() / 4;
    for (qint64 i = 0; i < frames; ++i) {
        if (qAbs(s[2 * i]) <= kLoud)
            continue;
        if (m_samplesSeen + i - m_lastLoud > kQuietBefore)
            m_clicks << now - (frames - i) * 1000 / 48000;
        m_lastLoud = m_samplesSeen + i;
    }
    m_samplesSeen += frames;
}

SyncMeter::Result SyncMeter::result(qint64 fromMs, qint64 toMs) const
{
    Result r;
    double sum = 0;
    for (qint64 flash : m_flashes) {
        if (flash < fromMs || flash >= toMs)
            continue;
        qint64 best = -1;
        for (qint64 click : m_clicks) {
            if (best < 0 || qAbs(click - flash) < qAbs(best - flash))
                best = click;
        }
        if (best < 0 || qAbs(best - flash) >= kMatchMs)
            continue;
        sum += best - flash;
        r.worstMs = qMax(r.worstMs, double(qAbs(best - flash)));
        ++r.marks;
    }
    r.meanMs = r.marks ? sum / r.marks : 0;
    return r;
}
