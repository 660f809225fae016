#pragma once

// The desk's timeline: a horizontal slider in whole seconds that paints
// time ticks and labels under its groove; the interval grows with the
// length so that labels never crowd.

#include <QSlider>
#include <QVector>

class TimelineSlider : public QSlider {
    Q_OBJECT

public:
    explicit TimelineSlider(QWidget *parent);

    // Seconds between ticks for a timeline of `maximum` seconds.
    static int tickInterval(int maximum);
    // "m:ss" below an hour, "h:mm:ss" from an hour on.
    static QString tickLabel(int seconds, int maximum);
    // Marks (seconds) drawn as short ticks above the groove; none by default.
    void setMarks(const QVector<double> &marks);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QVector<double> m_marks;
};
