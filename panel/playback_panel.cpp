// PlaybackPanel: construction, the two lanes and their roles, the swap,
// pausing and looping, loading a source into preview, and the status line.

#include "playback_panel.h"

#include "clip_export.h"
#include "desk_settings.h"
#include "desk_style.h"
#include "host_recording.h"
#include "input_strip.h"
#include "monitor_audio.h"
#include "program_outputs.h"
#include "screen_output.h"
#include "stream_controls.h"
#include "support_dialog.h"
#include "timeline_slider.h"
#include "video_view.h"
#include "zk_player.h"

#include <obs-module.h>

#include <QCheckBox>
#include <QCoreApplication>
#include <QDateTime>
#include <QFileInfo>
#include <QFrame>
#include <QImage>
#include <QHBoxLayout>
#include <QLabel>
#include <QPointer>
#include <QTimer>
#include <QVBoxLayout>

namespace {

const QString kStatusStyle = QStringLiteral("color: #888; font-size: 11px;");
const QString kErrorStyle = QStringLiteral("color: #d32f2f; font-size: 11px;");
const QString kTakeStyle = QStringLiteral(
        "QPushButton { background:#e6a23c; color:#111; font-size:15px; font-weight:800; border:none; "
        "border-radius:8px; }QPushButton:hover { background:#f0b350; }QPushButton:pressed { background:#d09230; }");
const QString kSupportStyle = QStringLiteral(
        "QPushButton { background:transparent; color:#e91e63; border:1px solid #7a3a4a; border-radius:5px; "
        "padding:0 10px; font-size:12px; }QPushButton:hover { background:#3a2a30; border-color:#e91e63; }");
constexpr double kReplayBehindSec = 120.0; // instant replay starts two minutes behind
// Another message on the status line gives way to the stream's health after this long.
constexpr qint64 kStatusHoldMs = 5000;
// A lane that shows no pictures (paused, finished, waiting) still updates
// its meter this often, so that its peak falls back when its hold ends.
constexpr int kIdleMeterMs = 100;

} // namespace

PlaybackPanel::PlaybackPanel(HostRecording *host, QWidget *parent) : QWidget(parent), host(host)
{
    setObjectName(QStringLiteral("playbackPanel"));
    auto *root = new QVBoxLayout(this);
    root->setContentsMargins(0, 0, 0, 0);
    root->setSpacing(6);

    auto *monitors = new QHBoxLayout;
    buildMonitors(monitors);
    root->addLayout(monitors, 1);

    timeline = new TimelineSlider(nullptr);
    timeline->setObjectName(QStringLiteral("timeline"));
    timeline->setRange(0, 0);
    timeline->setEnabled(false);
    connect(timeline, &QSlider::sliderPressed, this, [this] { sliderDragging = true; });
    connect(timeline, &QSlider::sliderReleased, this, &PlaybackPanel::onSliderReleased);
    root->addWidget(timeline);

    auto *timeRow = new QHBoxLayout;
    buildTimeRow(timeRow);
    root->addLayout(timeRow);

    statusLabel = new QLabel(QStringLiteral("提示: 点下方输入源进预览,按 ⇄切换 上节目"), this);
    statusLabel->setObjectName(QStringLiteral("statusLabel"));
    statusLabel->setStyleSheet(kStatusStyle);
    root->addWidget(statusLabel);

    QHBoxLayout *rows[4];
    for (QHBoxLayout *&row : rows) {
        row = new QHBoxLayout;
        root->addLayout(row);
    }
    buildControlRow(rows[0]);
    audio = new MonitorAudio(this, rows[1]);
    screen = new ScreenOutput(this, rows[2]);
    stream = new StreamControls(this, rows[3]);
    inputs = new InputStrip(this, root);

    outputs = new ProgramOutputs(pgmView, stream->engine(), this);
    connect(screen, &ScreenOutput::windowChanged, outputs, &ProgramOutputs::setWindow);
    connect(stream, &StreamControls::started, outputs, &ProgramOutputs::streamStarted);
    connect(screen, &ScreenOutput::status, this, &PlaybackPanel::setStatus);
    connect(stream, &StreamControls::status, this, &PlaybackPanel::setStatus);
    connect(stream, &StreamControls::health, this, &PlaybackPanel::onStreamHealth);
    connect(inputs, &InputStrip::chosen, this, [this](InputStrip::Source source, const QString &path) {
        loadToPreview(source == InputStrip::Source::Image   ? Channel::Image
                      : source == InputStrip::Source::Video ? Channel::Video
                                                            : Channel::Live,
                      path);
    });

    createPlayers();
    exporter = new ClipExport(this);
    connect(exporter, &ClipExport::progress, this,
            [this](int percent) {
                setStatus((exportingReel > 0 ? QStringLiteral("✂ 集锦 %1%") : QStringLiteral("✂ 导出片段 %1%")).arg(percent));
            });
    connect(exporter, &ClipExport::exported, this, [this](const QString &path, int pictures, bool copied) {
        onExportEnded(QJsonObject{{"path", path}, {"pictures", pictures}, {"copied", copied}});
    });
    connect(exporter, &ClipExport::failed, this,
            [this](const QString &why) { onExportEnded(QJsonObject{{"error", why}}); });
    connect(exporter, &ClipExport::cancelled, this,
            [this] { onExportEnded(QJsonObject{{"cancelled", true}}); });
    totalTimer = new QTimer(this);
    totalTimer->setInterval(1000);
    connect(totalTimer, &QTimer::timeout, this, &PlaybackPanel::refreshTotal);
    totalTimer->start();
    meterTimer = new QTimer(this);
    meterTimer->setInterval(kIdleMeterMs);
    connect(meterTimer, &QTimer::timeout, this, &PlaybackPanel::refreshIdleMeters);
    meterTimer->start();
    connect(&track(), &RecordingTrack::changed, this, &PlaybackPanel::updateTimelineRange);
    connect(&track(), &RecordingTrack::fileFinished, this,
            [this](const QString &finished) { onFileFinished(finished); });
    // Both lanes get the device whatever their roles: a swap never moves one.
    connect(audio, &MonitorAudio::deviceChanged, this, [this](const QByteArray &id) {
        for (Channel *ch : {&channelA, &channelB})
            ch->player->setAudioDevice(id);
    });
    connect(audio, &MonitorAudio::levelChanged, this, &PlaybackPanel::applyAudioRouting);
    audio->refreshAudioDevices();
    applyAudioRouting();
}

