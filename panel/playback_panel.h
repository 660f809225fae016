#pragma once

// The production desk below the recording bar: two lanes (each a ZKPlayer)
// on preview (PV) and program (PGM) with their monitors and a swap button,
// the timeline, the pause, monitor-audio, screen-output and stream rows,
// and the strip of input sources that loads a source into preview.
//
// Its files, by part of the desk:
//   playback_panel.cpp           construction, the rows, the settings
//   playback_panel_lanes.cpp     lanes, frame routing, the swap, audio routing, status
//   playback_panel_inputs.cpp    the backup list, the input strip, loading into preview
//   playback_panel_timeline.cpp  the timeline, the recorded length, times
//   playback_panel_outputs.cpp   monitor audio, screen output, stream controls, support dialog
// Everything runs on the user-interface thread; the players' and the
// streamer's signals reach it queued (the panel is every connection's context).

#include "recording_pause.h"

#include <QImage>
#include <QStringList>
#include <QWidget>

class FullscreenOutput;
class QCheckBox;
class QComboBox;
class QFrame;
class QHBoxLayout;
class QLabel;
class QLineEdit;
class QPushButton;
class QScreen;
class QSettings;
class QSlider;
class QTimer;
class TimelineSlider;
class VideoView;
class ZKPlayer;
class ZKStreamer;

class PlaybackPanel : public QWidget {
    Q_OBJECT
    Q_PROPERTY(qint64 recordStartSecs READ recordStartSeconds)

public:
    // One playback lane; its role (PV or PGM) is given by the panel's pointers.
    struct Channel {
        enum Type { Empty = 0, Live = 1, Video = 2, Image = 3 };
        ZKPlayer *player = nullptr; // child of the panel, created once
        Type type = Empty;
        QString path;
        QImage still;               // an Image lane's picture, RGB32
        QImage lastFrame;           // the last picture routed (an Image lane's still too)
        double durationSec = 0.0;   // 0 = unknown
        double positionSec = 0.0;
        QString nextPath;           // a Live lane: the file the recording went on in, played after this one
        QString name() const;
        // What the lane shows now: its still, or its last picture (null: black).
        QImage picture() const { return type == Image ? still : lastFrame; }
    };

    // What the host's hotkeys do: each exactly what its button does.
    enum class Shortcut { Take, InstantReplay, PausePreview, PauseProgram, ScreenOutput };

    explicit PlaybackPanel(QWidget *parent);
    ~PlaybackPanel() override;

    void trigger(Shortcut shortcut);

    qint64 recordStartSeconds() const { return recordStartSecs; }
    void onRecordingStateChanged(bool active);
    void onRecordingStarted();          // the host has named the file it writes
    void onRecordingPaused(bool paused);
    // At host exit: stops the timers, the players, the stream and the
    // screen output, so that nothing calls the host any more.
    void shutdown();
    void loadToPreview(Channel::Type type, const QString &path);
    void togglePause(Channel *ch);
    static bool isImageFile(const QString &path);
    static QString formatTime(double seconds);
    // Index of the display preselected for the screen output, given which
    // of the listed displays is the primary.
    static int defaultScreen(const QList<bool> &primary);

private slots:
    void onTake();
    void onSliderReleased();
    void onAudioDeviceChanged(int idx);
    void onMuteToggled(bool);
    void onVolumeChanged(int v);
    void showDonateDialog();
    void onToggleStream(bool on);
    void onToggleHdmi(bool on);
    void onScreenChanged(int idx);
    void onError(const QString &msg);
    void refreshTotal();

private:
    friend class TestDesk;
    friend class TestDeskOutputs;

    // Construction, one function per row.
    void buildMonitors(QHBoxLayout *row);
    QWidget *buildMonitorColumn(const QString &tag, const QString &colour, QLabel *&tagLabel, QFrame *&frame,
                                VideoView *&view);
    void buildTimeRow(QHBoxLayout *row);
    void buildControlRow(QHBoxLayout *row);
    void buildAudioRow(QHBoxLayout *row);
    void buildScreenRow(QHBoxLayout *row);
    void buildStreamRow(QHBoxLayout *row);
    QWidget *buildInputStrip();
    void createPlayers();
    void createStreamer();

    // Lanes and the swap.
    void routeFrame(Channel *ch, const QImage &frame, double ptsSec);
    void onChannelState(Channel *ch, const QString &state);
    void refreshMonitor(Channel *ch);
    void showOnOutputs(Channel *ch, const QImage &picture);
    void applyAudioRouting();
    void updateTags();
    Channel *timelineOwner();
    void showPosition(Channel *ch, double ptsSec);
    void stopEngines();
    static QString hostLastRecording(); // the file the host names as its recording; empty = none
    void checkRecordingFile();
    void continueInNextFile(Channel *ch);

    // Inputs.
    void loadBackupList();
    void saveBackupList();
    void rebuildInputButtons();
    void onAddBackup();
    void removeBackup(const QString &path);
    QWidget *buildBackupEntry(const QString &path);
    bool loadImage(const QString &path);
    bool loadVideo(const QString &path);
    bool loadLive();
    void openInPreview(Channel::Type type, const QString &path, bool follow, double startSec);

    // Timeline.
    void updateTimelineRange();

    // Monitor audio, screen output, stream.
    void refreshAudioDevices();
    void refreshScreens();
    QScreen *selectedScreen() const;
    void onFullscreenClosed();
    void onScreenRemoved(QScreen *screen);
    void onStreamState(const QString &state);
    void onStreamStats(int kbps);

    Channel channelA;
    Channel channelB;
    Channel *pgm = &channelA;
    Channel *pv = &channelB;
    // Widgets: children of the panel (through its layouts).
    VideoView *pvView = nullptr;
    VideoView *pgmView = nullptr;
    QFrame *pvFrame = nullptr;
    QFrame *pgmFrame = nullptr;
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
    QComboBox *audioDeviceCombo = nullptr;
    QPushButton *muteButton = nullptr;
    QSlider *volumeSlider = nullptr;
    QLabel *volumeLabel = nullptr;
    QPushButton *hdmiButton = nullptr;
    QComboBox *screenCombo = nullptr;
    FullscreenOutput *fullscreen = nullptr; // top level, deletes itself on close; non-owning
    QString chosenScreen;                   // the display the operator chose (or the one preselected)
    ZKStreamer *streamer = nullptr;         // child of the panel
    QLineEdit *rtmpEdit = nullptr;
    QComboBox *bitrateCombo = nullptr;
    QPushButton *streamButton = nullptr;
    QLabel *streamStatsLabel = nullptr;
    QWidget *inputsContainer = nullptr;
    QHBoxLayout *inputsLayout = nullptr;
    QStringList backupFiles;
    QTimer *totalTimer = nullptr;           // child, 1000 ms
    qint64 recordStartSecs = 0;             // epoch seconds the recording was first seen; 0 = not recording
    RecordingPause recordPause;             // while paused the file, and so the recorded length, stands still
    QString recordingPath;                  // the file the host is writing, once named; empty = none
    double recordedSecs = 0.0;              // keeps its last value after the recording stops
    bool sliderDragging = false;
};
