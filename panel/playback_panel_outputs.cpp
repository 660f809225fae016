// PlaybackPanel: where program goes. The monitor-audio row (device, volume,
// mute), the screen output (the full-screen window on a chosen display,
// which follows displays coming and going), the stream controls, and the
// support dialog.

#include "playback_panel.h"

#include "desk_settings.h"
#include "fullscreen_output.h"
#include "obs_compat.h"
#include "support_dialog.h"
#include "zk_player.h"
#include "zk_streamer.h"

#include <QAudioDevice>
#include <QComboBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMediaDevices>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QSignalBlocker>
#include <QSlider>

namespace {

const QString kHdmiOff = QStringLiteral("🟢  HDMI 输出 - 未启用");
const QString kHdmiOn = QStringLiteral("🔴  HDMI 输出 - 已开启(Esc / 双击 退出)");

} // namespace

int PlaybackPanel::defaultScreen(const QList<bool> &primary)
{
    // The first display after the first that is not the primary; the first
    // when there is none (with two displays: the one that is not primary).
    for (int i = 1; i < primary.size(); ++i)
        if (!primary[i])
            return i;
    return 0;
}

// ---------------------------------------------------------------------------
// Monitor audio

void PlaybackPanel::refreshAudioDevices()
{
    const QSignalBlocker blocker(audioDeviceCombo); // restoring a choice writes nothing
    audioDeviceCombo->clear();
    const QByteArray saved = deskSettings().value(QStringLiteral("audioDeviceId")).toByteArray();
    audioDeviceCombo->addItem(QStringLiteral("系统默认"), QByteArray());
    int selected = 0;
    for (const QAudioDevice &device : QMediaDevices::audioOutputs()) {
        if (device.id() == saved)
            selected = audioDeviceCombo->count();
        audioDeviceCombo->addItem(device.description(), device.id());
    }
    audioDeviceCombo->setCurrentIndex(selected);
    // Both lanes get the device whatever their roles: a swap never moves one.
    const QByteArray id = audioDeviceCombo->itemData(selected).toByteArray();
    for (Channel *ch : {&channelA, &channelB})
        if (ch->player)
            ch->player->setAudioDevice(id);
}

void PlaybackPanel::onAudioDeviceChanged(int idx)
{
    if (idx < 0)
        return;
    const QByteArray id = audioDeviceCombo->itemData(idx).toByteArray();
    channelA.player->setAudioDevice(id);
    channelB.player->setAudioDevice(id);
    deskSettings().setValue(QStringLiteral("audioDeviceId"), id);
}

void PlaybackPanel::onVolumeChanged(int v)
{
    volumeLabel->setText(QString::number(v));
    deskSettings().setValue(QStringLiteral("volume"), v);
    applyAudioRouting();
}

void PlaybackPanel::onMuteToggled(bool)
{
    applyAudioRouting(); // the routing reads the button itself; mute is never stored
}

// ---------------------------------------------------------------------------
// Screen output

void PlaybackPanel::refreshScreens()
{
    // Items carry the screen's name: a list built earlier must never send
    // the output to whatever display now has the same position. A display
    // that comes back (a cable replugged) is chosen again.
    const QSignalBlocker blocker(screenCombo);
    screenCombo->clear();
    const QList<QScreen *> screens = QGuiApplication::screens();
    QList<bool> primaries;
    for (QScreen *screen : screens)
        primaries << (screen == QGuiApplication::primaryScreen());
    int selected = defaultScreen(primaries);
    for (int i = 0; i < screens.size(); ++i) {
        QScreen *screen = screens[i];
        const bool primary = screen == QGuiApplication::primaryScreen();
        screenCombo->addItem(QStringLiteral("%1%2 %3×%4")
                                     .arg(screen->name(), primary ? QStringLiteral(" [主屏]") : QString())
                                     .arg(screen->size().width())
                                     .arg(screen->size().height()),
                             screen->name());
        if (!chosenScreen.isEmpty() && screen->name() == chosenScreen)
            selected = i;
    }
    screenCombo->setCurrentIndex(selected);
    if (chosenScreen.isEmpty())
        chosenScreen = screenCombo->currentData().toString();
}

