#include "peak_meter.h"

#include <QtGlobal>

#include <cmath>
#include <cstdlib>

void PeakMeter::add(const QByteArray &pcm)
{
    const auto *samples = reinterpret_cast<const qint16 *>(pcm.constData());
    int peak = m_peak;
    for (qsizetype i = 0, n = pcm.size() / 2; i < n; ++i)
        peak = qMax(peak, std::abs(int(samples[i])));
    m_peak = peak;
}

PeakMeter::Level PeakMeter::take()
{
    Level level;
    level.peakDb = m_peak > 0 ? qMax(kFloorDb, 20.0 * std::log10(m_peak / 32768.0)) : kFloorDb;
    m_peak = 0;
    if (level.peakDb >= m_holdDb || !m_sinceHold.isValid() || m_sinceHold.elapsed() > kHoldMs) {
        m_holdDb = level.peakDb;
        m_sinceHold.restart();
    }
    level.holdDb = m_holdDb;
    return level;
}
