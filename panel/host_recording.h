#pragma once

// What the desk knows of the host's recording, and the only way it asks.
// The dock hands the panel one that asks OBS; the tests hand it the same
// over the stand-in frontend. Called on the user-interface thread only.

#include <QDateTime>
#include <QString>

class HostRecording {
public:
    virtual ~HostRecording() = default;
    virtual bool active() const = 0;
    virtual bool paused() const = 0;
    // The file the host writes, or wrote last; empty when it names none.
    virtual QString file() const = 0;
    // When the host started the recording under way (ms since the epoch),
    // or 0 when it cannot tell: a desk built during a recording counts its
    // length from there instead of from the moment it first looked.
    virtual qint64 startedMs() const = 0;
    // A chapter named `name` at this moment of the recording; false where
    // the host's recording format keeps no chapters.
    virtual bool addChapter(const QString &name) = 0;

    // Where a count of the recorded time starts (epoch seconds).
    qint64 countFromSecs() const
    {
        return startedMs() > 0 ? startedMs() / 1000 : QDateTime::currentSecsSinceEpoch();
    }
};
