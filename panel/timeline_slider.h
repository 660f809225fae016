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
    // A clip's in and out points (seconds; -1: not set), drawn as brackets
    // with the stretch between them shaded; none by default.
    void setClipPoints(double in, double out);
    double clipIn() const { return m_in; }
    double clipOut() const { return m_out; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QVector<double> m_marks;
    double m_in = -1, m_out = -1;
};
