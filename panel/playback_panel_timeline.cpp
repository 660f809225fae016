// PlaybackPanel: the timeline and the time row, and the host's recording
// as the desk sees it: its length (counted from its start, less pauses),
// the file it writes, and a split into a new file.
//
// A lane is measured against the file it plays: a Live lane on the file
// being written against the recorded length, a lane still in an older file
// (a split, or a recording since stopped) against that file's own length.
//
// Marks: moments of the file being written, noted by the operator (and
// kept by the host as chapters where its format has them), drawn on the
// timeline while it shows that file, and the instant replay's starts.

#include "playback_panel.h"

#include "host_recording.h"
#include "timeline_slider.h"
#include "zk_player.h"

#include <obs-module.h>

#include <QDateTime>
#include <QHBoxLayout>
#include <QLabel>

#include <climits>
#include <cmath>

namespace {

constexpr double kMarkLeadSec = 5.0; // the replay from a mark starts this much before it
constexpr qint64 kMarkStepMs = 3000; // pressed again within this, the replay goes to the mark before

} // namespace

QString PlaybackPanel::formatTime(double seconds)
{
    const qint64 s = qint64(seconds);
    return QString::asprintf("%02lld:%02lld:%02lld", static_cast<long long>(s / 3600),
                             static_cast<long long>((s / 60) % 60), static_cast<long long>(s % 60));
}

void PlaybackPanel::buildTimeRow(QHBoxLayout *row)
{
    posLabel = new QLabel(QStringLiteral("00:00:00"), this);
    posLabel->setObjectName(QStringLiteral("posLabel"));
    posLabel->setStyleSheet(QStringLiteral("color:#fff; font-weight:600;"));
    totalLabel = new QLabel(QStringLiteral("/ --:--:--"), this);
    totalLabel->setObjectName(QStringLiteral("totalLabel"));
    totalLabel->setStyleSheet(QStringLiteral("color:#888;"));
    delayLabel = new QLabel(this);
    delayLabel->setObjectName(QStringLiteral("delayLabel"));
    delayLabel->setStyleSheet(QStringLiteral("color:#d32f2f;"));
    QFont font = posLabel->font();
    font.setFamily(QStringLiteral("Menlo, monospace"));
    for (QLabel *label : {posLabel, totalLabel, delayLabel})
        label->setFont(font);
    row->addWidget(posLabel);
    row->addWidget(totalLabel);
    row->addStretch();
    row->addWidget(delayLabel);
}

PlaybackPanel::Channel *PlaybackPanel::timelineOwner()
{
    // A live lane first (preview before program), then a video lane.
    for (Channel::Type type : {Channel::Live, Channel::Video})
        for (Channel *ch : {pv, pgm})
            if (ch->type == type)
                return ch;
    return nullptr;
}

bool PlaybackPanel::playsOlderFile(const Channel *ch) const
{
    return ch->type == Channel::Live && (ch->path != recordingPath || !ch->nextPath.isEmpty());
}

double PlaybackPanel::laneLength(const Channel *ch) const
{
    if (ch->type == Channel::Live && !playsOlderFile(ch))
        return recordedSecs;
    return ch->durationSec;
}

void PlaybackPanel::updateTimelineRange()
{
    Channel *owner = timelineOwner();
    if (!owner) {
        timeline->setMarks({});
        timeline->setEnabled(false);
        totalLabel->setText(QStringLiteral("/ --:--:--"));
        return;
    }
    // A new owner may be paused: its time is shown now, not at its next picture.
    showPosition(owner, owner->positionSec);
    timeline->setMarks(owner->type == Channel::Live && owner->path == marksPath ? marks : QVector<double>());
    const double total = laneLength(owner);
    if (!(total > 0)) // unknown yet (or not a number): keep what is shown
        return;
    // A file may state any duration; the slider holds whole seconds in an int.
    const double seconds = std::min(total, double(INT_MAX));
    timeline->setRange(0, int(seconds));
    timeline->setEnabled(true);
    totalLabel->setText(QStringLiteral("/ ") + formatTime(seconds));
}

void PlaybackPanel::showPosition(Channel *ch, double ptsSec)
{
    if (!sliderDragging)
        timeline->setValue(int(ptsSec));
    posLabel->setText(formatTime(ptsSec));
    if (ch->type == Channel::Live && recordedSecs > 0) {
        // Behind the live edge: the rest of an older file, then all of the
        // recording being written (if any).
        const double newer = recordingPath.isEmpty() ? 0.0 : recordedSecs;
        const double behind = playsOlderFile(ch) ? qMax(0.0, ch->durationSec - ptsSec) + newer
                                                 : qMax(0.0, recordedSecs - ptsSec);
        const int d = int(behind);
        delayLabel->setText(QString::asprintf("延时 %02d:%02d", d / 60, d % 60));
        return;
    }
    delayLabel->clear();
}

void PlaybackPanel::onSliderReleased()
{
    sliderDragging = false;
    Channel *owner = timelineOwner();
    if (!owner)
        return;
    const double target = timeline->value();
    blog(LOG_INFO, "[Zerka] 时间轴 seek → %.0fs (%s)", target, owner == pgm ? "PGM" : "PV");
    owner->player->seek(target);
}

