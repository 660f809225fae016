#pragma once

// A lane's sound level as its monitor shows it: the highest sample of the
// sound handed out since the last picture, in dBFS, with the highest of
// the last 1.5 s held above it. Fed whether or not the lane is heard.

#include <QByteArray>
#include <QElapsedTimer>

class PeakMeter {
public:
    static constexpr double kFloorDb = -60.0; // at or below: no bar
    static constexpr qint64 kHoldMs = 1500;

    struct Level {
        double peakDb = kFloorDb;
        double holdDb = kFloorDb;
        bool shown() const { return holdDb > kFloorDb; }
    };

    // A block of the engines' PCM (16-bit interleaved).
    void add(const QByteArray &pcm);
    // The level since the last call (one a picture); the block peak starts over.
    Level take();
    void reset() { *this = PeakMeter(); }

private:
    int m_peak = 0; // highest |sample| since the last take
    double m_holdDb = kFloorDb;
    QElapsedTimer m_sinceHold;
};
