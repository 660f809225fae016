#include "video_view.h"

#include <QPainter>

void paintLetterboxed(QPainter &painter, const QRect &area, const QImage &frame)
{
    painter.fillRect(area, Qt::black);
    if (frame.isNull())
        return;
    const QSize size = frame.size().scaled(area.size(), Qt::KeepAspectRatio);
    QRect target(QPoint(0, 0), size);
    target.moveCenter(area.center());
    painter.drawImage(target, frame);
}

VideoView::VideoView(QWidget *parent, int minWidth, int minHeight) : QWidget(parent)
{
    setMinimumSize(minWidth, minHeight);
    setStyleSheet(QStringLiteral("background: #000;"));
    setAutoFillBackground(false);
}

void VideoView::setFrame(const QImage &image)
{
    frame = image;
    update();
}

void VideoView::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    paintLetterboxed(painter, rect(), frame);
}
