#include "video_view.h"

#include <QPainter>
#include <QRegion>

void LetterboxedPicture::paint(QPainter &painter, const QRect &area)
{
    if (m_picture.isNull()) {
        painter.fillRect(area, Qt::black);
        return;
    }
    QRect target(QPoint(0, 0), m_picture.size().scaled(area.size(), Qt::KeepAspectRatio));
    target.moveCenter(area.center());
    // In device pixels: sharp on a high-density display too.
    const qreal ratio = painter.device()->devicePixelRatioF();
    const QSize pixels = target.size() * ratio;
    if (m_drawnFrom != m_picture || m_drawn.size() != pixels) {
        m_scaler.toImage(m_picture, pixels, m_drawn);
        m_drawnFrom = m_picture;
    }
    // Black only around the picture: each pixel is written once (a
    // full-screen output filled first would write 8 MB twice a picture).
    for (const QRect &band : QRegion(area).subtracted(m_drawn.isNull() ? QRegion() : QRegion(target)))
        painter.fillRect(band, Qt::black);
    if (!m_drawn.isNull())
        painter.drawImage(target, m_drawn);
}

VideoView::VideoView(QWidget *parent, int minWidth, int minHeight) : QWidget(parent)
{
    setMinimumSize(minWidth, minHeight);
    setStyleSheet(QStringLiteral("background: #000;"));
    setAutoFillBackground(false);
    // paintEvent covers every pixel: nothing to clear first.
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void VideoView::setPicture(const Picture &picture)
{
    m_shown.set(picture);
    update();
}

void VideoView::setLevel(const PeakMeter::Level &next)
{
    if (!next.shown() && !level.shown())
        return;
    level = next;
    update();
}

void VideoView::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    m_shown.paint(painter, rect());
    if (!level.shown())
        return;
    // -60 to 0 dBFS from the bottom up: green below -20, yellow to -9, red above.
    constexpr int kWidth = 4;
    const QRect bar(width() - kWidth - 1, 1, kWidth, height() - 2);
    auto yOf = [&bar](double db) { return bar.bottom() - int((db - PeakMeter::kFloorDb) / -PeakMeter::kFloorDb * bar.height()); };
    const struct { double from, to; QColor colour; } zones[] = {
            {PeakMeter::kFloorDb, -20.0, QColor(0x4c, 0xaf, 0x50)},
            {-20.0, -9.0, QColor(0xff, 0xeb, 0x3b)},
            {-9.0, 0.0, QColor(0xe5, 0x39, 0x35)},
    };
    for (const auto &zone : zones) {
        if (level.peakDb <= zone.from)
            break;
        const int top = yOf(qMin(level.peakDb, zone.to));
        painter.fillRect(QRect(QPoint(bar.left(), top), QPoint(bar.right(), yOf(zone.from))), zone.colour);
    }
    // The peak held: a line in the colour of its zone.
    const double hold = level.holdDb;
    const QColor holdColour = hold > -9.0 ? zones[2].colour : hold > -20.0 ? zones[1].colour : zones[0].colour;
    painter.fillRect(QRect(bar.left(), yOf(hold), kWidth, 2), holdColour);
}
