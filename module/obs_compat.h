#pragma once

// The frontend API of the SDK this module is built against. OBS 30 added
// docks registered by id; older SDKs (Debian ships 29) lack the declaration,
// so it is given here with the OBS 30 signature. The symbol itself comes
// from whatever host loads the module.

#include <obs-module.h>
#include <obs-frontend-api.h>

#if LIBOBS_API_MAJOR_VER < 30
extern "C" bool obs_frontend_add_dock_by_id(const char *id, const char *title, void *widget);
#endif
