#pragma once

// The frontend side of the stand-in host: what the OBS application does for
// a module through obs-frontend-api (event callbacks, the main window, docks,
// the recording). The extern "C" obs_frontend_* functions in frontend.cpp
// forward here. Tests drive it directly to make every situation a module can
// meet: no main window, events at any time, unusual output paths.

#include "recorder.h"

#include <obs-frontend-api.h>

#include <QDockWidget>
#include <QMainWindow>
#include <QMap>
#include <QPointer>
#include <QString>
#include <QVector>

#include <utility>


class StandInFrontend {
public:
    // What obs_frontend_get_current_record_output_path answers.
    enum class PathAnswer { RecordingFolder, Null, Empty };

    static StandInFrontend &instance();

    void addCallback(obs_frontend_event_cb callback, void *data);
    void removeCallback(obs_frontend_event_cb callback, void *data);
    void fireEvent(enum obs_frontend_event event);
    // After the exit event the frontend is gone, as in OBS: a call logs
    // "Tried to call ... with no callbacks!" and answers nothing.
    bool tornDown(const char *function) const;

    // What OBS keeps in its scene collection: the modules' save callbacks
    // fill it on save and read it back on load, here as a JSON file.
    void addSaveCallback(obs_frontend_save_cb callback, void *data);
    void removeSaveCallback(obs_frontend_save_cb callback, void *data);
    void saveData(const QString &file);
    void loadData(const QString &file);

    void setMainWindow(QMainWindow *window) { m_mainWindow = window; }
    QMainWindow *mainWindow() const { return m_mainWindow; }

    bool addDock(const char *id, const char *title, QWidget *widget);
    QDockWidget *dock(const QString &id) const;
    QStringList dockIds() const { return m_docks.keys(); }

    // The recorder whose start and stop the frontend calls request.
    Recorder &recorder();
    void startRecording();
    void stopRecording();
    bool recordingActive() const;
    QString lastRecording() const { return m_lastRecording; }

    void setPathAnswer(PathAnswer answer) { m_pathAnswer = answer; }
    QString outputPath() const;
    bool outputPathIsNull() const { return m_pathAnswer == PathAnswer::Null; }

    // Makes the host report recording active or not without writing a file;
    // no event is sent (the caller sends what it wants to test).
    void simulateRecording(bool active) { m_simulatedActive = active; }
    // Its recordings are never paused (real OBS's are, in test_obs).
    bool recordingPaused() const { return false; }

private:
    StandInFrontend() = default;
    void connectRecorder();

    QVector<std::pair<obs_frontend_event_cb, void *>> m_callbacks;
    QVector<std::pair<obs_frontend_save_cb, void *>> m_saveCallbacks;
    QPointer<QMainWindow> m_mainWindow;
    QMap<QString, QPointer<QDockWidget>> m_docks;
    Recorder *m_recorder = nullptr; // lives until the process ends
    QString m_lastRecording;
    PathAnswer m_pathAnswer = PathAnswer::RecordingFolder;
    bool m_simulatedActive = false;
    bool m_tornDown = false;
};
