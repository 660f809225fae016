#pragma once

// ZKStreamer pushes the program output to an RTMP server. The panel hands
// it every PGM picture, stamped with the moment it was shown, and every
// block of PGM audio, stamped with the moment it is heard (ShowClock); a
// worker thread places both on the stream's time by those stamps, so that
// sound and picture stay in step whatever program did before (a pause, a
// still, slow motion, a lane with no device). It keeps the sound
// continuous (silence where program has none, late sound cut), encodes
// pictures as they come, writes both through a StreamCtx, reports its
// state and bit rate, and reconnects by itself every 2 s after a failure. Pushing never waits on the network, and
// stopping never waits on it either: every blocking FFmpeg call of the
// worker is interrupted by a stop (a healthy connection gets a moment to
// close properly), and the server's name is looked up on a helper thread
// that a stop does not wait for.

#include "zk_media.h"
#include "zk_picture.h"

#include <QByteArray>
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
    void pushFrame(const Picture &frame, qint64 shownNs = ShowClock::nowNs());
    void pushAudio(const QByteArray &pcm, qint64 playsAtNs = ShowClock::nowNs());
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
    struct Shown {
        Picture picture;
        qint64 shownNs = 0;
    };
    struct Sound {
        QByteArray pcm;
        qint64 playsAtNs = 0;
    };
    // Per-connection state of the worker. Stream time runs from the
    // connection (startNs on the show clock).
    struct Connection {
        qint64 startNs = 0;
        qint64 samplesSent = 0; // encoded; the sound line starts here
        QByteArray line;        // sound placed, not yet encoded: contiguous from samplesSent
        qint64 lastPictureMs = -1;
        bool failed = false;
        qint64 windowStartMs = 0;
        int64_t windowBytes = 0;
    };

    void workerLoop();
    bool waitForName();
    void takeConnectingInput();
    void stream(StreamCtx &ctx, Connection &conn);
    void sendAudio(StreamCtx &ctx, qint64 t, Connection &conn);
    void placeSound(const Sound &sound, Connection &conn);
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
    std::deque<Shown> m_frames;    // (mutex) oldest first, at most 8
    std::deque<Sound> m_audio;     // (mutex) oldest first
    qsizetype m_audioBytes = 0;    // (mutex) in m_audio, at most 384000 (2 s)
    qint64 m_droppedFrames = 0;    // (mutex)
    std::atomic<qint64> m_startedAtMs{-1}; // monotonic time of start(); -1 = not started
    std::atomic<int> m_connections{0};     // connections made since start()
    bool m_pictureCleared = false; // (mutex) clearPicture() since the worker last looked

    // Worker-local, kept for the whole run of the worker.
    Picture m_lastPicture;
};
