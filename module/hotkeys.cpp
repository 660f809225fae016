// The desk's hotkeys. The core calls them on its hotkey thread; they only
// hand the action to the user-interface thread, where the panel acts as
// if its button had been pressed. A key held down acts once, on the press.

#include "hotkeys.h"

#include "obs_compat.h"
#include "playback_panel.h"

#include <QMetaObject>
#include <QObject>
#include <QPointer>

#include <atomic>

namespace {

using Shortcut = PlaybackPanel::Shortcut;

struct Hotkey {
    const char *name;        // stable: OBS stores bindings under it
    const char *description; // shown in OBS's hotkey settings
    Shortcut shortcut;
    obs_hotkey_id id;
};

Hotkey g_hotkeys[] = {
        {"zerka.take", "Zerka: ⇄ 切换 (预览 ⇄ 节目)", Shortcut::Take, OBS_INVALID_HOTKEY_ID},
        {"zerka.instant_replay", "Zerka: 📺 即时回放 进预览", Shortcut::InstantReplay, OBS_INVALID_HOTKEY_ID},
        {"zerka.pause_preview", "Zerka: ⏯ 暂停/继续 预览", Shortcut::PausePreview, OBS_INVALID_HOTKEY_ID},
        {"zerka.pause_program", "Zerka: ⏯ 暂停/继续 节目", Shortcut::PauseProgram, OBS_INVALID_HOTKEY_ID},
        {"zerka.screen_output", "Zerka: HDMI 输出 开/关", Shortcut::ScreenOutput, OBS_INVALID_HOTKEY_ID},
        {"zerka.slow_preview", "Zerka: 预览慢放", Shortcut::SlowPreview, OBS_INVALID_HOTKEY_ID},
        {"zerka.slow_program", "Zerka: 节目慢放", Shortcut::SlowProgram, OBS_INVALID_HOTKEY_ID},
        {"zerka.mark", "Zerka: 标记", Shortcut::Mark, OBS_INVALID_HOTKEY_ID},
        {"zerka.replay_mark", "Zerka: 回放标记", Shortcut::ReplayMark, OBS_INVALID_HOTKEY_ID},
        {"zerka.step_back", "Zerka: 前一帧", Shortcut::StepBack, OBS_INVALID_HOTKEY_ID},
        {"zerka.step_forward", "Zerka: 后一帧", Shortcut::StepForward, OBS_INVALID_HOTKEY_ID},
        {"zerka.in", "Zerka: 入点", Shortcut::SetIn, OBS_INVALID_HOTKEY_ID},
        {"zerka.out", "Zerka: 出点", Shortcut::SetOut, OBS_INVALID_HOTKEY_ID},
        {"zerka.export_clip", "Zerka: 导出片段", Shortcut::ExportClip, OBS_INVALID_HOTKEY_ID},
        {"zerka.reel", "Zerka: 集锦", Shortcut::Reel, OBS_INVALID_HOTKEY_ID},
        {"zerka.return_live", "Zerka: 返回直播", Shortcut::ReturnToLive, OBS_INVALID_HOTKEY_ID},
        {"zerka.return_after_replay", "Zerka: 回放后返回 开/关", Shortcut::ReturnAfterReplay, OBS_INVALID_HOTKEY_ID},
        {"zerka.slow_sound", "Zerka: 慢放保留声音 开/关", Shortcut::SlowSound, OBS_INVALID_HOTKEY_ID},
};

constexpr const char *kSaveKey = "zerka_hotkeys";

// Lives on the user-interface thread while the hotkeys are registered; the
// hotkey thread only posts to it. The desk it acts on is read on that
// thread only, and may be gone by then.
std::atomic<QObject *> g_relay{nullptr};
QPointer<PlaybackPanel> g_panel;
// Bindings read from the scene collection, kept until the hotkeys exist.
obs_data_t *g_loaded = nullptr;

void onHotkey(void *data, obs_hotkey_id, obs_hotkey_t *, bool pressed)
{
    if (!pressed)
        return;
    const Shortcut shortcut = static_cast<const Hotkey *>(data)->shortcut;
    zk_desk_post([shortcut](PlaybackPanel *panel) { panel->trigger(shortcut); });
}

void applyBindings(obs_data_t *saved)
{
    for (Hotkey &hotkey : g_hotkeys) {
        obs_data_array_t *bindings = obs_data_get_array(saved, hotkey.name);
        obs_hotkey_load(hotkey.id, bindings);
        obs_data_array_release(bindings);
    }
}

void onSave(obs_data_t *save_data, bool saving, void *)
{
    if (saving) {
        obs_data_t *saved = obs_data_create();
        for (const Hotkey &hotkey : g_hotkeys) {
            if (hotkey.id == OBS_INVALID_HOTKEY_ID)
                continue;
            obs_data_array_t *bindings = obs_hotkey_save(hotkey.id);
            obs_data_set_array(saved, hotkey.name, bindings);
            obs_data_array_release(bindings);
        }
        obs_data_set_obj(save_data, kSaveKey, saved);
        obs_data_release(saved);
        return;
    }
    obs_data_release(g_loaded);
    g_loaded = obs_data_get_obj(save_data, kSaveKey);
    if (g_loaded && g_relay.load())
        applyBindings(g_loaded);
}

} // namespace

bool zk_desk_post(std::function<void(PlaybackPanel *)> action)
{
    QObject *relay = g_relay.load();
    if (!relay)
        return false;
    QMetaObject::invokeMethod(
            relay,
            [action = std::move(action)] {
                if (g_panel)
                    action(g_panel);
            },
            Qt::QueuedConnection);
    return true;
}

void zk_hotkeys_load()
{
    obs_frontend_add_save_callback(onSave, nullptr);
}

void zk_hotkeys_init(PlaybackPanel *panel)
{
    g_panel = panel;
    g_relay = new QObject; // on the user-interface thread, where it is called
    for (Hotkey &hotkey : g_hotkeys)
        hotkey.id = obs_hotkey_register_frontend(hotkey.name, hotkey.description, onHotkey, &hotkey);
    if (g_loaded)
        applyBindings(g_loaded);
}

void zk_hotkeys_exit()
{
    obs_frontend_remove_save_callback(onSave, nullptr);
    zk_hotkeys_free();
}

void zk_hotkeys_free()
{
    // Once unregistered the core calls none of them again; what was already
    // posted dies with the relay.
    for (Hotkey &hotkey : g_hotkeys) {
        if (hotkey.id != OBS_INVALID_HOTKEY_ID)
            obs_hotkey_unregister(hotkey.id);
        hotkey.id = OBS_INVALID_HOTKEY_ID;
    }
    delete g_relay.exchange(nullptr);
    g_panel = nullptr;
    obs_data_release(g_loaded);
    g_loaded = nullptr;
}
