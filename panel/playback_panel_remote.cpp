// PlaybackPanel: requests from a remote control (a Stream Deck, Companion
// or a script through obs-websocket's vendor "zerka"). Each request does
// what its button or hotkey does, with the parameters a key cannot carry;
// every parameter is checked first, so a bad request answers
// {"error": why} and leaves the desk as it was.

#include "playback_panel.h"

#include "clip_export.h"
#include "input_strip.h"
#include "screen_output.h"
#include "stream_controls.h"
#include "timeline_slider.h"

#include <QJsonArray>
#include <QLabel>

#include <cmath>
#include <functional>

namespace {

constexpr double kSlowestRate = 0.1;

QJsonObject failure(const QString &why)
{
    return QJsonObject{{"error", why}};
}

const char *typeName(PlaybackPanel::Channel::Type type)
{
    switch (type) {
    case PlaybackPanel::Channel::Live:
        return "live";
    case PlaybackPanel::Channel::Video:
        return "video";
    case PlaybackPanel::Channel::Image:
        return "image";
    default:
        return "empty";
    }
}

// A number parameter: absent gives `fallback`; anything but a finite number is refused.
bool numberParam(const QJsonObject &params, const char *name, double fallback, double &out, QString &why)
{
    const QJsonValue value = params.value(QLatin1String(name));
    if (value.isUndefined() || value.isNull()) {
        out = fallback;
        return true;
    }
    if (!value.isDouble() || !std::isfinite(value.toDouble())) {
        why = QStringLiteral("参数 %1 必须是数字").arg(QLatin1String(name));
        return false;
    }
    out = value.toDouble();
    return true;
}

} // namespace

QJsonObject PlaybackPanel::laneState(const Channel *ch) const
{
    const bool plays = (ch->type == Channel::Live || ch->type == Channel::Video) && ch->player->isPlaying();
    return QJsonObject{
            {"source", ch->name()},
            {"type", typeName(ch->type)},
            {"path", ch->path},
            {"position", ch->positionSec},
            {"length", laneLength(ch)},
            {"speed", ch->speed},
            {"paused", plays && ch->player->isPaused()},
    };
}

QStringList PlaybackPanel::requestTypes()
{
    return {"GetState", "Take", "InstantReplay", "LoadFile", "Seek", "SetSpeed", "SetPaused",
            "Step", "Mark", "ReplayMark", "SetIn", "SetOut", "ExportClip", "PlayReel", "ReturnToLive", "SetReturnAfterReplay", "SetSlowSound"};
}

