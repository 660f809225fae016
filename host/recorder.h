#pragma once

// The host's recording: a real media file that grows in real time, written
// by the FFmpeg command-line tool the way OBS writes its recordings
// (H.264 + AAC, Matroska or fragmented MP4). The source is a moving test
// picture with a burnt-in clock and a tone, or a media file looped in real
// time. A stop sends the writer SIGTERM, on which it finishes the file.

#include <QObject>
#include <QProcess>
#include <QSize>
#include <QTimer>

struct RecorderConfig {
    QString folder;                    // where recordings go
    QString container = "mkv";         // "mkv" or "fmp4"
    QSize size{1280, 720};
    int fps = 30;
    QString source;                    // empty: test picture and tone
    QString ffmpeg = "ffmpeg";
};

class Recorder : public QObject {
    Q_OBJECT

public:
    enum class State { Idle, Starting, Recording, Stopping };

    explicit Recorder(QObject *parent = nullptr);
    ~Recorder() override;

    void setConfig(const RecorderConfig &config) { m_config = config; }
    const RecorderConfig &config() const { return m_config; }

    // Requests only; the outcome comes as signals.
    bool start();
    void stop();
    // Stops and waits until the file is finished (used at host exit).
    void stopAndWait(int timeoutMs = 10000);

    State state() const { return m_state; }
    QString currentFile() const { return m_file; }

signals:
    void starting();
    void started();              // the writer has created the file
    // stopped(false) without stopping(): the writer never got going.
    void stopping();
    void stopped(bool clean);    // the writer has ended and the file is closed
    void failed(const QString &message);
    void previewFrame(const QImage &picture); // what is being recorded, small, about 10 a second

private:
    QStringList buildArguments() const;
    QString nextFileName() const;
    void onPoll();
    void failStart(const QString &message);
    void readPreview();
    QString previewFile() const;
    void onFinished(int exitCode, QProcess::ExitStatus status);

    RecorderConfig m_config;
    QProcess *m_process = nullptr; // child of this
    QTimer *m_poll = nullptr;      // child of this
    State m_state = State::Idle;
    QString m_file;
    int m_pollCount = 0;
    QString m_stderr;
    QTimer *m_previewTimer = nullptr; // child of this
};
