#pragma once

// The desk's hotkeys, registered with the OBS core so that they appear in
// OBS's own hotkey settings, where the operator binds them to keys or to a
// control surface; OBS keeps the bindings in its scene collection through
// the frontend's save callback.

// At load: the save callback, so that bindings read before the desk exists are kept.
void zk_hotkeys_load();
class PlaybackPanel;

// Once the desk exists: registers the hotkeys, which act on `panel`, and
// applies any kept bindings.
void zk_hotkeys_init(PlaybackPanel *panel);
// At the host's exit event, while the frontend still answers: removes the
// save callback and unregisters the hotkeys.
void zk_hotkeys_exit();
// At unload: unregisters whatever is still registered, without calling the
// frontend (it is gone by then).
void zk_hotkeys_free();

#include <functional>

// From any thread: `action` runs on the user-interface thread with the
// desk, if it is still there then. False (and nothing runs) while there is
// no desk to act on (before it is built, after the exit event).
bool zk_desk_post(std::function<void(PlaybackPanel *)> action);
