#pragma once

// What the desk knows of the host's recording, and the only way it asks.
// The dock hands the panel one that asks OBS; the tests hand it the same
// over the stand-in frontend. Called on the user-interface thread only.

#include <QString>

class HostRecording {
public:
    virtual ~HostRecording() = default;
    virtual bool active() const = 0;
    virtual bool paused() const = 0;
    // The file the host writes, or wrote last; empty when it names none.
    virtual QString file() const = 0;
};
