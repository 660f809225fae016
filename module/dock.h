#pragma once

// The dock's life: built once when the host has finished loading, handed to
// the host (which owns it from then on), forgotten at host exit.

class QWidget;

void zk_dock_init();
void zk_dock_shutdown();
// A recording event; `started` for the host's "recording started", when it
// has named the file it writes.
void zk_dock_on_recording_event(bool started);
void zk_dock_on_recording_paused(bool paused);

QWidget *buildMainContent();
