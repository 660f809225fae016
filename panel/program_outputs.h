#pragma once

// The one place program goes. Every program picture and block of program
// sound passes through here on its way to the PGM monitor, the full-screen
// window (when open) and the streamer (which ignores both unless it
// streams). The swap, a still loaded into program, a window opened and a
// stream started all ask this object; nothing else feeds an output.

#include <QByteArray>
#include <QImage>
#include <QObject>
#include <QPointer>

class FullscreenOutput;
class VideoView;
class ZKStreamer;

class ProgramOutputs : public QObject {
    Q_OBJECT

public:
    ProgramOutputs(VideoView *monitor, ZKStreamer *streamer, QObject *parent);

    // A program picture (null: program has none, black everywhere).
    void show(const QImage &picture);
    void play(const QByteArray &pcm);
    // What program shows now.
    const QImage &picture() const { return m_picture; }

    // The screen output's window (owned by the screen row; null: closed).
    // It shows the current picture at once.
    void setWindow(FullscreenOutput *window);
    // A stream has just started: a paused, still or waiting program sends
    // no pictures by itself, so it gets the current one now.
    void streamStarted();

private:
    VideoView *m_monitor;
    ZKStreamer *m_streamer;
    QPointer<FullscreenOutput> m_window;
    QImage m_picture;
};
