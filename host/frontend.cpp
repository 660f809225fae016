#include "frontend.h"

#include "host_log.h"

#include <obs-data.h>
#include <util/bmem.h>

#include <QDockWidget>
#include <QMainWindow>

StandInFrontend &StandInFrontend::instance()
{
    static StandInFrontend frontend;
    return frontend;
}

void StandInFrontend::addCallback(obs_frontend_event_cb callback, void *data)
{
    m_callbacks.append({callback, data});
}

void StandInFrontend::removeCallback(obs_frontend_event_cb callback, void *data)
{
    m_callbacks.removeOne({callback, data});
}

void StandInFrontend::fireEvent(enum obs_frontend_event event)
{
    // A callback may add or remove callbacks: walk a copy.
    const auto callbacks = m_callbacks;
    for (const auto &entry : callbacks)
        entry.first(event, entry.second);
    if (event == OBS_FRONTEND_EVENT_EXIT)
        m_tornDown = true;
}

bool StandInFrontend::tornDown(const char *function) const
{
    // As OBS does once its frontend is gone (after the exit event).
    if (m_tornDown)
        HostLog::instance().write(LOG_WARNING, QStringLiteral("Tried to call %1 with no callbacks!").arg(function));
    return m_tornDown;
}

void StandInFrontend::addSaveCallback(obs_frontend_save_cb callback, void *data)
{
    m_saveCallbacks.append({callback, data});
}

void StandInFrontend::removeSaveCallback(obs_frontend_save_cb callback, void *data)
{
    m_saveCallbacks.removeOne({callback, data});
}

void StandInFrontend::saveData(const QString &file)
{
    obs_data_t *data = obs_data_create();
    for (const auto &entry : QVector<std::pair<obs_frontend_save_cb, void *>>(m_saveCallbacks))
        entry.first(data, true, entry.second);
    if (!obs_data_save_json_safe(data, file.toUtf8().constData(), "tmp", "bak"))
        HostLog::instance().write(LOG_WARNING, QStringLiteral("[host] cannot save %1").arg(file));
    obs_data_release(data);
}

void StandInFrontend::loadData(const QString &file)
{
    obs_data_t *data = obs_data_create_from_json_file_safe(file.toUtf8().constData(), "bak");
    if (!data)
        data = obs_data_create(); // a first run: nothing saved yet
    for (const auto &entry : QVector<std::pair<obs_frontend_save_cb, void *>>(m_saveCallbacks))
        entry.first(data, false, entry.second);
    obs_data_release(data);
}

bool StandInFrontend::addDock(const char *id, const char *title, QWidget *widget)
{
    const QString key = QString::fromUtf8(id ? id : "");
    if (m_docks.contains(key) && m_docks.value(key)) {
        HostLog::instance().write(LOG_WARNING, QStringLiteral("A dock with the id '%1' already exists").arg(key));
        return false;
    }
    if (!m_mainWindow || !widget)
        return false;
    auto *dock = new QDockWidget(QString::fromUtf8(title ? title : ""), m_mainWindow);
    dock->setObjectName(key);
    dock->setWidget(widget);
    m_mainWindow->addDockWidget(Qt::RightDockWidgetArea, dock);
    m_docks.insert(key, dock);
    return true;
}

QDockWidget *StandInFrontend::dock(const QString &id) const
{
    return m_docks.value(id);
}

Recorder &StandInFrontend::recorder()
{
    if (!m_recorder) {
        m_recorder = new Recorder;
        connectRecorder();
    }
    return *m_recorder;
}

void StandInFrontend::connectRecorder()
{
    // Recording events go out as OBS sends them: starting, started once the
    // file exists, stopping, stopped once the file is finished.
    QObject::connect(m_recorder, &Recorder::starting, m_recorder,
                     [this] { fireEvent(OBS_FRONTEND_EVENT_RECORDING_STARTING); });
    // Only a file that exists is named as the last recording.
    QObject::connect(m_recorder, &Recorder::started, m_recorder, [this] {
        m_lastRecording = m_recorder->currentFile();
        fireEvent(OBS_FRONTEND_EVENT_RECORDING_STARTED);
    });
    QObject::connect(m_recorder, &Recorder::stopping, m_recorder,
                     [this] { fireEvent(OBS_FRONTEND_EVENT_RECORDING_STOPPING); });
    QObject::connect(m_recorder, &Recorder::stopped, m_recorder,
                     [this] { fireEvent(OBS_FRONTEND_EVENT_RECORDING_STOPPED); });
    QObject::connect(m_recorder, &Recorder::failed, m_recorder, [](const QString &message) {
        HostLog::instance().write(LOG_WARNING, QStringLiteral("[host] recording: %1").arg(message));
    });
}

void StandInFrontend::startRecording()
{
    recorder().start();
}

void StandInFrontend::stopRecording()
{
    recorder().stop();
}