PlaybackPanel::~PlaybackPanel()
{
    stopEngines();
}

void PlaybackPanel::stopEngines()
{
    // Stop the players and the stream while every widget still exists:
    // destroying an audio sink runs the event loop, which would otherwise
    // deliver the players' queued signals to a half-destroyed desk.
    for (Channel *ch : {&channelA, &channelB}) {
        ch->player->disconnect(this);
        ch->player->close();
    }
    stream->stop();
    exporter->stop(); // an unfinished clip is removed
    QCoreApplication::removePostedEvents(this);
    screen->close();
}

QVBoxLayout *PlaybackPanel::buildMonitorColumn(const QString &tag, const QString &colour, QLabel *&tagLabel,
                                               VideoView *&view)
{
    auto *column = new QVBoxLayout;
    column->setSpacing(2);
    tagLabel = new QLabel(tag, this);
    tagLabel->setStyleSheet(QStringLiteral("color:%1; font-weight:700; font-size:12px;").arg(colour));
    column->addWidget(tagLabel);
    auto *frame = new QFrame(this);
    frame->setStyleSheet(QStringLiteral("QFrame { border: 2px solid %1; }").arg(colour));
    auto *inside = new QVBoxLayout(frame);
    inside->setContentsMargins(0, 0, 0, 0);
    view = new VideoView(nullptr, 240, 135);
    inside->addWidget(view);
    column->addWidget(frame, 1);
    return column;
}

void PlaybackPanel::buildMonitors(QHBoxLayout *row)
{
    row->setSpacing(6);
    row->addLayout(buildMonitorColumn(QStringLiteral("预览 PV — (空)"), QStringLiteral("#4caf50"), pvTag, pvView), 1);
    pvTag->setObjectName(QStringLiteral("pvTag"));
    pvView->setObjectName(QStringLiteral("pvView"));
    auto *middle = new QVBoxLayout;
    middle->addStretch();
    takeButton = new QPushButton(QStringLiteral("⇄\n切换"), this);
    takeButton->setObjectName(QStringLiteral("takeButton"));
    takeButton->setMinimumSize(52, 84);
    takeButton->setToolTip(QStringLiteral("预览 ⇄ 节目 瞬间互换(音频跟节目)"));
    takeButton->setStyleSheet(kTakeStyle);
    connect(takeButton, &QPushButton::clicked, this, &PlaybackPanel::onTake);
    middle->addWidget(takeButton);
    middle->addStretch();
    row->addLayout(middle);
    row->addLayout(buildMonitorColumn(QStringLiteral("节目 PGM — (空)"), QStringLiteral("#e53935"), pgmTag, pgmView), 1);
    pgmTag->setObjectName(QStringLiteral("pgmTag"));
    pgmView->setObjectName(QStringLiteral("pgmView"));
}

