#pragma once

// Measures end-to-end A/V sync on what an audio sink really played: records
// the sink's monitor with parec, notes the wall time of every click, and
// compares it with the wall time at which each white picture left a player
// (a file with a white picture and a click at every whole second).

#include <QElapsedTimer>
#include <QObject>
#include <QProcess>
#include <QVector>

#include <functional>
#include <limits>

class ZKPlayer;

class SyncMeter : public QObject {
    Q_OBJECT

public:
    struct Result {
        int marks = 0;         // flashes matched with a click
        double meanMs = 0;     // audio later than picture when positive
        double worstMs = 0;    // largest absolute offset
    };

    explicit SyncMeter(const QString &monitorSource, QObject *parent = nullptr);
    ~SyncMeter() override;

    bool start();              // starts recording the monitor
    // The player's white pictures count as flashes (while `counts`, when
    // given: a desk's lane only while it is program, whose sound is heard).
    void watch(ZKPlayer *player, std::function<bool()> counts = {});
    void stop();
    // Over the flashes between `fromMs` and `toMs` on the meter's clock (elapsedMs()).
    Result result(qint64 fromMs = 0, qint64 toMs = std::numeric_limits<qint64>::max()) const;
    qint64 elapsedMs() const { return m_clock.elapsed(); }
    int flashes() const { return int(m_flashes.size()); }

private:
    void onAudio();

    QString m_source;
    QProcess m_parec;
    QElapsedTimer m_clock;
    QVector<qint64> m_clicks;  // ms on m_clock
    QVector<qint64> m_flashes; // ms on m_clock
    qint64 m_samplesSeen = 0;
    qint64 m_lastLoud = -48000;
};
