#include "video_view.h"

#include <QPaintEngine>
#include <QPainter>
#include <QRegion>

QRect LetterboxedPicture::targetIn(const QRect &area) const
{
    QRect target(QPoint(0, 0), m_picture.size().scaled(area.size(), Qt::KeepAspectRatio));
    target.moveCenter(area.center());
    return target;
}

// Black only around the picture: each pixel is written once (a full-screen
// output filled first would write 8 MB twice a picture).
void LetterboxedPicture::paintBands(QPainter &painter, const QRect &area, const QRect &target)
{
    for (const QRect &band : QRegion(area).subtracted(QRegion(target)))
        painter.fillRect(band, Qt::black);
}

void LetterboxedPicture::paint(QPainter &painter, const QRect &area)
{
    if (m_picture.isNull()) {
        painter.fillRect(area, Qt::black);
        return;
    }
    const QRect target = targetIn(area);
    // In device pixels: sharp on a high-density display too.
    const qreal ratio = painter.device()->devicePixelRatioF();
    const QSize pixels = target.size() * ratio;
    if (m_drawnFrom != m_picture || m_drawn.size() != pixels) {
        m_scaler.toImage(m_picture, pixels, m_drawn);
        m_drawnFrom = m_picture;
    }
    if (m_drawn.isNull()) {
        painter.fillRect(area, Qt::black);
        return;
    }
    paintBands(painter, area, target);
    painter.drawImage(target, m_drawn);
}

void LetterboxedPicture::paintStraight(QPainter &painter, const QRect &area)
{
    // The image under the painter (a window's backing store; a pixmap when
    // grabbed), where the painter only moves and scales.
    QPaintEngine *engine = painter.paintEngine();
    QPaintDevice *device = engine ? engine->paintDevice() : nullptr;
    if (m_picture.isNull() || !device || device->devType() != QInternal::Image ||
        painter.deviceTransform().type() > QTransform::TxScale) {
        paint(painter, area);
        return;
    }
    const QRect target = targetIn(area);
    const QRect pixels = painter.deviceTransform().mapRect(QRectF(target)).toAlignedRect();
    if (!m_scaler.drawInto(m_picture, *static_cast<QImage *>(device), pixels)) {
        paint(painter, area);
        return;
    }
    m_drawn = QImage(); // a picture kept from an earlier paint would be stale
    m_drawnFrom = Picture();
    paintBands(painter, area, target);
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