void PlaybackPanel::buildControlRow(QHBoxLayout *row)
{
    pvPauseButton = deskButton(QStringLiteral("⏯ 预览"), 28, QStringLiteral("暂停/继续 预览这一路"), this);
    pvPauseButton->setObjectName(QStringLiteral("pvPauseButton"));
    connect(pvPauseButton, &QPushButton::clicked, this, [this] { togglePause(pv); });
    row->addWidget(pvPauseButton);
    pgmPauseButton = deskButton(QStringLiteral("⏯ 节目"), 28, QStringLiteral("暂停/继续 节目这一路"), this);
    pgmPauseButton->setObjectName(QStringLiteral("pgmPauseButton"));
    connect(pgmPauseButton, &QPushButton::clicked, this, [this] { togglePause(pgm); });
    row->addWidget(pgmPauseButton);
    loopCheck = new QCheckBox(QStringLiteral("🔁 视频循环"), this);
    loopCheck->setObjectName(QStringLiteral("loopCheck"));
    loopCheck->setToolTip(QStringLiteral("备播视频播完自动从头再播"));
    loopCheck->setChecked(deskSettings().value(QStringLiteral("loopBackup"), true).toBool());
    returnAfterReplay = deskSettings().value(QStringLiteral("returnAfterReplay"), false).toBool();
    slowSound = deskSettings().value(QStringLiteral("slowKeepsSound"), false).toBool();
    connect(loopCheck, &QCheckBox::toggled, this,
            [](bool on) { deskSettings().setValue(QStringLiteral("loopBackup"), on); });
    row->addWidget(loopCheck);
    row->addStretch();
    auto *support = deskButton(QStringLiteral("❤️ 支持作者"), 28, QStringLiteral("支持 & 联系作者"), this);
    support->setCursor(Qt::PointingHandCursor);
    support->setStyleSheet(kSupportStyle);
    connect(support, &QPushButton::clicked, this, &PlaybackPanel::showDonateDialog);
    row->addWidget(support);
}

void PlaybackPanel::showDonateDialog()
{
    // The dialog runs its own event loop; the panel (and with it the
    // dialog) may be destroyed meanwhile, at host exit.
    QPointer<SupportDialog> dialog = new SupportDialog(this);
    dialog->exec();
    delete dialog.data();
}

void PlaybackPanel::createPlayers()
{
    channelA.player = new ZKPlayer(this);
    channelB.player = new ZKPlayer(this);
    channelA.player->setStretchedSound(slowSound);
    channelB.player->setStretchedSound(slowSound);
    // Each handler is bound to a lane, not a role: a lane's output goes
    // wherever its role is when the signal arrives.
    for (Channel *ch : {&channelA, &channelB}) {
        connect(ch->player, &ZKPlayer::frameReady, this,
                [this, ch](const Picture &frame, double pts) { routeFrame(ch, frame, pts); });
        connect(ch->player, &ZKPlayer::stateChanged, this,
                [this, ch](ZKPlayer::State state) { onChannelState(ch, state); });
        connect(ch->player, &ZKPlayer::errorOccurred, this, &PlaybackPanel::onError);
        connect(ch->player, &ZKPlayer::durationKnown, this, [this, ch](double seconds) {
            ch->durationSec = seconds;
            updateTimelineRange();
        });
        connect(ch->player, &ZKPlayer::audioData, this, [this, ch](const QByteArray &pcm, qint64 playsAtNs) {
            ch->meter.add(pcm);
            if (ch == pgm)
                outputs->play(pcm, playsAtNs);
        });
        // Sound the lane passes unheard (slowed) still moves its meter.
        connect(ch->player, &ZKPlayer::audioSkipped, this, [ch](const QByteArray &pcm) { ch->meter.add(pcm); });
    }
}

