#pragma once

// The desk's door to the host's recording. The dock hands the panel one
// that talks to OBS; the tests hand it the same over the stand-in
// frontend. The door feeds the track from the host's events; the desk asks
// the track what the recording is, and the door for what only the host
// can do. Called on the user-interface thread only.

#include <QString>

class RecordingTrack;

class HostRecording {
public:
    virtual ~HostRecording() = default;
    // The recording as it goes: its files, length, pauses and marks.
    virtual RecordingTrack &track() = 0;
    // A chapter named `name` at this moment of the recording; false where
    // the host's recording format keeps no chapters.
    virtual bool addChapter(const QString &name) = 0;
};
