#pragma once

// The door to OBS's recording: it feeds the recording track from OBS's
// frontend events (started, paused, unpaused, stopped) and from the
// recording output's own word that it split into a new file (its signal
// "file_changed", sent on the output's thread), and asks OBS for chapters.

#include "host_recording.h"
#include "obs_compat.h"
#include "recording_track.h"

class ObsRecording : public HostRecording {
public:
    ObsRecording() = default;
    ~ObsRecording() override { watchSplits(false); }
    ObsRecording(const ObsRecording &) = delete;
    ObsRecording &operator=(const ObsRecording &) = delete;

    RecordingTrack &track() override { return m_track; }
    bool addChapter(const QString &name) override;

    // Every recording event, from the module's load on (before any desk
    // exists) until the host exits.
    void onEvent(enum obs_frontend_event event);

private:
    static void onFileChanged(void *data, calldata_t *params);
    void watchSplits(bool on);

    RecordingTrack m_track;
    obs_output_t *m_output = nullptr; // the recording output, held while it records
};