// ---------------------------------------------------------------------------
// Lanes

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

void PlaybackPanel::routeFrame(Channel *ch, const Picture &frame, double ptsSec)
{
    ch->lastFrame = frame; // shared, no pixel copy
    ch->positionSec = ptsSec;
    showLevel(ch);
    showOnOutputs(ch, frame);
    if (ch == timelineOwner())
        showPosition(ch, ptsSec);
    const RecordingTrack::Position &end = ch->replayEnd;
    if (!end.file.isEmpty() && (ch->path != end.file || ptsSec >= end.at))
        reachedReplayEnd(ch);
}

void PlaybackPanel::showLevel(Channel *ch)
{
    ch->level = ch->meter.take();
    ch->sinceLevel.start();
    monitorOf(ch)->setLevel(ch->level);
}

void PlaybackPanel::refreshIdleMeters()
{
    // Levels are taken a picture at a time; without pictures the hold
    // would stand for ever.
    for (Channel *ch : {&channelA, &channelB})
        if (ch->level.shown() && (!ch->sinceLevel.isValid() || ch->sinceLevel.elapsed() >= kIdleMeterMs))
            showLevel(ch);
}

void PlaybackPanel::showOnOutputs(Channel *ch, const Picture &picture)
{
    if (ch == pgm)
        outputs->show(picture);
    else
        pvView->setPicture(picture);
}

void PlaybackPanel::onChannelState(Channel *ch, ZKPlayer::State state)
{
    if (state == ZKPlayer::State::Finished && ch->type == Channel::Video && loopCheck->isChecked()) {
        ch->player->seek(0.0);
        return;
    }
    if (state == ZKPlayer::State::Finished && ch->type == Channel::Live && continueInNextFile(ch))
        return;
    if (state == ZKPlayer::State::Finished)
        emit remoteEvent(QStringLiteral("LaneFinished"), QJsonObject{{"lane", ch == pgm ? "program" : "preview"},
                                                                      {"source", ch->name()}, {"path", ch->path}});
    if (ch == pgm)
        setStatus(QStringLiteral("节目: %1").arg(ZKPlayer::stateText(state)));
    if (ch == pgm && state == ZKPlayer::State::Finished && returnAfterReplay && canReturn())
        returnToLive();
}

void PlaybackPanel::onTake()
{
    if (pv->type == Channel::Empty) {
        setStatus(QStringLiteral("预览是空的 — 先点一个输入源"));
        return;
    }
    // Two pointer writes: neither player is paused, sought or reopened.
    // Each lane's current picture goes to its new role's outputs at once; a
    // lane with no picture yet shows black there, never the source before it.
    std::swap(pgm, pv);
    before = ReturnPoint{pv, pv->type, pv->path};
    applyAudioRouting();
    showOnOutputs(pgm, pgm->picture());
    showOnOutputs(pv, pv->picture());
    pgmView->setLevel(pgm->level);
    pvView->setLevel(pv->level);
    updateTags();
    updateTimelineRange();
    setStatus(QStringLiteral("已切换 → 节目: %1").arg(pgm->name()));
    emit remoteEvent(QStringLiteral("ProgramChanged"), QJsonObject{{"program", laneState(pgm)}});
}

bool PlaybackPanel::returnToLive()
{
    // Only to the very source program left: a preview loaded since is the
    // operator's next choice, not the way back.
    if (!canReturn()) {
        setStatus(QStringLiteral("没有可返回的画面 — 节目之前的源已不在预览"));
        return false;
    }
    onTake();
    before = ReturnPoint();
    blog(LOG_INFO, "[Zerka] 返回: 节目回到 %s", pgm->name().toUtf8().constData());
    setStatus(QStringLiteral("↩ 返回 → 节目: %1").arg(pgm->name()));
    return true;
}

void PlaybackPanel::setOption(Option option, bool on)
{
    const bool slow = option == Option::SlowSound;
    (slow ? slowSound : returnAfterReplay) = on;
    deskSettings().setValue(slow ? QStringLiteral("slowKeepsSound") : QStringLiteral("returnAfterReplay"), on);
    if (slow)
        for (Channel *ch : {&channelA, &channelB})
            ch->player->setStretchedSound(on);
    setStatus(QStringLiteral("%1: %2").arg(slow ? QStringLiteral("慢放保留声音") : QStringLiteral("回放后返回"),
                                           on ? QStringLiteral("开") : QStringLiteral("关")));
}

