#pragma once

// The host's recording as the desk knows it, kept in one place: the file
// being written and the chain of files the host split the recording into,
// when each started and ended, the time spent paused, the recorded length,
// and the marks (each in its file, at its time in that file). It learns
// everything from the host's door as events, each with the moment it
// happened at the host, in the order the host made them; the recording bar,
// the timeline, the marks and the lanes ask it, and nothing else keeps a
// copy. Earlier recordings stay known, so that a lane still playing one goes
// on through its files. Used on the user-interface thread only.
//
// The host names a file done before its writer is: OBS's Hybrid MP4 writer
// reports the stop and then flushes the file's last fragment, OBS's FFmpeg
// writer names the next file while the old one's last cluster is still on
// its way. So a file counts as written, and its lanes hear of its end, once
// its size has held still for a moment after the host's word.
//
// Times: `ms` are milliseconds since the epoch; lengths and positions are
// seconds of recorded media (paused time not counted).

#include "recording_pause.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QVector>

class RecordingTrack : public QObject {
    Q_OBJECT

public:
    struct Mark {
        QString file;
        double at = 0.0; // seconds into that file
    };
    // A moment of the recording: a file and a time in it.
    struct Position {
        QString file;
        double at = 0.0;
    };

    explicit RecordingTrack(QObject *parent = nullptr);

    // The host's events.
    void started(const QString &file, qint64 ms);
    void setPaused(bool paused, qint64 ms);
    void fileChanged(const QString &next, qint64 ms);
    void stopped(qint64 ms);

    bool active() const { return m_active; }
    bool paused() const { return m_pause.sinceMs != 0; }
    // The file being written, or written last; empty when the host named none.
    QString file() const;
    // Still written: the host has not named it done, or its writer is
    // still finishing it.
    bool isWriting(const QString &path) const;
    // A file of the recording under way (or of the last one).
    bool isOfRecording(const QString &path) const;
    // The file its recording went on in after `path`; empty: none (yet).
    QString nextFile(const QString &path) const;
    // The whole recording under way (or the last one), less its pauses.
    double recordedSecs(qint64 nowMs) const;
    // One file: recorded so far while written, else its length; 0 when unknown.
    double fileSecs(const QString &path, qint64 nowMs) const;
    // How far the recording's live edge (or its end) is ahead of `at` in `path`.
    double behindSecs(const QString &path, double at, qint64 nowMs) const;
    // `secs` before `at` in `path`, going back through the files before it
    // (never before the recording's start).
    Position before(const QString &path, double at, double secs, qint64 nowMs) const;

    // A mark at `ms` in the file being written; false when nothing records.
    bool addMark(qint64 ms, Mark *mark = nullptr);
    // Of the recording under way, or the last one; oldest first.
    const QVector<Mark> &marks() const { return m_marks; }

signals:
    // Anything above changed: a recording started, paused, split or stopped, a mark.
    void changed();
    // `finished` is complete (its writer is done with it): the host went on
    // in `next` (empty: the recording stopped). In the order the files were written.
    void fileFinished(const QString &finished, const QString &next);

private:
    struct File {
        QString path;
        int recording = 0;
        qint64 startMs = 0;
        qint64 endMs = 0; // 0 while written (the host's word)
        RecordingPause pause;
        bool written = false;  // the writer is done with it too
        qint64 size = -1;      // while it settles: as last seen
        qint64 sizeSinceMs = 0; // since when (m_clock)
        qint64 endedMs = 0;     // the host's word (m_clock)
        double secs(qint64 nowMs) const;
    };
    int find(const QString &path) const; // -1: not a file of any recording
    bool sameRecording(int a, int b) const;
    void finishFile(int index, qint64 ms);
    void settle();

    QVector<File> m_files; // every recording's, in the order written
    int m_recording = 0;   // of the recording under way, or the last one
    bool m_active = false;
    qint64 m_startMs = 0;
    qint64 m_endMs = 0;
    RecordingPause m_pause;
    QVector<Mark> m_marks;
    QTimer m_settle;       // runs while a file the host named done settles
    QElapsedTimer m_clock; // for the settling only: the host's times may lag
};
