#include "desk_operator.h"

#include "frontend.h"
#include "host_log.h"
#include "host_window.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QDir>
#include <QDockWidget>
#include <QGuiApplication>
#include <QLineEdit>
#include <QPixmap>
#include <QScreen>
#include <QTimer>

namespace {

// When each step happens, from the start of the recording.
constexpr int kReplayAtMs = 8000;  // a few seconds recorded first
constexpr int kTakeAtMs = 12000;   // the replay shown on preview meanwhile
constexpr int kOutputsAtMs = 13000;

void say(const QString &text)
{
    HostLog::instance().write(LOG_INFO, QStringLiteral("[host] operator: ") + text);
}

} // namespace

DeskOperator::DeskOperator(HostWindow *window, const Options &options)
    : QObject(window), m_window(window), m_options(options)
{
}

void DeskOperator::start()
{
    say(QStringLiteral("starts recording"));
    StandInFrontend::instance().startRecording();
    step(kReplayAtMs, QStringLiteral("brings the instant replay into preview"), &DeskOperator::bringInReplay);
    step(kTakeAtMs, QStringLiteral("swaps it to program"), &DeskOperator::take);
    step(kOutputsAtMs, QStringLiteral("puts program full screen on the other display"), &DeskOperator::fullScreenOnOtherDisplay);
    step(kOutputsAtMs + 500, QStringLiteral("starts the stream"), &DeskOperator::startStream);
    const int shotsAt = kOutputsAtMs + 1000 + m_options.streamSeconds * 1000;
    step(shotsAt, QStringLiteral("takes the screenshots"), &DeskOperator::screenshots);
    step(shotsAt + 500, QStringLiteral("stops the stream, the output and the recording"), &DeskOperator::wrapUp);
}

void DeskOperator::step(int afterMs, const QString &what, void (DeskOperator::*action)())
{
    QTimer::singleShot(afterMs, this, [this, what, action] {
        if (m_failed)
            return;
        say(what);
        (this->*action)();
    });
}

QWidget *DeskOperator::desk() const
{
    QDockWidget *dock = StandInFrontend::instance().dock(QStringLiteral("zerka_plavo_dock"));
    return dock ? dock->widget() : nullptr;
}

QAbstractButton *DeskOperator::button(const QString &textStart) const
{
    if (QWidget *root = desk())
        for (QAbstractButton *b : root->findChildren<QAbstractButton *>())
            if (b->text().startsWith(textStart))
                return b;
    return nullptr;
}

void DeskOperator::fail(const QString &why)
{
    HostLog::instance().write(LOG_ERROR, QStringLiteral("[host] operator: ") + why);
    m_failed = true;
    StandInFrontend::instance().recorder().stop();
    emit finished(false);
}

void DeskOperator::bringInReplay()
{
    if (QAbstractButton *replay = button(QStringLiteral("📺 即时回放")))
        replay->click();
    else
        fail(QStringLiteral("no instant-replay button"));
}

void DeskOperator::take()
{
    if (QAbstractButton *swap = button(QStringLiteral("⇄")))
        swap->click();
    else
        fail(QStringLiteral("no swap button"));
}

void DeskOperator::fullScreenOnOtherDisplay()
{
    QScreen *other = nullptr;
    for (QScreen *screen : QGuiApplication::screens())
        if (screen != QGuiApplication::primaryScreen())
            other = screen;
    QAbstractButton *hdmi = button(QStringLiteral("🟢  HDMI"));
    if (!other || !hdmi) {
        fail(QStringLiteral("no second display, or no screen-output button"));
        return;
    }
    for (QComboBox *combo : desk()->findChildren<QComboBox *>()) {
        const int item = combo->findText(other->name(), Qt::MatchStartsWith);
        if (item >= 0)
            combo->setCurrentIndex(item);
    }
    hdmi->click();
}

void DeskOperator::startStream()
{
    if (m_options.rtmpUrl.isEmpty())
        return;
    for (QLineEdit *edit : desk()->findChildren<QLineEdit *>())
        if (edit->placeholderText().startsWith(QLatin1String("rtmp://")))
            edit->setText(m_options.rtmpUrl);
    if (QAbstractButton *stream = button(QStringLiteral("▶ 开始推流")))
        stream->click();
    else
        fail(QStringLiteral("no stream button"));
}

void DeskOperator::screenshots()
{
    // From the screens, not from the widgets: what the displays really show.
    QDir().mkpath(m_options.shotsDir);
    const QRect area = m_window->frameGeometry();
    const QString deskShot = QDir(m_options.shotsDir).filePath(QStringLiteral("desk.png"));
    m_window->screen()->grabWindow(0, area.x(), area.y(), area.width(), area.height()).save(deskShot);
    say(QStringLiteral("screenshot of the host: %1").arg(deskShot));
    for (QScreen *screen : QGuiApplication::screens()) {
        if (screen == QGuiApplication::primaryScreen())
            continue;
        const QString shot = QDir(m_options.shotsDir).filePath(QStringLiteral("display-%1.png").arg(screen->name()));
        screen->grabWindow(0).save(shot);
        say(QStringLiteral("screenshot of display %1: %2").arg(screen->name(), shot));
    }
}

void DeskOperator::wrapUp()
{
    if (QAbstractButton *stream = button(QStringLiteral("⏹ 停止推流")))
        stream->click();
    if (QAbstractButton *hdmi = button(QStringLiteral("🔴  HDMI")))
        hdmi->click();
    Recorder &recorder = StandInFrontend::instance().recorder();
    connect(&recorder, &Recorder::stopped, this, [this] { emit finished(true); });
    recorder.stop();
}
