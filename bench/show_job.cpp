// bench/run show: a whole show played by the operator in real OBS, as an
// operator runs one. OBS records Hybrid MP4 (split every 5 minutes by the
// session's profile), its scene the flash-and-click clip with Zerka's
// program source in a corner; program starts on a looping backup video and
// from 2:05 on follows the recording 2 minutes behind (the instant replay),
// swapped with the backup every 10 s; every 2 minutes the following lane
// plays at 1/2x for its 10 s on program; every 5 minutes it is paused on
// program and stepped 5 pictures back and 5 forward; every 5 minutes the
// replay from the newest mark takes the backup's place for a turn; a mark
// every minute; OBS's recording paused for 20 s every 15 minutes; program
// streamed to ZK_RTMP_URL and full screen on the other display.
//
// What it writes (results.json, "show"): the files OBS wrote, OBS's
// resident memory and CPU time after 5 minutes and at the end, the seams of the
// following lane (the moment it went on in the next file, and how long its
// picture stood still there), the swaps, and when the stream started; all
// times in ms since the recording started.

#include "obs/operator.h"

#include <QFile>

#include <sys/resource.h>

namespace {

// OBS's CPU time so far (all its threads, Zerka's among them), in seconds.
double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

qint64 residentKb()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    return -1;
}

constexpr qint64 kFollowFromMs = 125000; // the instant replay has two minutes behind it
constexpr qint64 kTurnMs = 10000;        // program swaps this often

} // namespace

void Operator::planShow(int minutes)
{
    const qint64 endMs = qint64(minutes > 0 ? minutes : 60) * 60000;
    act(QStringLiteral("puts the backup video on program and starts the show"), [this] {
        click(QStringLiteral("▶ blue.mkv"));
        click(QStringLiteral("⇄"));
        click(QStringLiteral("🔴  开始录制"));
    });
    waitUntil(QStringLiteral("OBS records"), [] { return obs_frontend_recording_active(); }, 10000);
    act(QStringLiteral("streams program and shows it full screen"), [this] {
        m_recording.start();
        m_round = QJsonObject{{"files", QJsonArray{lastRecording()}}};
        startStream(qEnvironmentVariable("ZK_RTMP_URL"));
        m_round.insert("streamMs", m_recording.elapsed());
        click(QStringLiteral("🟢  HDMI"));
    });
    // The show itself, one look every 50 ms: what is due is done.
    struct State {
        QObject *backup = nullptr;   // the lane that plays the backup video first
        QObject *follower = nullptr; // the lane following the recording
        double lastPts = -1;
        qint64 lastWall = 0;
        int turn = -1;               // swaps since the follower first went on program
        bool slowed = false;
        bool markReplay = false;     // the other lane holds the replay from a mark
        qint64 lastSlow = -1e9, lastSteps = -1e9, lastReplay = -1e9;
        int marks = 0, pauses = 0;
        QJsonArray seams, swaps;
    };
    auto state = std::make_shared<State>();
    m_steps.push_back({QStringLiteral("plays the show"), [this, state, endMs](qint64) {
        const qint64 t = m_recording.elapsed();
        State &s = *state;
        // The files OBS writes, and the follower's seams (its pictures
        // start again from the beginning of the next file).
        const QString file = lastRecording();
        QJsonArray files = m_round.value("files").toArray();
        if (!file.isEmpty() && file != files.last().toString()) {
            files.append(file);
            m_round.insert("files", files);
        }
        if (s.turn == -2) // the lane that showed the instant replay's pictures
            for (auto it = m_frames.begin(); it != m_frames.end() && !s.follower; ++it)
                if (it.key() != s.backup && !it.value().isEmpty())
                    s.follower = it.key();
        for (const QJsonValue &value : m_frames.value(s.follower)) {
            const qint64 wall = value.toArray().at(0).toInteger();
            const double pts = value.toArray().at(1).toDouble();
            if (s.lastPts >= 0 && pts < s.lastPts - 0.5)
                s.seams.append(QJsonArray{wall - m_wall.elapsed() + t, wall - s.lastWall});
            s.lastPts = pts;
            s.lastWall = wall;
        }
        if (!s.backup && !m_frames.isEmpty())
            s.backup = m_frames.keys().first(); // all there is on air before the replay
        m_frames.clear();
        if (t >= qMin<qint64>(300000, endMs / 2) && !m_round.contains("rssStartKb")) {
            m_round.insert("rssStartKb", residentKb());
            m_round.insert("cpuStart", QJsonArray{t, cpuSeconds()});
        }
        if (t >= (s.marks + 1) * 60000 - 30000) {
            triggerHotkey("zerka.mark");
            ++s.marks;
        }
        // OBS's recording paused for 20 s every 15 minutes.
        const qint64 inQuarter = t % 900000;
        if (inQuarter >= 450000 && inQuarter < 470000 && !obs_frontend_recording_paused())
            obs_frontend_recording_pause(true), ++s.pauses;
        else if ((inQuarter < 450000 || inQuarter >= 470000) && obs_frontend_recording_paused())
            obs_frontend_recording_pause(false);
        if (t >= endMs)
            return true;
        if (t >= kFollowFromMs && s.turn == -1 && !s.follower) {
            click(QStringLiteral("📺 即时回放")); // into preview: its lane follows from now on
            s.turn = -2;
            return false;
        }
        if (s.turn == -2 && s.follower)
            s.turn = -1;
        if (!s.follower || t < kFollowFromMs + (s.turn + 1) * kTurnMs)
            return false;
        click(QStringLiteral("⇄"));
        s.swaps.append(t);
        ++s.turn;
        const bool followerOnProgram = s.turn % 2 == 0;
        if (!followerOnProgram) {
            if (s.slowed) // back at 1x in preview
                triggerHotkey("zerka.slow_preview"), triggerHotkey("zerka.slow_preview");
            s.slowed = false;
            return false;
        }
        if (s.markReplay) {
            click(QStringLiteral("▶ blue.mkv")); // the backup back in preview
            s.markReplay = false;
        } else if (t - s.lastSlow >= 120000) {
            triggerHotkey("zerka.slow_program");
            s.slowed = true;
            s.lastSlow = t;
        } else if (t - s.lastSteps >= 300000) {
            s.lastSteps = t;
            triggerHotkey("zerka.pause_program");
            for (int i = 0; i < 10; ++i)
                QTimer::singleShot(500 + i * 300, this, [this, i] {
                    triggerHotkey(i < 5 ? "zerka.step_back" : "zerka.step_forward");
                });
            QTimer::singleShot(4000, this, [this] { triggerHotkey("zerka.pause_program"); });
        } else if (t - s.lastReplay >= 300000) {
            triggerHotkey("zerka.replay_mark");
            s.markReplay = true;
            s.lastReplay = t;
        }
        return false;
    }, endMs + 600000});
    act(QStringLiteral("stops the stream and the screen output"), [this, state] {
        m_round.insert("rssEndKb", residentKb());
        m_round.insert("cpuEnd", QJsonArray{m_recording.elapsed(), cpuSeconds()});
        m_round.insert("seams", state->seams);
        m_round.insert("swaps", state->swaps);
        m_round.insert("pauses", state->pauses);
        stopOutputs();
    });
    planStop();
    act(QString(), [this] { m_results.insert(QStringLiteral("show"), m_round); });
}
