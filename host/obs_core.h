#pragma once

// The real OBS core library in the part it plays for a module: logging,
// module loading (pointer, version, locale, load) and shutdown (unload).

#include <QString>

namespace ObsCore {

// Starts the core; needs an X display. Returns false with a log line when it
// cannot start.
bool startup();

// Opens and initialises the module file as OBS does. dataPath holds the
// module's locale folder. Returns false with a log line on failure.
bool loadModule(const QString &modulePath, const QString &dataPath);

// Shuts the core down (calling every module's unload) if it is running.
void shutdown();

} // namespace ObsCore
