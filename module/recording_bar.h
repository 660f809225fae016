#pragma once

// The strip under the dock's title: starts and stops the host's recording
// and, while the host records, shows the recorded time (held while the
// host pauses) and the output path. It asks the recording track, so it
// follows recordings started from the host's own controls too.

#include <QWidget>

class RecordingTrack;
class QLabel;
class QPushButton;
class QTimer;

class RecordingBar : public QWidget {
    Q_OBJECT

public:
    // `track` outlives the bar.
    RecordingBar(const RecordingTrack *track, QWidget *parent);

    // A recording event: the looks, and the path as the host answers it now.
    void refreshState();
    void updatePath();
    // At host exit: nothing asks the host anything any more.
    void shutdown();

    static QString buttonStyleIdle();
    static QString buttonStyleRecording();

private slots:
    void onToggle();
    void tick();

private:
    const RecordingTrack *track;
    // All owned by the bar through Qt parenting.
    QPushButton *toggleButton = nullptr;
    QLabel *elapsedLabel = nullptr;
    QLabel *pathLabel = nullptr;
    QTimer *tickTimer = nullptr;
    bool recording = false;
};
