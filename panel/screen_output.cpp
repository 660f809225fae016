#include "screen_output.h"

#include "desk_style.h"
#include "fullscreen_output.h"

#include <obs-module.h>

#include <QComboBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QScreen>
#include <QSignalBlocker>

namespace {

const QString kHdmiOff = QStringLiteral("🟢  HDMI 输出 - 未启用");
const QString kHdmiOn = QStringLiteral("🔴  HDMI 输出 - 已开启(Esc / 双击 退出)");

} // namespace

ScreenOutput::ScreenOutput(QWidget *panel, QHBoxLayout *row) : QObject(panel)
{
    hdmiButton = toggleButton(kHdmiOff, "hdmiButton", "#1e88e5", "#1976d2", panel);
    connect(hdmiButton, &QPushButton::clicked, this, &ScreenOutput::onToggleHdmi);
    row->addWidget(hdmiButton);
    screenCombo = new QComboBox(panel);
    screenCombo->setObjectName(QStringLiteral("screenCombo"));
    refreshScreens();
    connect(screenCombo, &QComboBox::currentIndexChanged, this, &ScreenOutput::onScreenChanged);
    row->addWidget(screenCombo, 1);
    // A projector plugged in, a cable pulled.
    connect(qGuiApp, &QGuiApplication::screenAdded, this, &ScreenOutput::refreshScreens);
    connect(qGuiApp, &QGuiApplication::screenRemoved, this, &ScreenOutput::onScreenRemoved);
}

ScreenOutput::~ScreenOutput()
{
    close();
}

int ScreenOutput::defaultScreen(const QList<bool> &primary)
{
    // The first display after the first that is not the primary; the first
    // when there is none (with two displays: the one that is not primary).
    for (int i = 1; i < primary.size(); ++i)
        if (!primary[i])
            return i;
    return 0;
}

QString ScreenOutput::screenKey(const QScreen *screen)
{
    const QRect g = screen->geometry();
    return QStringLiteral("%1|%2|%3,%4,%5x%6")
            .arg(screen->name(), screen->serialNumber())
            .arg(g.x())
            .arg(g.y())
            .arg(g.width())
            .arg(g.height());
}

void ScreenOutput::toggle()
{
    hdmiButton->click();
}

void ScreenOutput::close()
{
    // The window has no parent: it would stay on its display, frozen,
    // after the desk is gone.
    if (FullscreenOutput *window = fullscreen.data()) {
        window->disconnect(this);
        fullscreen = nullptr;
        window->close();
        emit windowChanged(nullptr);
    }
}

void ScreenOutput::refreshScreens()
{
    // Items carry the display's key, never a position in the list. While
    // the window is open the list shows the display it is on; otherwise the
    // one chosen, when it is there (a cable replugged).
    const QSignalBlocker blocker(screenCombo);
    screenCombo->clear();
    const QList<QScreen *> screens = QGuiApplication::screens();
    QList<bool> primaries;
    for (QScreen *screen : screens)
        primaries << (screen == QGuiApplication::primaryScreen());
    const QString wanted = fullscreen ? screenKey(fullscreen->screen()) : chosenScreen;
    int selected = defaultScreen(primaries);
    for (int i = 0; i < screens.size(); ++i) {
        QScreen *screen = screens[i];
        screenCombo->addItem(QStringLiteral("%1%2 %3×%4")
                                     .arg(screen->name(), primaries[i] ? QStringLiteral(" [主屏]") : QString())
                                     .arg(screen->size().width())
                                     .arg(screen->size().height()),
                             screenKey(screen));
        if (screenKey(screen) == wanted)
            selected = i;
    }
    screenCombo->setCurrentIndex(selected);
    if (chosenScreen.isEmpty())
        chosenScreen = screenCombo->currentData().toString();
}

QScreen *ScreenOutput::selectedScreen() const
{
    const QString key = screenCombo->currentData().toString();
    for (QScreen *screen : QGuiApplication::screens())
        if (!key.isEmpty() && screenKey(screen) == key)
            return screen;
    return nullptr;
}

void ScreenOutput::onToggleHdmi(bool on)
{
    if (!on) {
        close();
        hdmiButton->setText(kHdmiOff);
        return;
    }
    QScreen *screen = selectedScreen();
    if (!screen) {
        const QSignalBlocker blocker(hdmiButton);
        hdmiButton->setChecked(false);
        emit status(QStringLiteral("❌ 未检测到可用显示器"));
        return;
    }
    if (screen == QGuiApplication::primaryScreen() && QGuiApplication::screens().size() > 1)
        blog(LOG_WARNING, "[Zerka] HDMI 输出指向主屏,会盖住 OBS");
    fullscreen = new FullscreenOutput(screen);
    connect(fullscreen, &FullscreenOutput::closed, this, &ScreenOutput::onFullscreenClosed);
    hdmiButton->setText(kHdmiOn);
    emit windowChanged(fullscreen);
}

void ScreenOutput::onFullscreenClosed()
{
    // Heard once per way of closing, possibly several times: idempotent.
    const bool wasOpen = !fullscreen.isNull();
    fullscreen = nullptr;
    const QSignalBlocker blocker(hdmiButton);
    hdmiButton->setChecked(false);
    hdmiButton->setText(kHdmiOff);
    if (wasOpen)
        emit windowChanged(nullptr);
}

void ScreenOutput::onScreenChanged()
{
    chosenScreen = screenCombo->currentData().toString();
    if (!fullscreen)
        return;
    close();
    hdmiButton->setChecked(true);
    onToggleHdmi(true);
}

void ScreenOutput::onScreenRemoved(QScreen *screen)
{
    // The system moves a window whose display went away onto another one,
    // possibly the operator's own: close the output instead.
    if (fullscreen && fullscreen->screen() == screen)
        fullscreen->close();
    refreshScreens();
}
