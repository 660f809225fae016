#pragma once

// ZKPlayer plays one media file for one playback lane: a finished file, or
// the recording the host is still writing, followed behind its live edge.
//
// A decode thread (decodeLoop) reads and decodes into two bounded queues; on
// the GUI thread a pacing tick emits each picture when the master clock
// reaches it. The thread and the GUI share the queues and a few flags under
// m_mutex; every wait is bounded, and no lock is held across an FFmpeg call
// or a signal.
//
// Clocks, all in seconds on the stream's own time scale:
// - master clock (masterClockSec): the audio clock when a sink plays the
//   audio, else the wall clock. hasMasterClock() says whether there is one
//   yet; its value may be below zero (a seek close to the start, less the
//   sink's latency), and then it paces like any other.
// - wall clock: m_wallAnchorPts plus the time since m_wallTimer started,
//   at the lane's speed; anchored to the first picture shown, re-anchored by
//   big jumps and resume. A new speed takes over once the sound already
//   handed out at the old one has been heard (m_oldRateUntilPts), so that
//   no output hears it ahead of its pictures.
// - audio clock: AudioOutput's, the time of the sound the device plays now;
//   once the sound has run out before the pictures (all of it in the sink,
//   none to come before them) it runs on for as long as pictures remain:
//   the device did not stall.
//
// Program's outputs place what a lane hands out on the show clock
// (ShowClock): each picture at the moment frameReady is emitted, each
// block of sound at the moment its first sample is heard, which is now
// plus how far its time lies ahead of the master clock. A block and the
// picture of the same time in the file thus carry the same moment,
// whatever the device holds, the speed or what the lane did before.

#include "audio_output.h"
#include "tempo_filter.h"
#include "zk_picture.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

class QTimer;
class DecoderCtx;
struct AVFrame;

class ZKPlayer : public QObject {
    Q_OBJECT

public:
    struct VideoFrame {
        Picture picture; // as decoded (the decoder's YUV), shared
        double pts = 0.0;
    };
    // What the lane is doing, as its caption and the desk's status line say.
    enum class State { Playing, Following, Paused, Finished, SilentFallback };
    Q_ENUM(State)
    static QString stateText(State state);

    struct AudioChunk {
        QByteArray pcm; // the engines' PCM (zk_media.h)
        double pts = 0.0; // of the first sample; 0 when the decoder gave none
    };

    explicit ZKPlayer(QObject *parent);
    ~ZKPlayer() override;

    void open(const QString &path, bool followLive, double startSec);
    // Paused, the picture at the target is shown once decoded.
    void seek(double seconds);
    void close();
    void stopFollowing();
    void setPaused(bool paused);
    void setVolume(int percent);
    void setMuted(bool muted);
    void setAudioDevice(const QByteArray &id);
    // Slow motion: 1 (normal), 1/2, 1/4 (anything above 0 up to 1). Below 1
    // the pictures are paced at that rate on the wall clock and the sound is
    // left out (nothing to the device, nothing handed out) unless it is
    // stretched (setStretchedSound); back at 1 the sound returns in step
    // with the pictures. Kept across loads.
    void setSpeed(double speed);
    double speed() const { return m_speed; }
    // Slowed, the sound stretched to the pictures' pace at its own pitch
    // and handed out in step with them, instead of left out. Kept across loads.
    void setStretchedSound(bool on);
    // While paused: one picture forward (the next one decoded) or back (the
    // one before, decoded again from the key picture before it), exactly
    // the file's neighbour whatever the spacing. Steps asked for faster
    // than they are shown are taken one after the other.
    void step(int direction);

