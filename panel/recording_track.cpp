#include "recording_track.h"

#include <obs-module.h>

#include <QFileInfo>

namespace {
// A writer finishing a file appends in bursts milliseconds apart; a size
// unchanged this long means it is done. Only a lane at the live edge waits
// for it, and only that long.
constexpr qint64 kSettledMs = 200;
constexpr int kSettlePollMs = 50;
// A writer still appending after this long is not finishing a file:
// treated as done all the same, so that no lane waits for ever.
constexpr qint64 kSettleMaxMs = 5000;
} // namespace

RecordingTrack::RecordingTrack(QObject *parent) : QObject(parent)
{
    m_clock.start();
    m_settle.setInterval(kSettlePollMs);
    connect(&m_settle, &QTimer::timeout, this, &RecordingTrack::settle);
}

double RecordingTrack::File::secs(qint64 nowMs) const
{
    const qint64 until = endMs > 0 ? endMs : nowMs;
    return qMax<qint64>(0, until - startMs - pause.heldMs(until)) / 1000.0;
}

int RecordingTrack::find(const QString &path) const
{
    // The newest first: a name the host used twice means its last file.
    for (int i = int(m_files.size()) - 1; i >= 0 && !path.isEmpty(); --i)
        if (m_files[i].path == path)
            return i;
    return -1;
}

QString RecordingTrack::file() const
{
    return m_files.isEmpty() || m_files.last().recording != m_recording ? QString() : m_files.last().path;
}

void RecordingTrack::started(const QString &file, qint64 ms)
{
    // The host may say so more than once for one recording: the first counts.
    if (m_active)
        return;
    m_active = true;
    ++m_recording;
    m_startMs = ms;
    m_endMs = 0;
    m_pause.clear();
    m_marks.clear(); // a new recording starts with none
    m_files.append({file, m_recording, ms, 0, RecordingPause()});
    emit changed();
}

void RecordingTrack::setPaused(bool paused, qint64 ms)
{
    if (!m_active || paused == this->paused())
        return;
    // While paused the file does not grow, so the recorded length stands still.
    m_pause.set(paused, ms);
    m_files.last().pause.set(paused, ms);
    emit changed();
}

bool RecordingTrack::isWriting(const QString &path) const
{
    const int i = find(path);
    return i >= 0 && !m_files[i].written;
}

void RecordingTrack::finishFile(int index, qint64 ms)
{
    File &done = m_files[index];
    done.pause.set(false, ms);
    done.endMs = ms;
    done.endedMs = m_clock.elapsed();
    done.sizeSinceMs = done.endedMs;
    done.size = QFileInfo(done.path).size();
    m_settle.start();
}

void RecordingTrack::settle()
{
    // Oldest first, and none before the one before it: the lanes go from
    // file to file in the order they were written.
    const qint64 now = m_clock.elapsed();
    for (int i = 0; i < m_files.size(); ++i) {
        File &f = m_files[i];
        if (f.written)
            continue;
        if (f.endMs == 0)
            break; // still written (and so is everything after it)
        const qint64 size = QFileInfo(f.path).size();
        if (size != f.size) {
            f.size = size;
            f.sizeSinceMs = now;
        }
        if (now - f.sizeSinceMs < kSettledMs && now - f.endedMs < kSettleMaxMs)
            return; // asked again at the next tick
        f.written = true;
        // The lanes hear of it with the next file (if any) already in the chain.
        emit fileFinished(f.path, sameRecording(i, i + 1) ? m_files[i + 1].path : QString());
    }
    m_settle.stop();
}

void RecordingTrack::fileChanged(const QString &next, qint64 ms)
{
    if (!m_active || next.isEmpty() || next == file())
        return;
    blog(LOG_INFO, "[Zerka] 录制已分段 → %s", next.toUtf8().constData());
    File added{next, m_recording, ms, 0, RecordingPause()};
    added.pause.set(paused(), ms);
    m_files.append(added);
    finishFile(int(m_files.size()) - 2, ms);
    emit changed();
}

void RecordingTrack::stopped(qint64 ms)
{
    if (!m_active)
        return;
    m_pause.set(false, ms);
    m_endMs = ms;
    m_active = false;
    finishFile(int(m_files.size()) - 1, ms);
    emit changed();
}

bool RecordingTrack::sameRecording(int a, int b) const
{
    return a >= 0 && b >= 0 && a < m_files.size() && b < m_files.size() && m_files[a].recording == m_files[b].recording;
}

bool RecordingTrack::isOfRecording(const QString &path) const
{
    const int i = find(path);
    return i >= 0 && m_files[i].recording == m_recording;
}

QString RecordingTrack::nextFile(const QString &path) const
{
    const int i = find(path);
    return sameRecording(i, i + 1) ? m_files[i + 1].path : QString();
}

double RecordingTrack::recordedSecs(qint64 nowMs) const
{
    if (m_recording == 0)
        return 0.0;
    const qint64 until = m_active ? nowMs : m_endMs;
    return qMax<qint64>(0, until - m_startMs - m_pause.heldMs(until)) / 1000.0;
}

double RecordingTrack::fileSecs(const QString &path, qint64 nowMs) const
{
    const int i = find(path);
    return i >= 0 ? m_files[i].secs(nowMs) : 0.0;
}

double RecordingTrack::behindSecs(const QString &path, double at, qint64 nowMs) const
{
    int i = find(path);
    if (i < 0)
        return 0.0;
    // The rest of its file, then every file the recording went on in.
    double behind = qMax(0.0, m_files[i].secs(nowMs) - at);
    while (sameRecording(i, i + 1))
        behind += m_files[++i].secs(nowMs);
    return behind;
}

RecordingTrack::Position RecordingTrack::before(const QString &path, double at, double secs, qint64 nowMs) const
{
    int i = find(path);
    double target = at - secs;
    while (target < 0 && sameRecording(i, i - 1))
        target += m_files[--i].secs(nowMs);
    return {path.isEmpty() || i < 0 ? path : m_files[i].path, qMax(0.0, target)};
}

bool RecordingTrack::addMark(qint64 ms, Mark *mark)
{
    if (!m_active)
        return false;
    m_marks.append({file(), m_files.last().secs(ms)});
    if (mark)
        *mark = m_marks.last();
    emit changed();
    return true;
}
