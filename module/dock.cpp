// Builds the dock content (title row, recording bar, production panel),
// registers it with the host and forwards recording events to it.

#include "dock.h"

#include "hotkeys.h"
#include "remote.h"
#include "obs_compat.h"
#include "obs_recording.h"
#include "playback_panel.h"
#include "program_source.h"
#include "recording_bar.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

namespace {

// Non-owning: the widgets belong to the host's dock once registered.
RecordingBar *g_rec_bar = nullptr;
PlaybackPanel *g_playback = nullptr;
// What the desk asks of the host's recording; outlives every desk.
ObsRecording g_recording;

constexpr const char *kDockId = "zerka_plavo_dock";
constexpr const char *kDockTitle = "Zerka";
constexpr const char *kWebsiteUrl = "https://zerka.example/";
constexpr const char *kWebsiteHost = "zerka.example";

QHBoxLayout *buildTitleRow()
{
    auto *row = new QHBoxLayout;

    auto *title = new QLabel(QStringLiteral("Zerka · 延时直播"));
    QFont font = title->font();
    font.setPointSize(13);
    font.setWeight(QFont::Bold);
    title->setFont(font);
    row->addWidget(title);

    row->addStretch();

    auto *link = new QLabel(QStringLiteral("<a href=\"%1\" style=\"color:#4fc3f7; text-decoration:none;\">🌐 %2</a>")
                                    .arg(QLatin1String(kWebsiteUrl), QLatin1String(kWebsiteHost)));
    link->setObjectName(QStringLiteral("websiteLink"));
    link->setTextFormat(Qt::RichText);
    link->setOpenExternalLinks(true);
    link->setToolTip(QStringLiteral("访问官网"));
    row->addWidget(link);
    return row;
}

} // namespace

QWidget *buildMainContent()
{
    auto *content = new QWidget;
    auto *layout = new QVBoxLayout(content);
    layout->setContentsMargins(12, 12, 12, 12);
    layout->setSpacing(10);

    layout->addLayout(buildTitleRow(), 0);

    g_rec_bar = new RecordingBar(&g_recording.track(), content);
    layout->addWidget(g_rec_bar, 0);

    g_playback = new PlaybackPanel(&g_recording, content);
    g_playback->setProgramTap(zk_program_tap());
    layout->addWidget(g_playback, 1);
    return content;
}

void zk_dock_init()
{
    // The main window is only tested: the host re-parents the dock itself.
    if (!obs_frontend_get_main_window()) {
        blog(LOG_ERROR, "[Zerka] 拿不到 OBS 主窗口");
        return;
    }
    QWidget *content = buildMainContent();
    if (!obs_frontend_add_dock_by_id(kDockId, kDockTitle, content)) {
        // Nobody would own it: no desk, player or timer may run without a dock.
        blog(LOG_ERROR, "[Zerka] OBS 拒绝注册 Dock (%s),面板未创建", kDockId);
        g_rec_bar = nullptr;
        g_playback = nullptr;
        delete content;
        return;
    }
    blog(LOG_INFO, "[Zerka] Dock 已注册 (PV/PGM 布局)");
    zk_hotkeys_init(g_playback);
    zk_remote_init(g_playback);
}

void zk_dock_shutdown()
{
    g_recording.onEvent(OBS_FRONTEND_EVENT_EXIT);
    // The host destroys the dock later, after its frontend is gone: stop
    // now whatever would call it (timers, following, the outputs).
    if (g_playback)
        g_playback->shutdown();
    if (g_rec_bar)
        g_rec_bar->shutdown();
    g_rec_bar = nullptr;
    g_playback = nullptr;
    blog(LOG_INFO, "[Zerka] Dock 已关闭");
}

void zk_dock_on_recording_event(enum obs_frontend_event event)
{
    // The track tells the desk; the bar also reads the path again.
    g_recording.onEvent(event);
    if (g_rec_bar)
        g_rec_bar->refreshState();
}
