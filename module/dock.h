#pragma once

// The dock's life: built once when the host has finished loading, handed to
// the host (which owns it from then on), forgotten at host exit.

#include "obs_compat.h"

class QWidget;

void zk_dock_init();
void zk_dock_shutdown();
// A recording event (starting, started, paused, unpaused, stopping,
// stopped); at "started" the host has named the file it writes.
void zk_dock_on_recording_event(enum obs_frontend_event event);

QWidget *buildMainContent();
