#pragma once

// ZKStreamer pushes the program output to an RTMP server. The panel hands
// it every PGM picture and every block of PGM audio; a worker thread paces
// audio by the wall clock, encodes pictures as they come, writes both
// through a StreamCtx, reports its state and bit rate, and reconnects by
// itself every 2 s after a failure. Pushing never waits on the network, and
// stopping never waits on it either: every blocking FFmpeg call of the
// worker is interrupted by a stop (a healthy connection gets a moment to
// close properly), and the server's name is looked up on a helper thread
// that a stop does not wait for.

#include <QByteArray>
#include <QImage>
#include <QObject>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

class StreamCtx;

class ZKStreamer : public QObject {
    Q_OBJECT

public:
    explicit ZKStreamer(QObject *parent = nullptr);
    ~ZKStreamer() override;

    void start(const QString &url, int kbps);
    void stop();
    bool isStreaming() const { return m_running; }
    void pushFrame(const QImage &frame);
    void pushAudio(const QByteArray &pcm);
    // The program has no picture (a lane just loaded): black from now on,
    // until the next pushFrame.
    void clearPicture();

    // The URL as it may appear in a log: the stream key (the last path
    // segment), any query and any password replaced, the server and
    // application kept.
    static QString maskedUrl(const QString &url);

    // How the stream has fared since start(): time since then, pictures
    // dropped on the way in (the worker fell behind), and connections made
    // again after one was lost or refused. Any thread.
    struct Health {
        qint64 liveMs = 0;
        qint64 droppedPictures = 0;
        int reconnects = 0;
    };
    Health health() const;

signals:
    void stateChanged(const QString &state);
    void statsUpdated(int kbps);

private:
    // Per-connection state of the worker.
    struct Connection {
        qint64 startMs = 0;
        qint64 samplesSent = 0;
        qint64 lastPictureMs = -1;
        bool failed = false;
        qint64 windowStartMs = 0;
        int64_t windowBytes = 0;
    };

    void workerLoop();
    bool waitForName();
    void takeConnectingInput();
    void stream(StreamCtx &ctx, qint64 nowMs, Connection &conn);
    void sendAudio(StreamCtx &ctx, qint64 t, Connection &conn);
    void sendPicture(StreamCtx &ctx, qint64 t, Connection &conn);
    void reportStats(StreamCtx &ctx, qint64 t, Connection &conn);
    void sleepUnlessStopped(int ms);
    static int interruptCallback(void *opaque);

    std::thread m_thread;
    mutable std::mutex m_mutex;
    std::condition_variable m_cv;
    std::atomic<bool> m_running{false};
    std::atomic<bool> m_stopRequested{false};
    std::atomic<qint64> m_stopAtMs{-1};      // monotonic time of the stop request
    std::atomic<bool> m_closingHealthy{false}; // the worker is saying goodbye to the server
    QString m_url;
    int m_kbps = 4000;
    std::deque<QImage> m_frames;   // (mutex) oldest first, at most 8
    QByteArray m_audio;            // (mutex) s16 stereo 48 kHz, at most 384000 bytes
    qint64 m_droppedFrames = 0;    // (mutex)
    std::atomic<qint64> m_startedAtMs{-1}; // monotonic time of start(); -1 = not started
    std::atomic<int> m_connections{0};     // connections made since start()
    bool m_pictureCleared = false; // (mutex) clearPicture() since the worker last looked

    // Worker-local, kept for the whole run of the worker.
    QImage m_lastPicture;
    QByteArray m_silence;
};
