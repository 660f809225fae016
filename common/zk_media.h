#pragma once

// The vocabulary the player and the streamer share: the PCM every lane
// produces and the stream consumes, the clock on which program's pictures
// and sound are placed, and the text of an FFmpeg error.

#include <QString>

#include <chrono>
#include <vector>

namespace Pcm {
constexpr int kSampleRate = 48000;
constexpr int kChannels = 2;
constexpr int kBytesPerSample = 2;                          // signed 16-bit, interleaved
constexpr int kBytesPerFrame = kChannels * kBytesPerSample; // 4
constexpr int kBytesPerSecond = kSampleRate * kBytesPerFrame; // 192000

constexpr double seconds(qsizetype bytes) { return double(bytes) / kBytesPerSecond; }
// Whole frames, so that a cut never splits a sample pair.
constexpr qsizetype bytesFor(double seconds) { return qsizetype(seconds * kSampleRate) * kBytesPerFrame; }
} // namespace Pcm

// The clock every program output places pictures and sound on: a picture
// is stamped with the moment it is shown, a block of sound with the moment
// its first sample is heard (or would be, on a lane without a device).
// Nanoseconds of the system's monotonic clock; any thread.
namespace ShowClock {
inline qint64 nowNs()
{
    using namespace std::chrono;
    return duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count();
}
} // namespace ShowClock

// Remembers which errors of a repeated call were already logged, so that a
// run of damaged packets logs each kind of failure once, not once a packet.
class ErrorKinds {
public:
    // True the first time `code` is seen.
    bool first(int code)
    {
        for (int seen : m_seen)
            if (seen == code)
                return false;
        m_seen.push_back(code);
        return true;
    }

private:
    std::vector<int> m_seen;
};

// FFmpeg's own words for an error code (av_strerror).
QString avErrStr(int code);
inline QString ffErr(int code) { return avErrStr(code); }
