#pragma once

// A lane's monitor: paints the last picture it was given, scaled to fit
// and centred with black bands (letterboxing); black before any picture.

#include "peak_meter.h"
#include "zk_picture.h"

#include <QImage>
#include <QWidget>

class QPainter;

// A picture drawn as large as fits an area, centred, black around it.
// Shared by the monitors and the full-screen output: the picture becomes
// RGB here, at the size it is drawn (a monitor's 240x135, not the decoded
// size), once per picture and size.
class LetterboxedPicture {
public:
    void set(const Picture &picture) { m_picture = picture; }
    const Picture &picture() const { return m_picture; }
    void paint(QPainter &painter, const QRect &area);
    // The same, converting the picture straight into the image the painter
    // paints on (a window's own memory) where it can, nothing kept between
    // paints: for an output painted once per picture, where converting and
    // then copying would write every pixel twice.
    void paintStraight(QPainter &painter, const QRect &area);

private:
    QRect targetIn(const QRect &area) const;
    void paintBands(QPainter &painter, const QRect &area, const QRect &target);

    Picture m_picture;
    PictureScaler m_scaler;
    QImage m_drawn;      // m_drawnFrom as last drawn
    Picture m_drawnFrom;
};

class VideoView : public QWidget {
    Q_OBJECT

public:
    VideoView(QWidget *parent, int minWidth, int minHeight);

    // Shares the picture (no pixel copy) and asks for a repaint, so that a
    // burst of pictures costs one paint (and one conversion).
    void setPicture(const Picture &picture);
    const Picture &picture() const { return m_shown.picture(); }
    // The lane's sound level, drawn as a thin bar at the right edge (none
    // for a silent or empty lane).
    void setLevel(const PeakMeter::Level &level);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    LetterboxedPicture m_shown;
    PeakMeter::Level level;
};
