#pragma once

// Time the host's recording has spent paused. OBS's file does not grow
// while the recording is paused, so the recorded length is the wall time
// since the start less this; during a pause it stands still.

#include <QtGlobal>

struct RecordingPause {
    qint64 totalMs = 0; // pauses that have ended
    qint64 sinceMs = 0; // when the pause under way began; 0 = not paused

    void set(bool paused, qint64 nowMs)
    {
        if (paused && sinceMs == 0) {
            sinceMs = nowMs;
        } else if (!paused && sinceMs != 0) {
            totalMs += nowMs - sinceMs;
            sinceMs = 0;
        }
    }
    void clear() { *this = RecordingPause(); }
    qint64 heldMs(qint64 nowMs) const { return totalMs + (sinceMs ? nowMs - sinceMs : 0); }
    // Seconds recorded by `nowMs` of a recording that started at `startSecs`.
    double recordedSecs(qint64 startSecs, qint64 nowMs) const
    {
        return qMax<qint64>(0, nowMs - startSecs * 1000 - heldMs(nowMs)) / 1000.0;
    }
};
