#pragma once

// The production desk below the recording bar.
//
// Who owns what:
//   PlaybackPanel (playback_panel.cpp)   the two lanes and their roles (PV, PGM), the monitors,
//                                        the swap, the pause and loop row, the status line
//   playback_panel_timeline.cpp          the timeline, the time row, the lanes that follow the host's
//                                        recording through its files, the marks (all asked of the
//                                        RecordingTrack that the dock's HostRecording feeds), the
//                                        clip's points, and the clip and reel exports (ClipExport)
//   ProgramOutputs                       the one path of program: PGM monitor, full-screen window, streamer,
//                                        and a tap (the host's program source)
//   MonitorAudio                         device, volume, mute (applied to the lanes by the panel)
//   ScreenOutput                         the output button, the display list, the chosen display, the window
//   StreamControls                       address, bit rate, button, readout, and the streamer itself
//   InputStrip                           instant replay, the backup list, the file dialog
// The rows report through signals; only the panel writes the status line.
//
// Where a picture travels: ZKPlayer::frameReady (queued to the GUI thread)
// -> routeFrame: kept as the lane's last picture, then to the PV monitor if
// the lane is on preview, or to ProgramOutputs::show if it is on program,
// which hands the same shared image to the PGM monitor, the window, the
// streamer and the tap. A lane's sound: ZKPlayer::audioData -> the lane's
// meter, and ProgramOutputs::play when the lane is on program (the monitor
// device hears it from the player's own sink; preview's sink is muted). A swap exchanges the two
// role pointers and shows each lane's last picture on its new outputs.

#include "clip_export.h"
#include "peak_meter.h"
#include "recording_track.h"
#include "zk_player.h"

#include <QElapsedTimer>
#include <QJsonObject>
#include <QVector>
#include <QWidget>

class HostRecording;
class InputStrip;
class MonitorAudio;
class ProgramOutputs;
class ProgramTap;
class QCheckBox;
class QFrame;
class QHBoxLayout;
class QLabel;
class QPushButton;
class QTimer;
class QVBoxLayout;
class ScreenOutput;
class StreamControls;
class TimelineSlider;
class VideoView;

class PlaybackPanel : public QWidget {
    Q_OBJECT

public:
    // One playback lane; its role (PV or PGM) is given by the panel's pointers.
    struct Channel {
        enum Type { Empty = 0, Live = 1, Video = 2, Image = 3 };
        ZKPlayer *player = nullptr; // child of the panel, created once
        Type type = Empty;
        QString path;
        Picture still;              // an Image lane's picture
        Picture lastFrame;          // the last picture routed (an Image lane's still too)
        double durationSec = 0.0;   // 0 = unknown
        double positionSec = 0.0;
        double speed = 1.0;         // slow motion: 1, 1/2 or 1/4; a new source starts at 1
        // A replay of a moment (seconds back, or from a mark): the recording's
        // live edge when it was asked for, where the replay ends. None (no
        // file) for the delayed live lane, which plays on.
        RecordingTrack::Position replayEnd;
        PeakMeter meter;            // its sound since its level was last shown
        PeakMeter::Level level;     // as its monitor shows it
        QElapsedTimer sinceLevel;   // since `level` was taken
        QString name() const;
        // What the lane shows now: its still, or its last picture (null: black).
        Picture picture() const { return type == Image ? still : lastFrame; }
    };

    // What the host's hotkeys do: each exactly what its button does.
    // Beyond the buttons: slow motion of either lane, a picture back or
    // forward on the paused timeline lane, a mark in the recording and the
    // instant replay from the marks, the in and out points of a clip and
    // its export (pressed again while it runs: cancelled), the reel of the
    // marks; back from a
    // replay to what program showed before it, at once or (a setting,
    // switched on and off) when the replay ends; the sound kept while slowed
    // (a setting too).
    enum class Shortcut {
        Take, InstantReplay, PausePreview, PauseProgram, ScreenOutput,
        SlowPreview, SlowProgram, StepBack, StepForward, Mark, ReplayMark,
        SetIn, SetOut, ExportClip, ReturnToLive, ReturnAfterReplay, Reel, SlowSound
    };

    // `host` outlives the panel.
    PlaybackPanel(HostRecording *host, QWidget *parent);
    ~PlaybackPanel() override;

    void trigger(Shortcut shortcut);
    const Channel &programLane() const { return *pgm; }
    const Channel &previewLane() const { return *pv; }

    // At host exit: stops the timers, the players, the stream and the
    // screen output, so that nothing calls the host any more.
    void shutdown();
    void loadToPreview(Channel::Type type, const QString &path);
    // Program also goes to `tap` (null: to none); it outlives the panel or is removed first.
    void setProgramTap(ProgramTap *tap);
    static QString formatTime(double seconds);

    // A remote control's request (obs-websocket's vendor "zerka"): its
    // parameters are checked before anything changes; the answer is the
    // request's result, or {"error": why} with the desk unchanged.
    QJsonObject request(const QString &type, const QJsonObject &params);
    static QStringList requestTypes();

signals:
    // For remote controls: "ProgramChanged" after a swap, "LaneFinished"
    // when a lane's source played to its end, "ExportFinished" when a clip
    // export ended (its file, or why not).
    void remoteEvent(const QString &type, const QJsonObject &data);

private:
    // Construction.
    QVBoxLayout *buildMonitorColumn(const QString &tag, const QString &colour, QLabel *&tagLabel, VideoView *&view);
    void buildMonitors(QHBoxLayout *row);
    void buildTimeRow(QHBoxLayout *row);
    void buildControlRow(QHBoxLayout *row);
    void showDonateDialog();
    void createPlayers();

