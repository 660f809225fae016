#pragma once

// The host's recording as the desk asks for it, answered by OBS's frontend.

#include "host_recording.h"
#include "obs_compat.h"

class ObsRecording : public HostRecording {
public:
    bool active() const override { return obs_frontend_recording_active(); }
    bool paused() const override { return obs_frontend_recording_paused(); }
    QString file() const override
    {
        char *answer = obs_frontend_get_last_recording();
        const QString path = QString::fromUtf8(answer);
        bfree(answer);
        return path;
    }
};
