#include "obs_core.h"

#include "host_log.h"

#include <obs.h>
#if defined(__linux__)
#include <obs-nix-platform.h>
#endif

#include <QGuiApplication>

namespace ObsCore {

bool startup()
{
    if (obs_initialized())
        return true;
#if defined(__linux__) && QT_CONFIG(xcb)
    // As OBS does: the core shares the application's X connection.
    if (auto *x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr) {
        obs_set_nix_platform(OBS_NIX_PLATFORM_X11_EGL);
        obs_set_nix_platform_display(x11->display());
    }
#endif
    if (!obs_startup("en-US", nullptr, nullptr)) {
        HostLog::instance().write(LOG_ERROR, QStringLiteral("[host] obs_startup failed (is there an X display?)"));
        return false;
    }
    return true;
}

bool loadModule(const QString &modulePath, const QString &dataPath)
{
    obs_module_t *module = nullptr;
    const QByteArray path = modulePath.toUtf8();
    const QByteArray data = dataPath.toUtf8();
    const int code = obs_open_module(&module, path.constData(), data.constData());
    if (code != MODULE_SUCCESS) {
        HostLog::instance().write(LOG_ERROR,
                                  QStringLiteral("[host] cannot open module %1 (code %2)").arg(modulePath).arg(code));
        return false;
    }
    if (!obs_init_module(module)) {
        HostLog::instance().write(LOG_ERROR, QStringLiteral("[host] module %1 failed to load").arg(modulePath));
        return false;
    }
    return true;
}

void shutdown()
{
    // After a failed startup obs_shutdown would crash.
    if (obs_initialized())
        obs_shutdown();
}

} // namespace ObsCore
