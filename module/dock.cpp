// Builds the dock content (title row, recording bar, production panel),
// registers it with the host and forwards recording events to it.

#include "dock.h"

#include "hotkeys.h"
#include "obs_compat.h"
#include "playback_panel.h"
#include "recording_bar.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

RecordingBar *g_rec_bar = nullptr;
PlaybackPanel *g_playback = nullptr;

namespace {

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

    g_rec_bar = new RecordingBar(content);
    layout->addWidget(g_rec_bar, 0);

    g_playback = new PlaybackPanel(content);
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
    obs_frontend_add_dock_by_id(kDockId, kDockTitle, content);
    blog(LOG_INFO, "[Zerka] Dock 已注册 (PV/PGM 布局)");
    zk_hotkeys_init();
}

void zk_dock_shutdown()
{
    zk_hotkeys_free(); // before the host destroys the desk
    g_rec_bar = nullptr;
    g_playback = nullptr;
    blog(LOG_INFO, "[Zerka] Dock 已关闭");
}

void zk_dock_on_recording_event()
{
    if (g_rec_bar)
        g_rec_bar->refreshState();
    if (g_playback)
        g_playback->onRecordingStateChanged(obs_frontend_recording_active());
}
