#include "obs_recording.h"

#include <QDateTime>

namespace {

QString lastRecording()
{
    char *answer = obs_frontend_get_last_recording();
    const QString path = QString::fromUtf8(answer);
    bfree(answer);
    return path;
}

} // namespace

bool ObsRecording::addChapter(const QString &name)
{
    return obs_frontend_recording_add_chapter(name.toUtf8().constData());
}

void ObsRecording::onEvent(enum obs_frontend_event event)
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    switch (event) {
    case OBS_FRONTEND_EVENT_RECORDING_STARTED:
        // "Started" comes once the output runs, close to the file's first
        // picture, and names the file ("starting" comes before the encoders).
        if (!m_track.active()) {
            m_track.started(lastRecording(), now);
            watchSplits(true);
        }
        break;
    case OBS_FRONTEND_EVENT_RECORDING_PAUSED:
    case OBS_FRONTEND_EVENT_RECORDING_UNPAUSED:
        m_track.setPaused(event == OBS_FRONTEND_EVENT_RECORDING_PAUSED, now);
        break;
    case OBS_FRONTEND_EVENT_RECORDING_STOPPED:
        watchSplits(false);
        m_track.stopped(now);
        break;
    case OBS_FRONTEND_EVENT_EXIT:
        watchSplits(false);
        break;
    default:
        break;
    }
}

void ObsRecording::watchSplits(bool on)
{
    if (m_output) {
        signal_handler_disconnect(obs_output_get_signal_handler(m_output), "file_changed", onFileChanged, this);
        obs_output_release(m_output);
        m_output = nullptr;
    }
    if (!on)
        return;
    // Held while it records: OBS makes new outputs when its settings change.
    m_output = obs_frontend_get_recording_output();
    if (m_output)
        signal_handler_connect(obs_output_get_signal_handler(m_output), "file_changed", onFileChanged, this);
}

void ObsRecording::onFileChanged(void *data, calldata_t *params)
{
    // On the output's own thread, the moment the new file begins: noted
    // here, handed to the track on the user-interface thread in the order
    // of the other events.
    auto *self = static_cast<ObsRecording *>(data);
    const QString next = QString::fromUtf8(calldata_string(params, "next_file"));
    const qint64 at = QDateTime::currentMSecsSinceEpoch();
    RecordingTrack *track = &self->m_track;
    QMetaObject::invokeMethod(track, [track, next, at] { track->fileChanged(next, at); }, Qt::QueuedConnection);
}
