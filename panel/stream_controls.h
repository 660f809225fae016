#pragma once

// The stream row: the RTMP address, the bit rate, the start/stop button and
// the bit-rate readout, and the streamer they control. The address and the
// bit rate are stored when a stream starts; while it runs they are locked.
// The streamer is fed program by the program router, not by this row.

#include <QObject>

class QComboBox;
class QHBoxLayout;
class QLabel;
class QLineEdit;
class QPushButton;
class QWidget;
class ZKStreamer;

class StreamControls : public QObject {
    Q_OBJECT

public:
    StreamControls(QWidget *panel, QHBoxLayout *row);

    ZKStreamer *engine() const { return streamer; }
    // Whether a status text is the stream's "streaming" state (which its
    // health reports may update).
    static bool isStreamingStatus(const QString &text);
    void stop(); // at exit: never waits on the network
    bool isStreaming() const { return m_streaming; }

signals:
    void started(); // the router hands the stream program's current picture
    void status(const QString &text);
    // The stream's state with its health, every report while it streams:
    // it replaces the status line only while that shows the stream's state.
    void health(const QString &text);

private:
    void onToggleStream(bool on);
    void onStreamStats(int kbps);

    ZKStreamer *streamer; // child of this row
    QLineEdit *rtmpEdit;
    QComboBox *bitrateCombo;
    QPushButton *streamButton;
    QLabel *streamStatsLabel;
    bool m_streaming = false; // the streamer's last state was "streaming"
};