    bool isPlaying() const { return m_running; }
    bool isPaused() const { return m_paused; }
    bool isFollowing() const { return m_followLive; }
    int volume() const { return m_volume; }
    bool isMuted() const { return m_muted; }
    QByteArray audioDevice() const { return m_audioDeviceId; }
    // What the lane is doing now, as its outputs see it.
    double positionSec() const { return m_lastPts; } // of the picture on screen
    double clockSec();                               // the clock the pictures are paced by
    QByteArray outputDevice() const;                 // where its sound plays; empty: nowhere (none, or dropped)
    double outputVolume() const;                     // the level set on that device, 0 to 1
    qint64 soundPlayedUs() const;                    // sound that device has played since it was opened

signals:
    void frameReady(const Picture &frame, double ptsSeconds);
    // Sound handed out (to the device, or paced without one), heard at
    // `playsAtNs` on the show clock.
    void audioData(const QByteArray &pcm, qint64 playsAtNs);
    // Sound passed over unheard (slow motion), for the lane's meter.
    void audioSkipped(const QByteArray &pcm);
    void stateChanged(ZKPlayer::State state);
    void errorOccurred(const QString &message);
    void durationKnown(double seconds);

private slots:
    void onPaceTick();
    void onAudioTick();
    void onStatsTick();

private:
    // Decode thread state that lives across passes of decodeLoop.
    struct DecodeState {
        double videoSkipUntil = -1.0;
        double audioSkipUntil = -1.0;
        double decodePos = 0.0;       // presentation time of the last decoded picture
        double audioDecodePos = -1.0; // end of the last queued audio; -1 = none since the last seek
        int readErrors = 0;
        int64_t lastGoodByte = 0;
        int64_t lastHealSize = -1;
        bool warnedPicture = false;
        bool drained = false;         // the decoders gave up their last pictures at this end
        bool eofLogged = false;       // this arrival at the end was logged
        // A step back: the last picture before `holdBefore` is kept aside
        // until the decoder reaches that time, then queued (-1: none).
        double holdBefore = -1.0;
        AVFrame *held = nullptr;
        double heldPts = 0.0;

        DecodeState() = default;
        DecodeState(const DecodeState &) = delete;
        DecodeState &operator=(const DecodeState &) = delete;
        ~DecodeState();
        // Resume after a reopen: nothing already queued is queued again.
        void resumeAfterReopen();
        void landedAt(double target);
        void dropHeld();
    };
    enum class Pass { Continue, Exit };

    // False when no thread takes seeks any more. `landBefore` (a step back):
    // the picture shown is the last one earlier than that time.
    bool requestSeek(double seconds, bool sameFileOpen = false, double landBefore = -1.0);
    void stopThread();
    void clearQueues(); // m_mutex held

    void decodeLoop();
    void endThread();
    bool waitForRecording();
    bool mayRead() const; // back-pressure; m_mutex held
    void waitOnQueue(int ms);
    Pass performSeek(DecoderCtx &dec, DecodeState &st, double target, double landBefore);
    Pass handleReadError(DecoderCtx &dec, DecodeState &st, int ret);
    Pass selfHeal(DecoderCtx &dec, DecodeState &st);
    Pass reopened(DecoderCtx &dec, bool ok);
    Pass reopenAfterErrors(DecoderCtx &dec, DecodeState &st, int ret);
    void decodeVideo(DecoderCtx &dec, DecodeState &st);
    void queuePicture(DecodeState &st, const AVFrame *source, double pts);
    void queueFrame(DecodeState &st, const AVFrame *source, double pts);
    void queueHeld(DecodeState &st);
    void decodeAudio(DecoderCtx &dec, DecodeState &st);
    void queueSound(DecodeState &st, QByteArray &&pcm, bool timed, double pts);
    void drainDecoders(DecoderCtx &dec, DecodeState &st);