void PlaybackPanel::applyAudioRouting()
{
    // Audio follows program; preview is always silent.
    pgm->player->setVolume(audio->volume());
    pgm->player->setMuted(audio->muted());
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
        screen->toggle();
        break;
    case Shortcut::SlowPreview:
        stepSpeed(pv);
        break;
    case Shortcut::SlowProgram:
        stepSpeed(pgm);
        break;
    case Shortcut::StepBack:
    case Shortcut::StepForward:
        if (Channel *ch = timelineOwner(); ch && ch->player->isPaused())
            ch->player->step(shortcut == Shortcut::StepBack ? -1 : 1);
        break;
    case Shortcut::Mark:
        addMark();
        break;
    case Shortcut::ReplayMark:
        replayFromMark();
        break;
    case Shortcut::SetIn:
    case Shortcut::SetOut:
        setClipPoint(shortcut == Shortcut::SetIn);
        break;
    case Shortcut::ExportClip:
        exportClip();
        break;
    case Shortcut::Reel:
        playReel();
        break;
    case Shortcut::ReturnToLive:
        returnToLive();
        break;
    case Shortcut::ReturnAfterReplay:
        setOption(Option::ReturnAfterReplay, !returnAfterReplay);
        break;
    case Shortcut::SlowSound:
        setOption(Option::SlowSound, !slowSound);
        break;
    }
}

void PlaybackPanel::atNormalSpeed(Channel *ch)
{
    // Every load starts at 1x.
    ch->speed = 1.0;
    ch->player->setSpeed(1.0);
}

void PlaybackPanel::stepSpeed(Channel *ch)
{
    // 1x -> 1/2x -> 1/4x -> 1x; only a lane that plays has a speed.
    if ((ch->type != Channel::Live && ch->type != Channel::Video) || !ch->player->isPlaying())
        return;
    ch->speed = ch->speed >= 1.0 ? 0.5 : ch->speed >= 0.5 ? 0.25 : 1.0;
    ch->player->setSpeed(ch->speed);
    updateTags();
}

void PlaybackPanel::updateTags()
{
    // A slowed lane says so after its name, only while it is slowed.
    auto speed = [](const Channel *ch) {
        if (ch->speed >= 1.0)
            return QString();
        if (ch->speed == 0.5 || ch->speed == 0.25)
            return ch->speed == 0.5 ? QStringLiteral(" · 1/2×") : QStringLiteral(" · 1/4×");
        return QStringLiteral(" · %1×").arg(ch->speed, 0, 'g', 2); // a remote control's rate
    };
    pvTag->setText(QStringLiteral("预览 PV — ") + pv->name() + speed(pv));
    pgmTag->setText(QStringLiteral("节目 PGM — ") + pgm->name() + speed(pgm));
}

void PlaybackPanel::setStatus(const QString &text)
{
    statusLabel->setText(text);
    sinceStatus.start();
}

void PlaybackPanel::onStreamHealth(const QString &text)
{
    // The stream's own line is kept up to date; another message stands
    // for a while, then the health comes back (greyed, as any report).
    if (StreamControls::isStreamingStatus(statusLabel->text()))
        setStatus(text);
    else if (!sinceStatus.isValid() || sinceStatus.elapsed() >= kStatusHoldMs) {
        statusLabel->setStyleSheet(kStatusStyle);
        setStatus(text);
    }
}

void PlaybackPanel::onError(const QString &msg)
{
    setStatus(QStringLiteral("❌ ") + msg);
    statusLabel->setStyleSheet(kErrorStyle);
}

void PlaybackPanel::setProgramTap(ProgramTap *tap)
{
    outputs->setTap(tap);
}

void PlaybackPanel::shutdown()
{
    // The host is exiting: nothing may call it from now on. The desk itself
    // is destroyed later by the host, with its dock.
    totalTimer->stop();
    meterTimer->stop();
    outputs->setTap(nullptr);
    stopEngines();
}

// ---------------------------------------------------------------------------
// Loading into preview

void PlaybackPanel::loadToPreview(Channel::Type type, const QString &path)
{
    // A load that cannot succeed leaves the lane as it was, still playing.
    const bool loaded = type == Channel::Image ? loadImage(path) : type == Channel::Video ? loadVideo(path) : loadLive();
    if (loaded)
        previewLoaded(QString());
}

