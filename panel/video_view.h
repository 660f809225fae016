#pragma once

// A lane's monitor: paints the last picture it was given, scaled to fit
// and centred with black bands (letterboxing); black before any picture.

#include "peak_meter.h"

#include <QImage>
#include <QWidget>

class QPainter;

// Black over `area`, then `frame` as large as fits, centred. Shared by the
// monitors and the full-screen output.
void paintLetterboxed(QPainter &painter, const QRect &area, const QImage &frame);

class VideoView : public QWidget {
    Q_OBJECT

public:
    VideoView(QWidget *parent, int minWidth, int minHeight);

    // Shares the picture (no pixel copy) and asks for a repaint, so that a
    // burst of pictures costs one paint.
    void setFrame(const QImage &image);
    const QImage &currentFrame() const { return frame; }
    // The lane's sound level, drawn as a thin bar at the right edge (none
    // for a silent or empty lane).
    void setLevel(const PeakMeter::Level &level);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QImage frame;
    PeakMeter::Level level;
};
