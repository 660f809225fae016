#pragma once

// Writes a clip of a video file to a new file beside it: the pictures from
// the in point to the out point, both included, and their sound from the
// first picture on; or a reel, several such stretches back to back, each
// picture once and the sound unbroken across the joins. The source is read
// as the player reads it (a recording still being written included, its
// pictures at the times the finished file will give them). A clip that
// starts on a key picture and ends where the pictures it needs end (before
// the next key picture, or anywhere in a file that does not reorder) is
// copied packet for packet; any other, and a reel, is encoded anew at the
// source's size and rate and about its bit rate, so that its ends are
// exactly the pictures chosen whatever the key pictures are.
//
// One export at a time, on a thread of its own; its progress and its end
// are reported through signals (queued to the receiver's thread). The clip
// is written under a temporary name and renamed only when whole: a failed
// or cancelled export leaves no file behind.

#include <QObject>
#include <QString>
#include <QStringList>
#include <QVector>

#include <atomic>
#include <thread>

class ClipExport : public QObject {
    Q_OBJECT

public:
    // A stretch of one file: the pictures from `in` to `out` (their times
    // in it), both included.
    struct Part {
        QString source;
        double in = 0.0, out = 0.0;
        bool growing = false; // the file is still being written
    };
    // A clip is one part; a reel, several, back to back in this order.
    struct Request {
        QVector<Part> parts;
        QString target; // the file's name (targetFor)
    };

    explicit ClipExport(QObject *parent = nullptr);
    ~ClipExport() override; // a running export is cancelled and waited for

    // False when an export is running already.
    bool start(const Request &request);
    // The running export stops and removes what it wrote.
    void cancel();
    // Cancels the running export and waits for its thread: nothing is
    // reported after this (the host is exiting).
    void stop();
    // `path` is no longer written: an export reads it to its end and stops.
    void fileFinished(const QString &path)
    {
        if (m_growing.contains(path))
            m_follow = false;
    }
    bool isRunning() const { return m_running; }
    QString target() const { return m_target; } // of the export started last

    // A clip of `source` from `in`: beside it, named after it and `label`
    // (the in time when empty), in its container (Matroska where FFmpeg
    // cannot write that), a number added when that name is taken.
    static QString targetFor(const QString &source, double in, const QString &label = QString());

signals:
    void progress(int percent);
    // `copied`: the source's packets as they were (the cut fell on key
    // pictures), nothing encoded.
    void exported(const QString &path, int pictures, bool copied);
    void failed(const QString &reason);
    void cancelled();

private:
    void run(const Request &request);
    QString write(const Request &request, const QString &partial, int &pictures, bool &copied);
    struct Output;
    // Copies the part's packets when its ends fall on key pictures; else
    // writes nothing and leaves it to writePart, which encodes it.
    QString copyPart(const Part &part, Output &out);
    QString writePart(const Part &part, Output &out);
    void reportProgress(Output &out, double done);

    QStringList m_growing; // of the export started last (the caller's thread only)
    QString m_target;
    std::thread m_thread;
    std::atomic<bool> m_abort{false};
    std::atomic<bool> m_follow{false};
    std::atomic<bool> m_running{false};
    std::atomic<bool> m_quiet{false}; // stopping: nothing more is reported
};