void PlaybackPanel::previewLoaded(const QString &detail)
{
    statusLabel->setStyleSheet(kStatusStyle);
    setStatus(QStringLiteral("预览加载: ") + pv->name() + detail);
    updateTags();
    updateTimelineRange();
}

bool PlaybackPanel::loadImage(const QString &path)
{
    // Read and check the picture before the lane gives up what it plays.
    const QImage picture(path);
    if (picture.isNull()) {
        setStatus(QStringLiteral("❌ 图片加载失败: ") + path);
        return false;
    }
    pv->player->close(); // a still sends no frames
    startNewSource(Picture::fromImage(picture));
    atNormalSpeed(pv);
    pv->type = Channel::Image;
    pv->path = path;
    return true;
}

void PlaybackPanel::startNewSource(const Picture &still)
{
    // Its duration and position are not known yet, it plays at normal
    // speed, and until its first picture the lane shows black (or its
    // still), never the source before it.
    pv->still = still;
    pv->lastFrame = still;
    pv->durationSec = 0.0;
    pv->positionSec = 0.0;
    pv->meter.reset();
    pv->level = PeakMeter::Level();
    pvView->setLevel(pv->level);
    pvView->setPicture(still);
}

bool PlaybackPanel::refuseMissing(const QString &path)
{
    // The player would refuse a missing or empty file only after closing
    // what the lane plays: refuse it here, with the player's own words.
    const QFileInfo info(path);
    if (info.exists() && info.size() > 0)
        return false;
    onError(QStringLiteral("文件不存在或为空: %1").arg(path));
    return true;
}

bool PlaybackPanel::loadVideo(const QString &path)
{
    if (refuseMissing(path))
        return false;
    openInPreview(Channel::Video, path, false, 0.0);
    return true;
}

bool PlaybackPanel::loadLive(double secondsBack)
{
    const QString path = track().file();
    if (path.isEmpty()) {
        setStatus(QStringLiteral("OBS 当前没有录制 — 先点开始录制"));
        return false;
    }
    // Where program already follows the recording, or two minutes behind
    // its live edge (back through the files it was split into).
    const Channel *other = pv == &channelA ? &channelB : &channelA;
    if (secondsBack <= 0 && other->type == Channel::Live && other->positionSec > 0 && track().isOfRecording(other->path))
        return loadLive({other->path, other->positionSec});
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (!loadLive(track().before(path, std::floor(track().fileSecs(path, now)),
                                 secondsBack > 0 ? secondsBack : kReplayBehindSec, now)))
        return false;
    if (secondsBack > 0)
        endReplayAtLiveEdge();
    return true;
}

void PlaybackPanel::endReplayAtLiveEdge()
{
    // A finished recording's replay ends with its file instead.
    const QString file = track().file();
    if (track().isWriting(file))
        pv->replayEnd = {file, track().fileSecs(file, QDateTime::currentMSecsSinceEpoch())};
}

void PlaybackPanel::reachedReplayEnd(Channel *ch)
{
    // Played on into the recording's next file, or up to the moment asked for.
    ch->replayEnd = RecordingTrack::Position();
    blog(LOG_INFO, "[Zerka] 回放到了按下时的直播点: %s", ch->path.toUtf8().constData());
    if (ch == pgm && returnAfterReplay && canReturn())
        returnToLive();
}

bool PlaybackPanel::loadLive(const RecordingTrack::Position &at)
{
    // A file of the recording under way is followed; a finished one (the
    // host also names its last recording after it stopped) plays to its
    // end, if it is still there.
    const bool follow = track().isWriting(at.file);
    if (!follow && refuseMissing(at.file))
        return false;
    openInPreview(Channel::Live, at.file, follow, at.at);
    return true;
}

void PlaybackPanel::openInPreview(Channel::Type type, const QString &path, bool follow, double startSec)
{
    if (path != pv->path || type != pv->type)
        startNewSource(Picture());
    pv->type = type;
    pv->path = path;
    pv->replayEnd = RecordingTrack::Position(); // a replay says where it ends once loaded
    atNormalSpeed(pv); // the same file loaded again too
    pv->player->setMuted(true);
    pv->player->open(path, follow, startSec);
}