QScreen *PlaybackPanel::selectedScreen() const
{
    const QString name = screenCombo->currentData().toString();
    for (QScreen *screen : QGuiApplication::screens())
        if (!name.isEmpty() && screen->name() == name)
            return screen;
    return nullptr;
}

void PlaybackPanel::onToggleHdmi(bool on)
{
    if (!on) {
        if (fullscreen) {
            FullscreenOutput *window = fullscreen;
            fullscreen = nullptr;
            window->close();
        }
        hdmiButton->setText(kHdmiOff);
        return;
    }
    QScreen *screen = selectedScreen();
    if (!screen) {
        const QSignalBlocker blocker(hdmiButton);
        hdmiButton->setChecked(false);
        statusLabel->setText(QStringLiteral("❌ 未检测到可用显示器"));
        return;
    }
    if (screen == QGuiApplication::primaryScreen() && QGuiApplication::screens().size() > 1)
        blog(LOG_WARNING, "[Zerka] HDMI 输出指向主屏,会盖住 OBS");
    fullscreen = new FullscreenOutput(screen);
    connect(fullscreen, &FullscreenOutput::closed, this, &PlaybackPanel::onFullscreenClosed);
    fullscreen->setFrame(pgm->picture());
    hdmiButton->setText(kHdmiOn);
}

void PlaybackPanel::onFullscreenClosed()
{
    // Heard once per way of closing, possibly several times: idempotent.
    fullscreen = nullptr;
    const QSignalBlocker blocker(hdmiButton);
    hdmiButton->setChecked(false);
    hdmiButton->setText(kHdmiOff);
}

void PlaybackPanel::onScreenChanged(int)
{
    chosenScreen = screenCombo->currentData().toString();
    if (!fullscreen)
        return;
    onToggleHdmi(false);
    hdmiButton->setChecked(true);
    onToggleHdmi(true);
}

void PlaybackPanel::onScreenRemoved(QScreen *screen)
{
    // The system moves a window whose display went away onto another one,
    // possibly the operator's own: close the output instead.
    if (fullscreen && fullscreen->screen() == screen)
        fullscreen->close();
    refreshScreens();
}

// ---------------------------------------------------------------------------
// Stream controls

void PlaybackPanel::onToggleStream(bool on)
{
    if (!on) {
        streamer->stop();
        rtmpEdit->setEnabled(true);
        bitrateCombo->setEnabled(true);
        streamButton->setText(QStringLiteral("▶ 开始推流"));
        streamStatsLabel->clear();
        statusLabel->setText(QStringLiteral("📡 推流已停止"));
        return;
    }
    const QString url = rtmpEdit->text().trimmed();
    if (!url.startsWith(QLatin1String("rtmp://")) && !url.startsWith(QLatin1String("rtmps://"))) {
        const QSignalBlocker blocker(streamButton);
        streamButton->setChecked(false);
        statusLabel->setText(QStringLiteral("❌ 推流地址要以 rtmp:// 开头"));
        return;
    }
    const int kbps = bitrateCombo->currentData().toInt();
    deskSettings().setValue(QStringLiteral("rtmpUrl"), url);
    deskSettings().setValue(QStringLiteral("rtmpBitrate"), kbps);
    rtmpEdit->setEnabled(false);
    bitrateCombo->setEnabled(false);
    streamer->start(url, kbps);
    // A paused, still or waiting program sends no frames by itself.
    const QImage picture = pgm->picture();
    if (!picture.isNull())
        streamer->pushFrame(picture);
    streamButton->setText(QStringLiteral("⏹ 停止推流"));
}

void PlaybackPanel::onStreamState(const QString &state)
{
    statusLabel->setText(QStringLiteral("📡 推流: ") + state);
}

void PlaybackPanel::onStreamStats(int kbps)
{
    if (!streamer->isStreaming())
        streamStatsLabel->clear();
    else if (kbps >= 1)
        streamStatsLabel->setText(QStringLiteral("%1 kbps").arg(kbps));
    else
        streamStatsLabel->setText(QStringLiteral("— kbps"));
}

// ---------------------------------------------------------------------------
// Support dialog

void PlaybackPanel::showDonateDialog()
{
    // The dialog runs its own event loop; the panel (and with it the dialog)
    // may be destroyed meanwhile, at host exit.
    QPointer<SupportDialog> dialog = new SupportDialog(this);
    dialog->exec();
    delete dialog.data();
}
