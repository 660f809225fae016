#pragma once

// The desk's hotkeys, registered with the OBS core so that they appear in
// OBS's own hotkey settings, where the operator binds them to keys or to a
// control surface; OBS keeps the bindings in its scene collection through
// the frontend's save callback.

// At load: the save callback, so that bindings read before the desk exists are kept.
void zk_hotkeys_load();
// Once the desk exists: registers the hotkeys and applies any kept bindings.
void zk_hotkeys_init();
// Before the desk goes (host exit, module unload): unregisters everything.
void zk_hotkeys_free();
