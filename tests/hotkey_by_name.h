#pragma once

// The OBS core's id of a hotkey by its registered name, as obs-websocket's
// TriggerHotkeyByName finds it (OBS_INVALID_HOTKEY_ID if there is none).
// Shared by the stand-in host's lifecycle test and the operator module.

#include <obs.h>

#include <cstring>
#include <utility>

inline obs_hotkey_id hotkeyByName(const char *name)
{
    std::pair<const char *, obs_hotkey_id> wanted{name, OBS_INVALID_HOTKEY_ID};
    obs_enum_hotkeys(
            [](void *data, obs_hotkey_id id, obs_hotkey_t *key) {
                auto *w = static_cast<std::pair<const char *, obs_hotkey_id> *>(data);
                if (std::strcmp(obs_hotkey_get_name(key), w->first) == 0)
                    w->second = id;
                return true;
            },
            &wanted);
    return wanted.second;
}
