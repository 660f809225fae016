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
    qint64 startedMs() const override { return m_startedMs; }
    bool addChapter(const QString &name) override
    {
        return obs_frontend_recording_add_chapter(name.toUtf8().constData());
    }

    // Fed every recording event, from the module's load on (before any desk
    // exists); it asks OBS nothing, since the frontend may not be ready.
    // "Started" comes once the output runs, close to the file's first
    // picture ("starting" comes before the encoders are up).
    void onEvent(enum obs_frontend_event event)
    {
        if (event == OBS_FRONTEND_EVENT_RECORDING_STARTED && m_startedMs == 0)
            m_startedMs = QDateTime::currentMSecsSinceEpoch();
        else if (event == OBS_FRONTEND_EVENT_RECORDING_STOPPED)
            m_startedMs = 0;
    }

private:
    qint64 m_startedMs = 0;
};
