#include "fullscreen_output.h"

#include <QKeyEvent>
#include <QPainter>
#include <QScreen>

FullscreenOutput::FullscreenOutput(QScreen *screen) : QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint)
{
    setAttribute(Qt::WA_DeleteOnClose);
    setStyleSheet(QStringLiteral("background: #000;"));
    setCursor(Qt::BlankCursor);
    // paintEvent covers every pixel: a window's background filled first
    // would be a second full-screen write for each picture.
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAttribute(Qt::WA_NoSystemBackground);
    if (screen) {
        setScreen(screen);
        setGeometry(screen->geometry());
    }
    showFullScreen();
}

void FullscreenOutput::setPicture(const Picture &picture)
{
    m_shown.set(picture);
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
    m_shown.paintStraight(painter, rect());
}

void FullscreenOutput::closeEvent(QCloseEvent *event)
{
    emit closed();
    QWidget::closeEvent(event);
}
