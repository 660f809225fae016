// PlaybackPanel: the two lanes and their roles. Frame routing to the
// monitors and program outputs, lane states (and looping backup videos),
// the swap, audio following program, pausing, the captions, player errors
// and the lanes' reaction to the host's recording state.

#include "playback_panel.h"

#include "fullscreen_output.h"
#include "obs_compat.h"
#include "timeline_slider.h"
#include "video_view.h"
#include "zk_player.h"
#include "zk_streamer.h"

#include <QCheckBox>
#include <QDateTime>
#include <QFileInfo>
#include <QLabel>
#include <QPushButton>
#include <QSlider>
#include <QTimer>

namespace {

const QString kErrorStyle = QStringLiteral("color: #d32f2f; font-size: 11px;");

} // namespace

QString PlaybackPanel::Channel::name() const
{
    switch (type) {
    case Live:
        return QStringLiteral("📺 即时回放");
    case Video:
        return QStringLiteral("▶ ") + QFileInfo(path).fileName();
    case Image:
        return QStringLiteral("🖼 ") + QFileInfo(path).fileName();
    default:
        return QStringLiteral("(空)");
    }
}

void PlaybackPanel::routeFrame(Channel *ch, const QImage &frame, double ptsSec)
{
    ch->lastFrame = frame; // shared, no pixel copy
    ch->positionSec = ptsSec;
    showOnOutputs(ch, frame);
    if (ch == timelineOwner())
        showPosition(ch, ptsSec);
}

void PlaybackPanel::showPosition(Channel *ch, double ptsSec)
{
    if (!sliderDragging)
        timeline->setValue(int(ptsSec));
    posLabel->setText(formatTime(ptsSec));
    if (ch->type == Channel::Live && recordedSecs > 0) {
        const int d = int(qMax(0.0, recordedSecs - ptsSec));
        delayLabel->setText(QString::asprintf("延时 %02d:%02d", d / 60, d % 60));
        return;
    }
    delayLabel->clear();
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

void PlaybackPanel::onChannelState(Channel *ch, const QString &state)
{
    if (state == QStringLiteral("已播完") && ch->type == Channel::Video && loopCheck->isChecked()) {
        ch->player->seek(0.0);
        return;
    }
    if (state == QStringLiteral("已播完") && ch->type == Channel::Live && !ch->nextPath.isEmpty()) {
        continueInNextFile(ch);
        return;
    }
    if (ch == pgm)
        statusLabel->setText(QStringLiteral("节目: %1").arg(state));
}

void PlaybackPanel::onTake()
{
    if (pv->type == Channel::Empty) {
        statusLabel->setText(QStringLiteral("预览是空的 — 先点一个输入源"));
        return;
    }
    // Two pointer writes: neither player is paused, sought or reopened.
    std::swap(pgm, pv);
    applyAudioRouting();
    refreshMonitor(pgm);
    refreshMonitor(pv);
    updateTags();
    updateTimelineRange();
    statusLabel->setText(QStringLiteral("已切换 → 节目: %1").arg(pgm->name()));
}

void PlaybackPanel::refreshMonitor(Channel *ch)
{
    // The lane's current picture on its role's outputs at once; a lane with
    // no picture yet shows black everywhere, never the source before it.
    showOnOutputs(ch, ch->picture());
}

void PlaybackPanel::showOnOutputs(Channel *ch, const QImage &picture)
{
    if (ch != pgm) {
        pvView->setFrame(picture);
        return;
    }
    pgmView->setFrame(picture);
    if (fullscreen)
        fullscreen->setFrame(picture);
    // The streamer ignores both unless it is streaming.
    if (picture.isNull())
        streamer->clearPicture();
    else
        streamer->pushFrame(picture);
}

void PlaybackPanel::applyAudioRouting()
{
    // Audio follows program; preview is always silent.
    const int volume = volumeSlider ? volumeSlider->value() : 80;
    const bool muted = muteButton && muteButton->isChecked();
    if (pgm->player) {
        pgm->player->setVolume(volume);
        pgm->player->setMuted(muted);
    }
    if (pv->player)
        pv->player->setMuted(true);
}

void PlaybackPanel::togglePause(Channel *ch)
{
    if ((ch->type != Channel::Live && ch->type != Channel::Video) || !ch->player->isPlaying())
        return;
    ch->player->setPaused(!ch->player->isPaused());
}

void PlaybackPanel::trigger(Shortcut shortcut)
{
    // Through the buttons themselves: a hotkey never bypasses a rule of the
    // button it stands for.
    switch (shortcut) {
    case Shortcut::Take:
        takeButton->click();
        break;
    case Shortcut::InstantReplay:
        loadToPreview(Channel::Live, QString());
        break;
    case Shortcut::PausePreview:
        pvPauseButton->click();
        break;
    case Shortcut::PauseProgram:
        pgmPauseButton->click();
        break;
    case Shortcut::ScreenOutput:
        hdmiButton->click();
        break;
    }
}

void PlaybackPanel::updateTags()
{
    pvTag->setText(QStringLiteral("预览 PV — ") + pv->name());
    pgmTag->setText(QStringLiteral("节目 PGM — ") + pgm->name());
}

void PlaybackPanel::onError(const QString &msg)
{
    statusLabel->setText(QStringLiteral("❌ ") + msg);
    statusLabel->setStyleSheet(kErrorStyle);
}

void PlaybackPanel::onRecordingStateChanged(bool active)
{
    if (active) {
        // The host reports recording active from starting to stopping: only
        // the first notification of a recording starts the count.
        if (recordStartSecs == 0) {
            recordStartSecs = QDateTime::currentSecsSinceEpoch();
            recordPause.clear();
            recordPause.set(obs_frontend_recording_paused(), QDateTime::currentMSecsSinceEpoch());
        }
        return;
    }
    recordStartSecs = 0;
    recordPause.clear();
    recordingPath.clear();
    // The recording is finished: its end is now the real end.
    for (Channel *ch : {&channelA, &channelB})
        if (ch->type == Channel::Live)
            ch->player->stopFollowing();
}

QString PlaybackPanel::hostLastRecording()
{
    char *answer = obs_frontend_get_last_recording();
    const QString path = QString::fromUtf8(answer);
    bfree(answer);
    return path;
}

void PlaybackPanel::onRecordingStarted()
{
    // Noted once the host has named the new file (not at "starting", when
    // it may still name the recording before it).
    recordingPath = hostLastRecording();
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
    const QString path = hostLastRecording();
    if (path.isEmpty() || path == recordingPath)
        return;
    // The host split its recording: the lanes that follow the old file play
    // it to its end and go straight on with the new one; instant replay and
    // the recorded length now refer to the new file.
    blog(LOG_INFO, "[Zerka] 录制已分段 → %s", path.toUtf8().constData());
    for (Channel *ch : {&channelA, &channelB}) {
        if (ch->type == Channel::Live && ch->path == recordingPath) {
            ch->nextPath = path;
            ch->player->stopFollowing();
        }
    }
    recordingPath = path;
    recordStartSecs = QDateTime::currentSecsSinceEpoch();
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
    const bool follow = path == recordingPath && obs_frontend_recording_active();
    blog(LOG_INFO, "[Zerka] %s 接着播放下一段 %s", ch == pgm ? "PGM" : "PV", path.toUtf8().constData());
    ch->player->open(path, follow, 0.0);
}

void PlaybackPanel::shutdown()
{
    // The host is exiting: nothing may call it from now on. The desk itself
    // is destroyed later by the host, with its dock.
    totalTimer->stop();
    recordingPath.clear();
    stopEngines();
}