QJsonObject PlaybackPanel::request(const QString &type, const QJsonObject &params)
{
    const QJsonObject ok{{"ok", true}};
    QString why;
    // "lane": "preview" or "program", a lane that plays a video or the recording.
    auto playingLane = [&](Channel *&ch) {
        const QString lane = params.value("lane").toString();
        ch = lane == QLatin1String("preview") ? pv : lane == QLatin1String("program") ? pgm : nullptr;
        if (!ch)
            why = QStringLiteral("参数 lane 必须是 \"preview\" 或 \"program\"");
        else if ((ch->type != Channel::Live && ch->type != Channel::Video) || !ch->player->isPlaying())
            why = QStringLiteral("%1 没有在播放视频").arg(lane);
        return why.isEmpty();
    };
    // A load or replay that failed said why on the status line.
    auto loaded = [this, &ok](bool done, const QString &detail = QString()) {
        if (!done)
            return failure(statusLabel->text());
        previewLoaded(detail);
        return ok;
    };

    if (type == QLatin1String("GetState")) {
        QJsonArray marks;
        for (const RecordingTrack::Mark &mark : track().marks())
            marks.append(QJsonObject{{"path", mark.file}, {"at", mark.at}});
        return QJsonObject{
                {"preview", laneState(pv)},
                {"program", laneState(pgm)},
                {"recording", track().active()},
                {"streaming", stream->isStreaming()},
                {"screenOutput", screen->isOpen()},
                {"marks", marks},
                {"clip", QJsonObject{{"path", clip.file}, {"in", clip.in}, {"out", clip.out}}},
                {"returnAfterReplay", returnAfterReplay},
                {"slowSound", slowSound},
        };
    }
    if (type == QLatin1String("Take")) {
        if (pv->type == Channel::Empty)
            return failure(QStringLiteral("预览是空的 — 先点一个输入源"));
        trigger(Shortcut::Take);
        return ok;
    }
    if (type == QLatin1String("InstantReplay")) {
        double back = 0;
        if (!numberParam(params, "secondsBack", 0, back, why))
            return failure(why);
        if (back < 0)
            return failure(QStringLiteral("参数 secondsBack 不能是负数"));
        return loaded(loadLive(back));
    }
    if (type == QLatin1String("LoadFile")) {
        const QString path = params.value("path").toString();
        if (path.isEmpty())
            return failure(QStringLiteral("参数 path 必须是文件路径"));
        return loaded(InputStrip::isImageFile(path) ? loadImage(path) : loadVideo(path));
    }
    if (type == QLatin1String("Seek")) {
        Channel *ch = nullptr;
        double seconds = -1;
        if (!playingLane(ch) || !numberParam(params, "seconds", -1, seconds, why))
            return failure(why);
        const double length = laneLength(ch);
        if (seconds < 0 || (length > 0 && seconds > length))
            return failure(QStringLiteral("参数 seconds 必须在 0 到 %1 之间").arg(length, 0, 'f', 3));
        ch->player->seek(seconds);
        return ok;
    }
    if (type == QLatin1String("SetSpeed")) {
        Channel *ch = nullptr;
        double rate = 0;
        if (!playingLane(ch) || !numberParam(params, "rate", 0, rate, why))
            return failure(why);
        if (rate < kSlowestRate || rate > 1.0)
            return failure(QStringLiteral("参数 rate 必须在 0.1 到 1 之间"));
        ch->speed = rate;
        ch->player->setSpeed(rate);
        updateTags();
        return ok;
    }
    if (type == QLatin1String("SetPaused")) {
        Channel *ch = nullptr;
        if (!playingLane(ch))
            return failure(why);
        if (!params.value("paused").isBool())
            return failure(QStringLiteral("参数 paused 必须是 true 或 false"));
        if (ch->player->isPaused() != params.value("paused").toBool())
            trigger(ch == pv ? Shortcut::PausePreview : Shortcut::PauseProgram);
        return ok;
    }
    if (type == QLatin1String("Step")) {
        double direction = 1;
        if (!numberParam(params, "direction", 1, direction, why))
            return failure(why);
        if (direction != 1 && direction != -1)
            return failure(QStringLiteral("参数 direction 必须是 1 或 -1"));
        const Channel *owner = timelineOwner();
        if (!owner || !owner->player->isPlaying() || !owner->player->isPaused())
            return failure(QStringLiteral("时间轴上的通道没有暂停 — 先暂停再逐帧"));
        trigger(direction > 0 ? Shortcut::StepForward : Shortcut::StepBack);
        return ok;
    }
    if (type == QLatin1String("Mark")) {
        const int before = int(track().marks().size());
        trigger(Shortcut::Mark);
        return int(track().marks().size()) > before ? ok : failure(statusLabel->text());
    }
    if (type == QLatin1String("ReplayMark")) {
        const int count = int(track().marks().size());
        double index = count;
        if (!numberParam(params, "index", count, index, why))
            return failure(why);
        if (count == 0)
            return failure(QStringLiteral("还没有标记"));
        if (index != std::floor(index) || index < 1 || index > count)
            return failure(QStringLiteral("参数 index 必须是 1 到 %1 的整数").arg(count));
        return replayFromMark(int(index) - 1) ? ok : failure(statusLabel->text());
    }
    if (type == QLatin1String("SetIn") || type == QLatin1String("SetOut")) {
        if (!setClipPoint(type == QLatin1String("SetIn")))
            return failure(statusLabel->text());
        return QJsonObject{{"ok", true}, {"in", clip.in}, {"out", clip.out}};
    }
    if (type == QLatin1String("ExportClip") || type == QLatin1String("PlayReel")) {
        // As the hotkeys: while an export runs, it is cancelled. Its end
        // comes as the event "ExportFinished".
        const bool running = exporter->isRunning();
        if (!(type == QLatin1String("ExportClip") ? exportClip() : playReel()))
            return failure(statusLabel->text());
        return QJsonObject{{"ok", true}, {"cancelled", running}, {"file", running ? QString() : exporter->target()}};
    }
    if (type == QLatin1String("ReturnToLive"))
        return returnToLive() ? ok : failure(statusLabel->text());
    if (type == QLatin1String("SetReturnAfterReplay") || type == QLatin1String("SetSlowSound")) {
        if (!params.value("on").isBool())
            return failure(QStringLiteral("参数 on 必须是 true 或 false"));
        setOption(type == QLatin1String("SetSlowSound") ? Option::SlowSound : Option::ReturnAfterReplay,
                  params.value("on").toBool());
        return ok;
    }
    return failure(QStringLiteral("没有这个请求: %1 (有: %2)").arg(type, requestTypes().join(", ")));
}
