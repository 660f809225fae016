#pragma once

// The device a lane's sound plays on, and the clock that sound keeps: a
// push-mode QAudioSink in the engines' PCM format, and the time of the
// sound the device plays now, from the sink's count of processed time.
//
// The clock is anchored when a block of sound is about to be written (its
// time, less what the device still holds before it). The sink's count
// moves in steps as the device consumes buffers; between steps the clock
// runs on with the wall time, but a stalled device must freeze it, so never
// more than 0.6 s past the last step, unless the caller says the sound has
// run out (all of it with the device, none to come before the pictures):
// then the count standing still is the end of the sound, not a stall.
//
// Used on the user-interface thread only.

#include <QByteArray>
#include <QElapsedTimer>

class QAudioSink;
class QIODevice;

class AudioOutput {
public:
    AudioOutput() = default;
    ~AudioOutput();
    AudioOutput(const AudioOutput &) = delete;
    AudioOutput &operator=(const AudioOutput &) = delete;

    // The device: `deviceId`, or the system's default when it is empty or
    // gone, at `level` (0 to 1). A device already open is kept (its clock
    // forgotten, its level set). False when no sink could be started: no device.
    bool open(const QByteArray &deviceId, double level);
    void close(); // drops what the device still holds: never waits on it
    bool isOpen() const { return m_sink != nullptr; }
    QByteArray device() const;            // empty when none
    void setLevel(double level);          // 0 to 1
    double level() const;                 // 0 when none
    void suspend();
    void resume();
    qint64 bytesFree() const;
    qint64 write(const char *data, qint64 size); // what the device took
    qint64 playedUs() const;                      // since it was opened; -1 when none
    int stateCode() const;                        // QAudio::State, -1 when none (for the log)

    // The clock.
    bool clockValid() const { return m_valid && m_sink; }
    void anchor(double pts); // the next byte written plays at `pts`
    void invalidateClock();
    double clockSec(bool soundRanOut);
    double rawClockSec() const; // without the interpolation between steps (for the log)
    void resumed() { m_stepTimer.restart(); } // the count stood still while suspended

private:
    QAudioSink *m_sink = nullptr;
    QIODevice *m_io = nullptr; // owned by m_sink
    bool m_valid = false;
    double m_anchorPts = 0.0;
    qint64 m_anchorUs = 0;
    qint64 m_lastDelta = -1;
    double m_lastClock = 0.0;
    QElapsedTimer m_stepTimer;
    QElapsedTimer m_sinceDryAnchor; // since anchoring on a sink that had run dry: its count may leap
};
