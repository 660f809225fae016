#pragma once

// The strip under the dock's title: starts and stops the host's recording
// and, while the host records, shows the elapsed time and the output path.
// It redraws only when the host reports a recording event, so it follows
// recordings started from the host's own controls too.

#include "host_recording.h"
#include "recording_pause.h"

#include <QWidget>

class QLabel;
class QPushButton;
class QTimer;

class RecordingBar : public QWidget {
    Q_OBJECT

public:
    RecordingBar(const HostRecording *host, QWidget *parent);

    void refreshState();
    void updatePath();
    // The host paused or resumed its recording: the elapsed time holds meanwhile.
    void setPaused(bool paused);
    // At host exit: nothing asks the host anything any more.
    void shutdown();

    static QString buttonStyleIdle();
    static QString buttonStyleRecording();

private slots:
    void onToggle();
    void tick();

private:
    const HostRecording *host;
    // All owned by the bar through Qt parenting.
    QPushButton *toggleButton = nullptr;
    QLabel *elapsedLabel = nullptr;
    QLabel *pathLabel = nullptr;
    QTimer *tickTimer = nullptr;
    qint64 startSecs = 0; // epoch seconds when the bar first saw recording; 0 = idle
    RecordingPause pause;
};
