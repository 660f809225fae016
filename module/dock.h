#pragma once

// The dock's life: built once when the host has finished loading, handed to
// the host (which owns it from then on), forgotten at host exit.

class QWidget;
class RecordingBar;
class PlaybackPanel;

// Non-owning: the widgets belong to the host's dock once registered.
extern RecordingBar *g_rec_bar;
extern PlaybackPanel *g_playback;

void zk_dock_init();
void zk_dock_shutdown();
void zk_dock_on_recording_event();

QWidget *buildMainContent();
