#pragma once

// The operator of the test-only OBS module (zerka_operator.cpp): plays the
// desk through its own widgets and hotkeys, step after step, and writes
// down what it saw. Its jobs: zerka_operator.cpp; the show: bench/show_job.cpp.

#include "zk_picture.h"

#include <obs-frontend-api.h>
#include <obs-module.h>

#include "hotkey_by_name.h"
#include "websocket_client.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QDockWidget>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QJsonArray>
#include <QMetaEnum>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QPixmap>
#include <QScreen>
#include <QSlider>
#include <QTimer>

#include <functional>
#include <vector>


void say(const QString &text); // a line of the operator's in OBS's log

class Operator : public QObject {
    Q_OBJECT

public:
    explicit Operator(const QString &job) : QObject(nullptr), m_job(job)
    {
        m_out = QDir(qEnvironmentVariable("ZK_OPERATOR_OUT", QDir::tempPath()));
        m_out.mkpath(QStringLiteral("."));
    }

    void start();

private slots:
    void onFrame(const Picture &, double pts);
    void onState(int state); // a ZKPlayer::State, read by its key

private:
    // One step of a job: `run` is called every 50 ms with the time since the
    // step began until it answers true; past `timeoutMs` the job fails.
    struct Step {
        QString what;
        std::function<bool(qint64 elapsedMs)> run;
        qint64 timeoutMs;
    };
    void act(const QString &what, std::function<void()> action);
    void wait(qint64 ms);
    void waitUntil(const QString &what, std::function<bool()> condition, qint64 timeoutMs);
    // `action` once the recording under way has run `ms`.
    void at(qint64 ms, const QString &what, std::function<void()> action);
    void tick();
    void fail(const QString &why);
    void quit();

    QMainWindow *mainWindow() const { return static_cast<QMainWindow *>(obs_frontend_get_main_window()); }
    static QString lastRecording()
    {
        char *file = obs_frontend_get_last_recording();
        const QString path = QString::fromUtf8(file);
        bfree(file);
        return path;
    }
    QDockWidget *dock() const;
    QWidget *desk() const;
    QWidget *panel() const;
    QAbstractButton *button(const QString &start) const;
    QString labelText(const char *name) const;
    void click(const QString &start);
    void startStream(const QString &url); // program to `url` with the stream row
    void stopOutputs();                   // the stream and the screen output, where on
    void showDock();
    void timelineSeek(int seconds);

    void planDemo(int scale);
    void planFormats();
    void planRounds();
    void planRound(const QString &format, bool pause);
    void planRecording(const QString &round, const QString &format, const QString &what);
    void planStop();
    void planSplit();
    void planRoad();
    void planFeatures();
    void planRemote();
    // A request to Zerka's obs-websocket vendor; its answer kept under `id`.
    void remote(const QString &id, const char *type, const QJsonObject &params = {});
    static bool showsProgramScene();
    void planShow(int minutes); // bench/show_job.cpp
    void keepFrames(int ends);
    void triggerHotkey(const char *name);
    void setScene(const char *name);
    void note(const QString &key, const QJsonValue &value);
    void noteSoon(const char *key, const char *label);
    void useProfile(const QString &name);
    void screenshots(const QString &suffix = QString());
    void writeResults();

    QString m_job;
    QDir m_out;
    std::vector<Step> m_steps;
    size_t m_next = 0;
    QElapsedTimer m_stepClock;
    QTimer m_ticker;
    bool m_failed = false;

    // What the lanes showed: per player, [wall ms, pts] since the last mark.
    QElapsedTimer m_wall;
    QElapsedTimer m_recording; // since the recording under way started
    QHash<QObject *, QJsonArray> m_frames;
    QHash<QObject *, int> m_finished;
    QJsonArray m_rounds;
    QJsonObject m_round;
    QJsonObject m_results;
    // The remote control: obs-websocket's answers by request id, and the
    // vendor's events.
    WebSocketClient m_ws;
    QJsonObject m_answers;
    QJsonArray m_events;
};
