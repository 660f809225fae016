// Entry points that the host's module loader calls, and the one frontend
// event callback. The module reports the API version of the SDK it is
// compiled against: a host older than that refuses it, which is right, as
// the module may call what that host lacks.

#include "dock.h"
#include "hotkeys.h"
#include "obs_compat.h"
#include "program_source.h"
#include "remote.h"

namespace {

void onFrontendEvent(enum obs_frontend_event event, void *private_data)
{
    switch (event) {
    case OBS_FRONTEND_EVENT_RECORDING_STARTING:
    case OBS_FRONTEND_EVENT_RECORDING_STARTED:
    case OBS_FRONTEND_EVENT_RECORDING_STOPPING:
    case OBS_FRONTEND_EVENT_RECORDING_STOPPED:
    case OBS_FRONTEND_EVENT_RECORDING_PAUSED:
    case OBS_FRONTEND_EVENT_RECORDING_UNPAUSED:
        zk_dock_on_recording_event(event);
        break;
    case OBS_FRONTEND_EVENT_EXIT:
        // The last moment the frontend may be called: OBS tears it down
        // before it unloads modules. Everything that calls it stops here,
        // and the callbacks go with it (OBS walks a copy of its callback
        // list, so removing this one from inside it is safe).
        zk_dock_shutdown();
        zk_hotkeys_exit();
        obs_frontend_remove_event_callback(onFrontendEvent, private_data);
        break;
    case OBS_FRONTEND_EVENT_FINISHED_LOADING:
        blog(LOG_INFO, "[Zerka] frontend 已就绪,初始化 Dock");
        zk_dock_init();
        break;
    default:
        break;
    }
}

obs_module_t *obs_module_pointer = nullptr;

} // namespace

extern "C" {

MODULE_EXPORT void obs_module_set_pointer(obs_module_t *module)
{
    obs_module_pointer = module;
}

obs_module_t *obs_current_module(void)
{
    return obs_module_pointer;
}

MODULE_EXPORT uint32_t obs_module_ver(void)
{
    return LIBOBS_API_VER;
}

OBS_MODULE_USE_DEFAULT_LOCALE("zerka", "en-US")

MODULE_EXPORT const char *obs_module_name(void)
{
    return "Zerka";
}

MODULE_EXPORT const char *obs_module_description(void)
{
    return "Zerka - 延时直播 & 实时回放";
}

bool obs_module_load(void)
{
    blog(LOG_INFO, "========================================");
    blog(LOG_INFO, "[Zerka] 插件已加载  v" ZK_VERSION);
    blog(LOG_INFO, "[Zerka] 双架构通用版 (Intel + Apple Silicon)");
    blog(LOG_INFO, "========================================");
    obs_frontend_add_event_callback(onFrontendEvent, nullptr);
    zk_hotkeys_load();
    zk_program_source_register();
    return true;
}

// obs-websocket takes vendors only once every module is loaded.
void obs_module_post_load(void)
{
    zk_remote_register();
}

void obs_module_unload(void)
{
    // No frontend call here: it is gone by now (see the exit event).
    zk_hotkeys_free();
    blog(LOG_INFO, "[Zerka] 插件已卸载");
}

} // extern "C"
