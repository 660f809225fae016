#include "program_outputs.h"

#include "fullscreen_output.h"
#include "video_view.h"
#include "zk_streamer.h"

ProgramOutputs::ProgramOutputs(VideoView *monitor, ZKStreamer *streamer, QObject *parent)
    : QObject(parent), m_monitor(monitor), m_streamer(streamer)
{
}

void ProgramOutputs::show(const Picture &picture)
{
    m_picture = picture; // shared, no pixel copy
    m_monitor->setPicture(picture);
    if (m_window)
        m_window->setPicture(picture);
    if (picture.isNull())
        m_streamer->clearPicture();
    else
        m_streamer->pushFrame(picture);
    if (m_tap)
        m_tap->picture(picture);
}

void ProgramOutputs::play(const QByteArray &pcm, qint64 playsAtNs)
{
    m_streamer->pushAudio(pcm, playsAtNs);
    if (m_tap)
        m_tap->sound(pcm, playsAtNs);
}

void ProgramOutputs::setTap(ProgramTap *tap)
{
    m_tap = tap;
    if (tap)
        tap->picture(m_picture);
}

void ProgramOutputs::setWindow(FullscreenOutput *window)
{
    m_window = window;
    if (window)
        window->setPicture(m_picture);
}

void ProgramOutputs::streamStarted()
{
    if (!m_picture.isNull())
        m_streamer->pushFrame(m_picture);
}
