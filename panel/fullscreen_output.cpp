#include "fullscreen_output.h"

#include "video_view.h"

#include <QKeyEvent>
#include <QPainter>
#include <QScreen>

FullscreenOutput::FullscreenOutput(QScreen *screen) : QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint)
{
    setAttribute(Qt::WA_DeleteOnClose);
    setStyleSheet(QStringLiteral("background: #000;"));
    setCursor(Qt::BlankCursor);
    if (screen) {
        setScreen(screen);
        setGeometry(screen->geometry());
    }
    showFullScreen();
}

void FullscreenOutput::setFrame(const QImage &image)
{
    frame = image;
    update();
}

void FullscreenOutput::mouseDoubleClickEvent(QMouseEvent *)
{
    emit closed();
    close();
}

void FullscreenOutput::keyPressEvent(QKeyEvent *event)
{
    if (event->key() != Qt::Key_Escape)
        return;
    emit closed();
    close();
}

void FullscreenOutput::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    paintLetterboxed(painter, rect(), frame);
}

void FullscreenOutput::closeEvent(QCloseEvent *event)
{
    emit closed();
    QWidget::closeEvent(event);
}