void PlaybackPanel::refreshTotal()
{
    if (!host->active() || recordStartSecs <= 0)
        return; // after the recording the length stays at its last value
    checkRecordingFile();
    // Whole seconds, as the recording's start is; a pause holds it.
    recordedSecs = std::floor(recordPause.recordedSecs(recordStartSecs, QDateTime::currentMSecsSinceEpoch()));
    updateTimelineRange();
}

void PlaybackPanel::onRecordingStateChanged(bool active)
{
    if (active) {
        // The host reports recording active from starting to stopping: only
        // the first notification of a recording starts the count.
        if (recordStartSecs == 0) {
            recordStartSecs = host->countFromSecs();
            setFileStart(host->startedMs());
            recordPause.clear();
            recordPause.set(host->paused(), QDateTime::currentMSecsSinceEpoch());
        }
        return;
    }
    // The recording is finished: its end is now the real end, and its
    // length is the one it reached.
    for (Channel *ch : {&channelA, &channelB}) {
        if (ch->type != Channel::Live)
            continue;
        ch->player->stopFollowing();
        if (ch->path == recordingPath && !(ch->durationSec > 0))
            ch->durationSec = recordedSecs;
    }
    recordStartSecs = 0;
    recordPause.clear();
    recordingPath.clear();
}

void PlaybackPanel::onRecordingStarted()
{
    // Noted once the host has named the new file (not at "starting", when
    // it may still name the recording before it). Marks count from here, the
    // moment the host's output runs, when it can tell.
    recordingPath = host->file();
    if (host->startedMs() > 0)
        fileStartMs = host->startedMs();
}

void PlaybackPanel::onRecordingPaused(bool paused)
{
    if (recordStartSecs > 0)
        recordPause.set(paused, QDateTime::currentMSecsSinceEpoch());
}

void PlaybackPanel::checkRecordingFile()
{
    if (recordingPath.isEmpty())
        return;
    const QString path = host->file();
    if (path.isEmpty() || path == recordingPath)
        return;
    // The host split its recording: the lanes that follow the old file play
    // it to its end, measured by the length it reached, and go straight on
    // with the new one; instant replay and the recorded length now refer to
    // the new file.
    blog(LOG_INFO, "[Zerka] 录制已分段 → %s", path.toUtf8().constData());
    for (Channel *ch : {&channelA, &channelB}) {
        if (ch->type == Channel::Live && ch->path == recordingPath) {
            ch->nextPath = path;
            ch->durationSec = recordedSecs;
            ch->player->stopFollowing();
        }
    }
    recordingPath = path;
    recordStartSecs = QDateTime::currentSecsSinceEpoch();
    setFileStart(0);
    recordPause.clear();
    recordedSecs = 0.0;
}

void PlaybackPanel::continueInNextFile(Channel *ch)
{
    // The lane keeps its last picture on every output until the new file's
    // first one replaces it, so a delayed programme does not go black.
    const QString path = ch->nextPath;
    ch->nextPath.clear();
    ch->path = path;
    ch->durationSec = 0.0;
    ch->positionSec = 0.0;
    const bool follow = path == recordingPath && host->active();
    blog(LOG_INFO, "[Zerka] %s 接着播放下一段 %s", ch == pgm ? "PGM" : "PV", path.toUtf8().constData());
    ch->player->open(path, follow, 0.0);
}

void PlaybackPanel::setFileStart(qint64 ms)
{
    // A new file: the marks made so far belong to the one before.
    fileStartMs = ms > 0 ? ms : QDateTime::currentMSecsSinceEpoch();
    marks.clear();
    marksPath.clear();
    markReplayed = -1;
    updateTimelineRange();
}

void PlaybackPanel::addMark()
{
    if (!host->active() || recordStartSecs <= 0) {
        setStatus(QStringLiteral("OBS 当前没有录制 — 标记要在录制中打"));
        return;
    }
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    const double at = qMax<qint64>(0, now - fileStartMs - recordPause.heldMs(now)) / 1000.0;
    marks.append(at);
    marksPath = host->file();
    const QString name = formatTime(at);
    const bool chapter = host->addChapter(name);
    blog(LOG_INFO, "[Zerka] 标记 %lld @ %.2fs%s", static_cast<long long>(marks.size()), at, chapter ? " (章节)" : "");
    setStatus(QStringLiteral("🔖 标记 %1: %2%3").arg(marks.size()).arg(name, chapter ? QStringLiteral(" · OBS 章节") : QString()));
    updateTimelineRange();
}

void PlaybackPanel::replayFromMark()
{
    if (marks.isEmpty()) {
        setStatus(QStringLiteral("还没有标记 — 录制中按 \"Zerka: 标记\""));
        return;
    }
    // The newest mark; pressed again soon after, the one before it.
    const bool again = markReplayed >= 0 && sinceMarkReplay.isValid() && sinceMarkReplay.elapsed() < kMarkStepMs;
    const int index = again ? qMax(0, markReplayed - 1) : int(marks.size()) - 1;
    if (!loadLive(qMax(0.0, marks.at(index) - kMarkLeadSec)))
        return;
    markReplayed = index;
    sinceMarkReplay.restart();
    previewLoaded(QStringLiteral(" · 标记 %1 (%2)").arg(index + 1).arg(formatTime(marks.at(index))));
}
