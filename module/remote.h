#pragma once

// Remote control with parameters: obs-websocket's vendor "zerka", whose
// requests (CallVendorRequest) act on the desk and whose events tell a
// client what changed. obs-websocket is reached at run time through the
// core's procedure handler, so the module loads and works without it.

class PlaybackPanel;

// From the module's post-load: registers the vendor and its requests (they
// answer "not ready" until the desk exists).
void zk_remote_register();
// Once the desk exists: its events go out as the vendor's.
void zk_remote_init(PlaybackPanel *panel);
