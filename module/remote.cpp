// The vendor's requests arrive on obs-websocket's own threads. Each is
// handed to the desk on the user-interface thread (through the same relay
// as the hotkeys) and its answer waited for, a bounded time: a desk that
// does not answer (the host busy, or exiting) gives a clear error, never a
// client left hanging.

#include "remote.h"

#include "hotkeys.h"
#include "playback_panel.h"

#include <obs-module.h>
// OBS's SDK carries obs-websocket's header from OBS 28 on; an SDK without
// it builds a module without the vendor (the hotkeys still reach the desk).
#if __has_include(<obs-websocket-api.h>)
#include <obs-websocket-api.h>
#define ZK_HAVE_OBS_WEBSOCKET 1
#endif

#include <QJsonDocument>
#include <QJsonObject>

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <vector>

#ifdef ZK_HAVE_OBS_WEBSOCKET
namespace {

constexpr auto kAnswerWithin = std::chrono::seconds(5);

obs_websocket_vendor g_vendor = nullptr;
// The request types, each the callback's private data: stable addresses.
std::vector<std::string> g_types;

void answer(obs_data_t *response, const QJsonObject &result)
{
    obs_data_t *data = obs_data_create_from_json(QJsonDocument(result).toJson(QJsonDocument::Compact).constData());
    if (!data)
        return;
    obs_data_apply(response, data);
    obs_data_release(data);
}

QJsonObject failure(const QString &why)
{
    return QJsonObject{{"error", why}};
}

void onRequest(obs_data_t *request, obs_data_t *response, void *priv)
{
    const QString type = QString::fromStdString(*static_cast<const std::string *>(priv));
    const char *json = request ? obs_data_get_json(request) : nullptr;
    const QJsonObject params = json ? QJsonDocument::fromJson(json).object() : QJsonObject();
    auto promise = std::make_shared<std::promise<QJsonObject>>();
    std::future<QJsonObject> future = promise->get_future();
    const bool posted = zk_desk_post([promise, type, params](PlaybackPanel *panel) {
        promise->set_value(panel->request(type, params));
    });
    QJsonObject result = failure(QStringLiteral("Zerka 的面板不在(OBS 启动中或正在退出)"));
    // A request dropped with the desk breaks its promise: that is an answer too.
    if (posted && future.wait_for(kAnswerWithin) == std::future_status::ready) {
        try {
            result = future.get();
        } catch (const std::future_error &) {
        }
    } else if (posted) {
        result = failure(QStringLiteral("Zerka 没有在 5 秒内回应"));
    }
    if (result.contains("error"))
        blog(LOG_WARNING, "[Zerka] 远程请求 %s 失败: %s", type.toUtf8().constData(),
             result.value("error").toString().toUtf8().constData());
    answer(response, result);
}

} // namespace

void zk_remote_register()
{
    // Without obs-websocket (or an older one) the core has no such procedure.
    g_vendor = obs_websocket_register_vendor("zerka");
    if (!g_vendor) {
        blog(LOG_INFO, "[Zerka] 没有 obs-websocket,远程请求不可用(热键照常)");
        return;
    }
    const QStringList types = PlaybackPanel::requestTypes();
    g_types.reserve(types.size());
    for (const QString &type : types)
        g_types.push_back(type.toStdString());
    int registered = 0;
    for (std::string &type : g_types)
        registered += obs_websocket_vendor_register_request(g_vendor, type.c_str(), onRequest, &type) ? 1 : 0;
    blog(LOG_INFO, "[Zerka] obs-websocket vendor \"zerka\": %d 个请求", registered);
}

void zk_remote_init(PlaybackPanel *panel)
{
    if (!g_vendor || !panel)
        return;
    QObject::connect(panel, &PlaybackPanel::remoteEvent, panel, [](const QString &type, const QJsonObject &data) {
        obs_data_t *event = obs_data_create_from_json(QJsonDocument(data).toJson(QJsonDocument::Compact).constData());
        if (!event)
            return;
        obs_websocket_vendor_emit_event(g_vendor, type.toUtf8().constData(), event);
        obs_data_release(event);
    });
}

#else

void zk_remote_register()
{
    blog(LOG_INFO, "[Zerka] 编译时没有 obs-websocket 的头文件,远程请求不可用(热键照常)");
}

void zk_remote_init(PlaybackPanel *) {}

#endif
