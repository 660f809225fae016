#pragma once

// The production desk below the recording bar. For now it holds only what
// the dock shell needs: the recording's start time, kept from the host's
// recording notifications. The lanes, monitors and outputs grow here.

#include <QWidget>

class PlaybackPanel : public QWidget {
    Q_OBJECT
    Q_PROPERTY(qint64 recordStartSecs READ recordStartSeconds)

public:
    explicit PlaybackPanel(QWidget *parent);

    qint64 recordStartSeconds() const { return recordStartSecs; }

public slots:
    void onRecordingStateChanged(bool active);

private:
    qint64 recordStartSecs = 0; // epoch seconds of the last active notification; 0 = not recording
};
