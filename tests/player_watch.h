#pragma once

// What one player handed out, collected on the test thread whatever thread
// emits it: each picture's time and the wall time it left, the states as
// their texts, the errors, and the bytes of sound.

#include "zk_player.h"

#include <QElapsedTimer>
#include <QObject>
#include <QStringList>
#include <QVector>

#include <utility>

struct PlayerWatch {
    QObject context; // the connections' receiver: queued to the test thread
    QElapsedTimer clock;
    QVector<double> pts;
    QVector<qint64> at; // wall ms on `clock`
    QStringList states;
    QStringList errors;
    qint64 audioBytes = 0;

    explicit PlayerWatch(ZKPlayer &player)
    {
        clock.start();
        QObject::connect(&player, &ZKPlayer::frameReady, &context, [this](const Picture &, double t) {
            pts << t;
            at << clock.elapsed();
        });
        QObject::connect(&player, &ZKPlayer::stateChanged, &context,
                         [this](ZKPlayer::State s) { states << ZKPlayer::stateText(s); });
        QObject::connect(&player, &ZKPlayer::errorOccurred, &context, [this](const QString &e) { errors << e; });
        QObject::connect(&player, &ZKPlayer::audioData, &context,
                         [this](const QByteArray &pcm) { audioBytes += pcm.size(); });
    }
    int count(ZKPlayer::State state) const { return int(states.count(ZKPlayer::stateText(state))); }
    bool finished() const { return count(ZKPlayer::State::Finished) > 0; }
    // The most pictures within any 100 ms, and the longest gap, from picture `from` on.
    std::pair<int, qint64> burstAndGap(int from = 0) const
    {
        int burst = 0;
        qint64 gap = 0;
        for (int i = from, j = from; i < at.size(); ++i) {
            while (at[i] - at[j] > 100)
                ++j;
            burst = qMax(burst, i - j + 1);
            if (i > from)
                gap = qMax(gap, at[i] - at[i - 1]);
        }
        return {burst, gap};
    }
};
