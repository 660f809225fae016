#include "timeline_slider.h"

#include <QPainter>

#include <algorithm>

namespace {

// (longest timeline in seconds, tick interval): about ten labels or fewer.
constexpr std::pair<int, int> kIntervals[] = {{30, 5}, {120, 10}, {600, 60}, {1800, 120}, {3600, 300}};
constexpr int kLongInterval = 600;
// A container may state any duration (corrupt metadata: years): the
// interval grows so that a paint never draws more ticks than this.
constexpr int kMaxTicks = 48;

} // namespace

TimelineSlider::TimelineSlider(QWidget *parent) : QSlider(Qt::Horizontal, parent)
{
    setMinimumHeight(42);
}

int TimelineSlider::tickInterval(int maximum)
{
    for (const auto &[upTo, interval] : kIntervals)
        if (maximum <= upTo)
            return interval;
    return int(std::max<qint64>(kLongInterval, (qint64(maximum) + kMaxTicks - 1) / kMaxTicks));
}

QString TimelineSlider::tickLabel(int t, int maximum)
{
    if (maximum < 3600)
        return QString::asprintf("%d:%02d", t / 60, t % 60);
    return QString::asprintf("%d:%02d:%02d", t / 3600, (t / 60) % 60, t % 60);
}

void TimelineSlider::setMarks(const QVector<double> &marks)
{
    if (marks == m_marks)
        return;
    m_marks = marks;
    update();
}

void TimelineSlider::setClipPoints(double in, double out)
{
    if (in == m_in && out == m_out)
        return;
    m_in = in;
    m_out = out;
    update();
}

void TimelineSlider::paintEvent(QPaintEvent *event)
{
    QSlider::paintEvent(event);
    const int max = maximum();
    if (max < 1)
        return;
    QPainter painter(this);
    // The clip: shaded from in to out, a bracket at each (green in, red out).
    auto xOf = [max, this](double t) { return int(std::clamp(t, 0.0, double(max)) / max * width()); };
    const int top = 2, bottom = height() / 2 - 6;
    if (m_in >= 0 && m_out >= 0)
        painter.fillRect(QRect(QPoint(xOf(m_in), top), QPoint(xOf(m_out), bottom)), QColor(0x42, 0xa5, 0xf5, 70));
    const struct { double at; QColor colour; int foot; } points[] = {
            {m_in, QColor(QStringLiteral("#43a047")), 5}, {m_out, QColor(QStringLiteral("#e53935")), -5}};
    for (const auto &point : points) {
        if (point.at < 0)
            continue;
        const int x = xOf(point.at);
        painter.setPen(QPen(point.colour, 2));
        painter.drawLine(x, top, x, bottom);
        painter.drawLine(x, top, x + point.foot, top);
        painter.drawLine(x, bottom, x + point.foot, bottom);
    }
    painter.setPen(QPen(QColor(QStringLiteral("#ffb300")), 2));
    for (double mark : m_marks) {
        if (mark >= 0 && mark <= max) {
            const int x = int(mark / max * width());
            painter.drawLine(x, 2, x, height() / 2 - 8);
        }
    }
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QColor(QStringLiteral("#888")));
    QFont font = painter.font();
    font.setPointSize(9);
    font.setFamily(QStringLiteral("Menlo"));
    painter.setFont(font);
    const QFontMetrics metrics(font);
    const int w = width();
    const int mid = height() / 2;
    const int baseline = height() - 4;
    const int interval = tickInterval(max);
    // 64-bit steps: a very long timeline must not overflow the loop.
    for (qint64 t = 0; t <= max; t += interval) {
        const int x = int(double(t) / max * w);
        painter.drawLine(x, mid + 8, x, mid + 14);
        const QString label = tickLabel(int(t), max);
        const int advance = metrics.horizontalAdvance(label);
        int lx = x - advance / 2;
        if (lx < 0)
            lx = 0;
        if (lx + advance > w)
            lx = w - advance;
        painter.drawText(lx, baseline, label);
    }
}
