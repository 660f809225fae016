#pragma once

// The one place program goes. Every program picture and block of program
// sound passes through here on its way to the PGM monitor, the full-screen
// window (when open) and the streamer (which ignores both unless it
// streams). The swap, a still loaded into program, a window opened and a
// stream started all ask this object; nothing else feeds an output.
// Pictures are shown now; sound carries the moment it is heard (both on
// the show clock), so the outputs that place them on a time line of their
// own (the stream, the host's source) keep them in step.

#include "zk_picture.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>

// Anything beyond the desk that takes program as it goes (the host's
// program source). Called on the user-interface thread with every program
// picture as it is shown (null: program has none) and every block of
// program sound with the moment it is heard (ShowClock).
class ProgramTap {
public:
    virtual ~ProgramTap() = default;
    virtual void picture(const Picture &picture) = 0;
    virtual void sound(const QByteArray &pcm, qint64 playsAtNs) = 0;
};

class FullscreenOutput;
class VideoView;
class ZKStreamer;

class ProgramOutputs : public QObject {
    Q_OBJECT

public:
    ProgramOutputs(VideoView *monitor, ZKStreamer *streamer, QObject *parent);

    // A program picture (null: program has none, black everywhere).
    void show(const Picture &picture);
    void play(const QByteArray &pcm, qint64 playsAtNs);
    // What program shows now.
    const Picture &picture() const { return m_picture; }

    // The screen output's window (owned by the screen row; null: closed).
    // It shows the current picture at once.
    void setWindow(FullscreenOutput *window);
    // A stream has just started: a paused, still or waiting program sends
    // no pictures by itself, so it gets the current one now.
    void streamStarted();
    // The tap (null: none) gets the current picture at once, then all that follows.
    void setTap(ProgramTap *tap);

private:
    VideoView *m_monitor;
    ZKStreamer *m_streamer;
    QPointer<FullscreenOutput> m_window;
    ProgramTap *m_tap = nullptr;
    Picture m_picture;
};