bool StandInFrontend::recordingActive() const
{
    if (m_simulatedActive)
        return true;
    if (!m_recorder)
        return false;
    const Recorder::State state = m_recorder->state();
    return state == Recorder::State::Recording || state == Recorder::State::Stopping;
}

QString StandInFrontend::outputPath() const
{
    switch (m_pathAnswer) {
    case PathAnswer::Null:
    case PathAnswer::Empty:
        return QString();
    case PathAnswer::RecordingFolder:
        break;
    }
    return m_recorder ? m_recorder->config().folder : QString();
}

// ---------------------------------------------------------------------------
// The frontend API as the module calls it, exported from the host executable.

namespace {

char *hostString(const QString &text)
{
    return bstrdup(text.toUtf8().constData());
}

} // namespace

extern "C" {

__attribute__((visibility("default"))) void obs_frontend_add_event_callback(obs_frontend_event_cb callback,
                                                                            void *private_data)
{
    if (StandInFrontend::instance().tornDown("obs_frontend_add_event_callback"))
        return;
    StandInFrontend::instance().addCallback(callback, private_data);
}

__attribute__((visibility("default"))) void obs_frontend_remove_event_callback(obs_frontend_event_cb callback,
                                                                               void *private_data)
{
    if (StandInFrontend::instance().tornDown("obs_frontend_remove_event_callback"))
        return;
    StandInFrontend::instance().removeCallback(callback, private_data);
}

__attribute__((visibility("default"))) void obs_frontend_add_save_callback(obs_frontend_save_cb callback,
                                                                           void *private_data)
{
    if (StandInFrontend::instance().tornDown("obs_frontend_add_save_callback"))
        return;
    StandInFrontend::instance().addSaveCallback(callback, private_data);
}

__attribute__((visibility("default"))) void obs_frontend_remove_save_callback(obs_frontend_save_cb callback,
                                                                              void *private_data)
{
    if (StandInFrontend::instance().tornDown("obs_frontend_remove_save_callback"))
        return;
    StandInFrontend::instance().removeSaveCallback(callback, private_data);
}

__attribute__((visibility("default"))) void *obs_frontend_get_main_window(void)
{
    if (StandInFrontend::instance().tornDown("obs_frontend_get_main_window"))
        return nullptr;
    return StandInFrontend::instance().mainWindow();
}

__attribute__((visibility("default"))) bool obs_frontend_add_dock_by_id(const char *id, const char *title,
                                                                        void *widget)
{
    if (StandInFrontend::instance().tornDown("obs_frontend_add_dock_by_id"))
        return false;
    return StandInFrontend::instance().addDock(id, title, static_cast<QWidget *>(widget));
}

__attribute__((visibility("default"))) bool obs_frontend_recording_active(void)
{
    if (StandInFrontend::instance().tornDown("obs_frontend_recording_active"))
        return false;
    return StandInFrontend::instance().recordingActive();
}

__attribute__((visibility("default"))) bool obs_frontend_recording_paused(void)
{
    if (StandInFrontend::instance().tornDown("obs_frontend_recording_paused"))
        return false;
    return StandInFrontend::instance().recordingPaused();
}

// The stand-in's writer keeps no chapters, as OBS's Matroska writer does not.
__attribute__((visibility("default"))) bool obs_frontend_recording_add_chapter(const char *)
{
    StandInFrontend::instance().tornDown("obs_frontend_recording_add_chapter");
    return false;
}

__attribute__((visibility("default"))) void obs_frontend_recording_start(void)
{
    if (StandInFrontend::instance().tornDown("obs_frontend_recording_start"))
        return;
    StandInFrontend::instance().startRecording();
}

__attribute__((visibility("default"))) void obs_frontend_recording_stop(void)
{
    if (StandInFrontend::instance().tornDown("obs_frontend_recording_stop"))
        return;
    StandInFrontend::instance().stopRecording();
}

__attribute__((visibility("default"))) char *obs_frontend_get_last_recording(void)
{
    if (StandInFrontend::instance().tornDown("obs_frontend_get_last_recording"))
        return nullptr;
    const QString path = StandInFrontend::instance().lastRecording();
    return path.isEmpty() ? nullptr : hostString(path);
}

// The stand-in's writer never splits its file: there is no output to watch.
__attribute__((visibility("default"))) obs_output_t *obs_frontend_get_recording_output(void)
{
    StandInFrontend::instance().tornDown("obs_frontend_get_recording_output");
    return nullptr;
}

__attribute__((visibility("default"))) char *obs_frontend_get_current_record_output_path(void)
{
    if (StandInFrontend::instance().tornDown("obs_frontend_get_current_record_output_path"))
        return nullptr;
    StandInFrontend &frontend = StandInFrontend::instance();
    if (frontend.outputPathIsNull())
        return nullptr;
    return hostString(frontend.outputPath());
}

} // extern "C"
