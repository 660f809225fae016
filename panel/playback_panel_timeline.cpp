// PlaybackPanel: the timeline and the time row, the recording as the desk
// follows it (through the recording track: its files, their lengths, a
// split), and the marks.
//
// A lane is measured against the file it plays: the file being written
// against what is recorded of it so far, any other against its length.
// A lane following the recording goes on through the files the host split
// it into, for any number of splits and any delay behind the live edge.
//
// Marks: moments of the recording, noted by the operator (and kept by the
// host as chapters where its format has them), drawn on the timeline while
// it shows their file, and the instant replay's starts.

#include "playback_panel.h"

#include "clip_export.h"
#include "host_recording.h"
#include "input_strip.h"
#include "recording_track.h"
#include "timeline_slider.h"
#include "zk_player.h"

#include <obs-module.h>

#include <QDateTime>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>

#include <climits>
#include <cmath>

namespace {

constexpr double kMarkLeadSec = 5.0; // the replay from a mark starts this much before it
constexpr qint64 kMarkStepMs = 3000; // pressed again within this, the replay goes to the mark before
constexpr double kReelBeforeSec = 5.0; // a reel shows each marked moment from this much before it
constexpr double kReelAfterSec = 3.0;  // to this much after it
// A stretch to a split file's end asks for this much past the length the
// host's clock gives it; the export stops at the file's last picture.
constexpr double kFileEndSlackSec = 1.0;

qint64 nowMs()
{
    return QDateTime::currentMSecsSinceEpoch();
}

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

RecordingTrack &PlaybackPanel::track() const
{
    return host->track();
}

double PlaybackPanel::laneLength(const Channel *ch) const
{
    // A finished file opened as such states its own length; the recording's
    // files are as long as the track has seen them grow.
    if (ch->type == Channel::Live && !(ch->durationSec > 0))
        return std::floor(track().fileSecs(ch->path, nowMs()));
    return ch->durationSec;
}

void PlaybackPanel::updateTimelineRange()
{
    Channel *owner = timelineOwner();
    if (!owner) {
        timeline->setMarks({});
        timeline->setClipPoints(-1, -1);
        timeline->setEnabled(false);
        totalLabel->setText(QStringLiteral("/ --:--:--"));
        return;
    }
    // A new owner may be paused: its time is shown now, not at its next picture.
    showPosition(owner, owner->positionSec);
    QVector<double> marks;
    if (owner->type == Channel::Live)
        for (const RecordingTrack::Mark &mark : track().marks())
            if (mark.file == owner->path)
                marks << mark.at;
    timeline->setMarks(marks);
    if (owner->path == clip.file)
        timeline->setClipPoints(clip.in, clip.out);
    else
        timeline->setClipPoints(-1, -1);
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
    // Behind the live edge: the rest of its file, then all the recording
    // went on to write (up to its end, once it has stopped).
    if (ch->type == Channel::Live && track().fileSecs(ch->path, nowMs()) > 0) {
        const int d = int(track().behindSecs(ch->path, ptsSec, nowMs()));
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
    // While the host records the length grows; afterwards it stays.
    if (track().active())
        updateTimelineRange();
}

void PlaybackPanel::onFileFinished(const QString &finished)
{
    // The host split its recording, or stopped it: a lane following that
    // file plays it to its end (now its real end) and then goes on in the
    // next one, if any.
    for (Channel *ch : {&channelA, &channelB})
        if (ch->type == Channel::Live && ch->path == finished)
            ch->player->stopFollowing();
    exporter->fileFinished(finished);
    updateTimelineRange();
}

bool PlaybackPanel::continueInNextFile(Channel *ch)
{
    // The lane keeps its last picture on every output until the new file's
    // first one replaces it, so a delayed programme does not go black.
    const QString path = track().nextFile(ch->path);
    if (path.isEmpty())
        return false;
    ch->path = path;
    ch->durationSec = 0.0;
    ch->positionSec = 0.0;
    blog(LOG_INFO, "[Zerka] %s 接着播放下一段 %s", ch == pgm ? "PGM" : "PV", path.toUtf8().constData());
    ch->player->open(path, track().isWriting(path), 0.0);
    if (ch == timelineOwner())
        updateTimelineRange();
    return true;
}

void PlaybackPanel::addMark()
{
    RecordingTrack::Mark mark;
    if (!track().addMark(nowMs(), &mark)) {
        setStatus(QStringLiteral("OBS 当前没有录制 — 标记要在录制中打"));
        return;
    }
    const int n = int(track().marks().size());
    const QString name = formatTime(mark.at);
    const bool chapter = host->addChapter(name);
    blog(LOG_INFO, "[Zerka] 标记 %d @ %.2fs%s", n, mark.at, chapter ? " (章节)" : "");
    setStatus(QStringLiteral("🔖 标记 %1: %2%3").arg(n).arg(name, chapter ? QStringLiteral(" · OBS 章节") : QString()));
    updateTimelineRange();
}

bool PlaybackPanel::replayFromMark(int asked)
{
    const QVector<RecordingTrack::Mark> &marks = track().marks();
    if (marks.isEmpty()) {
        setStatus(QStringLiteral("还没有标记 — 录制中按 \"Zerka: 标记\""));
        return false;
    }
    // The newest mark; pressed again soon after, the one before it.
    const bool again = markReplayed >= 0 && markReplayed < marks.size() && sinceMarkReplay.isValid() &&
                       sinceMarkReplay.elapsed() < kMarkStepMs;
    const int index = asked >= 0 ? asked : again ? qMax(0, markReplayed - 1) : int(marks.size()) - 1;
    const RecordingTrack::Mark mark = marks.at(index);
    if (!loadLive(track().before(mark.file, mark.at, kMarkLeadSec, nowMs())))
        return false;
    endReplayAtLiveEdge();
    markReplayed = index;
    sinceMarkReplay.restart();
    previewLoaded(QStringLiteral(" · 标记 %1 (%2)").arg(index + 1).arg(formatTime(mark.at)));
    return true;
}

bool PlaybackPanel::setClipPoint(bool in)
{
    Channel *owner = timelineOwner();
    if (!owner || owner->lastFrame.isNull()) {
        setStatus(QStringLiteral("时间轴上没有视频 — 入点和出点设在视频或回放的画面上"));
        return false;
    }
    // At the picture on screen, to the picture: its own time in the file.
    const double at = owner->positionSec;
    if (clip.file != owner->path)
        clip = ClipPoints{owner->path};
    // One before the other always: the other follows to the same picture.
    if (in) {
        clip.in = at;
        if (clip.out >= 0 && clip.out < at)
            clip.out = at;
    } else {
        clip.out = at;
        if (clip.in >= 0 && clip.in > at)
            clip.in = at;
    }
    const QString time = formatTime(at) + QString::asprintf(".%03d", int(std::fmod(at, 1.0) * 1000 + 0.5) % 1000);
    blog(LOG_INFO, "[Zerka] %s @ %.3fs (%s)", in ? "入点" : "出点", at, owner->path.toUtf8().constData());
    setStatus((in ? QStringLiteral("⟦ 入点 ") : QStringLiteral("⟧ 出点 ")) + time);
    updateTimelineRange();
    return true;
}

bool PlaybackPanel::cancelExport()
{
    const bool running = exporter->isRunning();
    if (running)
        exporter->cancel(); // the export reports its end
    return running;
}

bool PlaybackPanel::exportClip()
{
    if (cancelExport())
        return true;
    if (clip.in < 0 || clip.out < 0) {
        setStatus(QStringLiteral("先设入点和出点 — 导出片段从入点的画面到出点的画面"));
        return false;
    }
    if (refuseMissing(clip.file))
        return false;
    // Beside the file, which goes on being recorded untouched.
    const ClipExport::Request request{{{clip.file, clip.in, clip.out, track().isWriting(clip.file)}},
                                      ClipExport::targetFor(clip.file, clip.in)};
    blog(LOG_INFO, "[Zerka] 导出片段 %.3f–%.3f s of %s → %s", clip.in, clip.out, clip.file.toUtf8().constData(),
         request.target.toUtf8().constData());
    startExport(request, 0);
    return true;
}

bool PlaybackPanel::playReel()
{
    if (cancelExport())
        return true;
    // Every marked moment, in recording order, from before its mark to
    // after it through the files the recording was split into; moments
    // that overlap (or touch) made one.
    const QVector<RecordingTrack::Mark> &marks = track().marks();
    if (marks.isEmpty()) {
        setStatus(QStringLiteral("还没有标记 — 录制中按 \"Zerka: 标记\""));
        return false;
    }
    const qint64 now = nowMs();
    QVector<ClipExport::Part> parts;
    auto add = [&parts](const ClipExport::Part &part) {
        if (!parts.isEmpty() && parts.last().source == part.source && part.in <= parts.last().out)
            parts.last().out = std::max(parts.last().out, part.out);
        else
            parts.append(part);
    };
    for (const RecordingTrack::Mark &mark : marks) {
        const RecordingTrack::Position from = track().before(mark.file, mark.at, kReelBeforeSec, now);
        double in = from.at, until = -1; // until: the moment's end in this file, once the mark's file is reached
        for (QString file = from.file; !file.isEmpty(); file = track().nextFile(file), in = 0) {
            if (file == mark.file)
                until = mark.at + kReelAfterSec;
            const bool writing = track().isWriting(file);
            const double length = track().fileSecs(file, now);
            if (until >= 0 && (writing || until <= length)) {
                add({file, in, until, writing});
                break;
            }
            // The rest of the file: read to its end, which the host's clock
            // only tells about.
            add({file, in, length + kFileEndSlackSec, false});
            if (until >= 0)
                until -= length;
        }
    }
    for (const ClipExport::Part &part : parts)
        if (refuseMissing(part.source))
            return false;
    const QString label = QStringLiteral("集锦 · %1 个标记").arg(marks.size());
    blog(LOG_INFO, "[Zerka] %s: %d 段", label.toUtf8().constData(), int(parts.size()));
    startExport({parts, ClipExport::targetFor(parts.first().source, 0, label)}, int(marks.size()));
    return true;
}

void PlaybackPanel::startExport(const ClipExport::Request &request, int reelMarks)
{
    exportingReel = reelMarks;
    exporter->start(request);
    setStatus(reelMarks > 0 ? QStringLiteral("✂ 集锦 0%") : QStringLiteral("✂ 导出片段 0%"));
}

void PlaybackPanel::onExportEnded(const QJsonObject &result)
{
    const QString path = result.value("path").toString();
    if (!path.isEmpty() && exportingReel > 0 && loadVideo(path)) {
        // The reel goes into preview, ready to swap to program.
        inputs->addBackup(path);
        previewLoaded(QString());
    } else if (!path.isEmpty()) {
        inputs->addBackup(path);
        setStatus(QStringLiteral("✂ ") + QFileInfo(path).fileName());
    } else if (result.value("cancelled").toBool()) {
        setStatus(QStringLiteral("✂ 导出片段已取消"));
    } else {
        setStatus(QStringLiteral("❌ 导出片段失败: ") + result.value("error").toString());
    }
    emit remoteEvent(QStringLiteral("ExportFinished"), result);
}