    void setupAudioOutput();
    void teardownAudio();
    void resetPlaybackClocks();
    void applyClockReset();
    bool hasMasterClock() const;
    bool waitingForAudioClock() const;
    double masterClockSec();    // m_mutex held
    void anchorWall(double pts); // the wall clock stands at `pts` now
    double wallSecondsUntil(double pts, double clock) const; // on the wall clock, from `clock`
    // Handed out: the sound up to `pts`, made at the speed of now.
    void heardUntil(double pts)
    {
        m_heardUntilPts = pts;
        m_heardRate = m_speed;
    }
    bool soundRanOut() const;   // m_mutex held: every block of sound is in the sink, none comes before the pictures
    bool takeDueFrame(VideoFrame &out); // m_mutex held
    void checkFinished();
    void scheduleNextTick();
    void paceAudioSilently();
    void dropSoundWhileSlow();
    void playStretched();
    void dropStretched(); // the filter and what it made: a new rate or place starts afresh
    void showSteppedPicture();
    void takeStep(int direction);
    void resetSteps();
    void dropSoundBefore(double pts); // m_mutex held
    qint64 playsAtNs(double pts);
    bool fetchAudioChunk();
    void applySinkVolume();
    void dropStalledDevice(qint64 frozenUs);

    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::atomic<bool> m_running{false};
    std::atomic<bool> m_stopRequested{false};
    double m_seekTarget = -1.0;                 // (mutex)
    std::deque<VideoFrame> m_videoQueue;        // (mutex)
    std::deque<AudioChunk> m_audioQueue;        // (mutex)
    double m_queuedAudioSec = 0.0;              // (mutex)
    bool m_clockResetPending = false;           // (mutex)
    bool m_eof = false;                         // (mutex)
    bool m_seekPending = false;                 // (mutex) requested, not yet done: nothing old leaves
    bool m_acceptsSeeks = false;                // (mutex) the decode thread will still take a seek
    double m_seekLandBefore = -1.0;             // (mutex) the seek waiting is a step back from this time
    std::atomic<bool> m_seekWaiting{false};     // a seek waits: a read at the live edge gives up
    QString m_path;
    std::atomic<bool> m_followLive{false};
    std::atomic<bool> m_videoOnly{false};
    double m_startSec = -1.0;
    std::atomic<int> m_videoWidth{0};
    std::atomic<int> m_videoHeight{0};
    std::atomic<bool> m_hasAudio{false};
    // Polls every kPaceMs while no picture's time is known (no clock, none
    // queued, a seek landing); otherwise wakes when the next one is due.
    static constexpr int kPaceMs = 8;
    QTimer *m_paceTimer = nullptr;  // child, precise
    QTimer *m_audioTimer = nullptr; // child, 15 ms precise
    QTimer *m_statsTimer = nullptr; // child, 2000 ms
    bool m_paused = false;
    double m_speed = 1.0;
    bool m_stepPending = false; // a step asked for while paused, its picture not shown yet
    int m_stepsWaiting = 0;     // steps asked for meanwhile (back below zero)
    bool m_stepped = false;     // stepped since the pause: the sound starts again at the picture
    std::atomic<double> m_frameSec{1.0 / 30}; // one picture's duration, from the stream's rate
    double m_lastPts = 0.0;
    std::atomic<bool> m_finishedReported{false};
    double m_expectedAudioPts = -1.0;
    QElapsedTimer m_wallTimer;
    double m_wallAnchorPts = 0.0;
    double m_oldRateUntilPts = -1.0; // the wall clock runs at m_oldRate up to here; -1: none
    double m_oldRate = 1.0;
    double m_heardUntilPts = -1.0;   // the end of the sound handed out; -1: none since the clock's reset
    double m_heardRate = 1.0;        // the speed it was made at
    QElapsedTimer m_sinceClockReset; // how long the first picture has waited for the audio clock
    AudioOutput m_output; // the lane's device and the audio clock
    QByteArray m_pendingPcm;
    double m_pendingPts = 0.0; // of m_pendingPcm's first sample
    bool m_stretchSound = false;
    TempoFilter m_tempo;         // while slowed and stretching
    QByteArray m_stretched;      // stretched sound not handed out yet
    double m_stretchedPts = -1;  // the time in the file its first sample stands for; -1: none yet
    int m_volume = 80;
    bool m_muted = false;
    QByteArray m_audioDeviceId;
    qint64 m_lastProcUs = -1;
};