    // Lanes and the swap.
    void onTake();
    bool returnToLive();
    bool canReturn() const
    {
        return before.lane == pv && before.type != Channel::Empty && pv->type == before.type && pv->path == before.path;
    }
    // The desk's switches, each stored, turned by a hotkey or a remote request.
    enum class Option { ReturnAfterReplay, SlowSound };
    void setOption(Option option, bool on);
    void togglePause(Channel *ch);
    void stepSpeed(Channel *ch);
    void atNormalSpeed(Channel *ch);
    void routeFrame(Channel *ch, const Picture &frame, double ptsSec);
    void showLevel(Channel *ch);
    void refreshIdleMeters();
    void onChannelState(Channel *ch, ZKPlayer::State state);
    void showOnOutputs(Channel *ch, const Picture &picture);
    VideoView *monitorOf(const Channel *ch) const { return ch == pgm ? pgmView : pvView; }
    void applyAudioRouting();
    void updateTags();
    void setStatus(const QString &text);
    void onError(const QString &msg);
    void onStreamHealth(const QString &text);
    void stopEngines();

    // Inputs.
    bool loadImage(const QString &path);
    bool loadVideo(const QString &path);
    bool loadLive(double secondsBack = 0);           // behind the live edge (0: as the button does)
    bool loadLive(const RecordingTrack::Position &at); // a moment of the recording
    void endReplayAtLiveEdge();                      // of the replay just loaded into preview
    void reachedReplayEnd(Channel *ch);
    bool refuseMissing(const QString &path);
    void startNewSource(const Picture &still);  // the preview lane forgets the source before
    void previewLoaded(const QString &detail); // status line, titles, timeline after a load
    void openInPreview(Channel::Type type, const QString &path, bool follow, double startSec);

    // Timeline and the host's recording.
    RecordingTrack &track() const;
    Channel *timelineOwner();
    double laneLength(const Channel *ch) const;
    void updateTimelineRange();
    void showPosition(Channel *ch, double ptsSec);
    void onSliderReleased();
    void refreshTotal();
    void onFileFinished(const QString &finished);
    bool continueInNextFile(Channel *ch);
    void addMark();
    bool replayFromMark(int index = -1); // -1: the newest (again soon after: the one before)
    QJsonObject laneState(const Channel *ch) const;
    bool setClipPoint(bool in);
    bool exportClip(); // starts the export of the clip, or cancels the running one
    bool playReel();   // the marks' reel made and loaded into preview, or the running export cancelled
    bool cancelExport(); // false when none runs
    void startExport(const ClipExport::Request &request, int reelMarks);
    void onExportEnded(const QJsonObject &result);

    HostRecording *host;
    Channel channelA;
    Channel channelB;
    Channel *pgm = &channelA;
    Channel *pv = &channelB;
    VideoView *pvView = nullptr;
    VideoView *pgmView = nullptr;
    QLabel *pvTag = nullptr;
    QLabel *pgmTag = nullptr;
    QPushButton *takeButton = nullptr;
    TimelineSlider *timeline = nullptr;
    QLabel *posLabel = nullptr;
    QLabel *totalLabel = nullptr;
    QLabel *delayLabel = nullptr;
    QLabel *statusLabel = nullptr;
    QPushButton *pvPauseButton = nullptr;
    QPushButton *pgmPauseButton = nullptr;
    QCheckBox *loopCheck = nullptr;
    MonitorAudio *audio = nullptr;
    ScreenOutput *screen = nullptr;
    StreamControls *stream = nullptr;
    InputStrip *inputs = nullptr;
    ProgramOutputs *outputs = nullptr;
    QTimer *totalTimer = nullptr;           // child, 1000 ms
    QTimer *meterTimer = nullptr;           // child: the meters of lanes that show no pictures
    QElapsedTimer sinceStatus;              // since a message other than the stream's stood on the status line
    bool sliderDragging = false;
    // A clip of one file, from the picture at `in` to the one at `out`, both
    // included (seconds in the file; -1: not set). A point set in another
    // file starts a new clip.
    struct ClipPoints {
        QString file;
        double in = -1, out = -1;
    } clip;
    ClipExport *exporter = nullptr;         // child
    int exportingReel = 0;                  // the marks in the reel being made; 0: a clip
    // What program showed before the last swap: that lane, now preview,
    // while it still holds that source (a swap back returns to it, at the
    // delay it had, since it played on). Cleared by the return.
    struct ReturnPoint {
        const Channel *lane = nullptr;
        Channel::Type type = Channel::Empty;
        QString path;
    } before;
    bool returnAfterReplay = false;         // stored; off by default
    bool slowSound = false;                 // slowed lanes keep their sound, stretched; stored, off by default
    int markReplayed = -1;                  // the mark the instant replay came from last
    QElapsedTimer sinceMarkReplay;
};
