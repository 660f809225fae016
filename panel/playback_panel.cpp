// PlaybackPanel: construction, one function per row in the order the desk
// shows them, the settings read at start, and the order in which the
// players, the streamer and the routing are brought up.

#include "playback_panel.h"

#include "desk_settings.h"
#include "fullscreen_output.h"
#include "obs_compat.h"
#include "timeline_slider.h"
#include "video_view.h"
#include "zk_player.h"
#include "zk_streamer.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDateTime>
#include <QFrame>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QSlider>
#include <QTimer>
#include <QVBoxLayout>

namespace {

const QString kStatusStyle = QStringLiteral("color: #888; font-size: 11px;");
const QString kTakeStyle = QStringLiteral(
        "QPushButton { background:#e6a23c; color:#111; font-size:15px; font-weight:800; border:none; "
        "border-radius:8px; }QPushButton:hover { background:#f0b350; }QPushButton:pressed { background:#d09230; }");
const QString kSupportStyle = QStringLiteral(
        "QPushButton { background:transparent; color:#e91e63; border:1px solid #7a3a4a; border-radius:5px; "
        "padding:0 10px; font-size:12px; }QPushButton:hover { background:#3a2a30; border-color:#e91e63; }");
const QString kMuteStyle = QStringLiteral(
        "QPushButton { background:#3a3a3a; color:white; font-weight:600; font-size:12px; border:1px solid #555; "
        "border-radius:5px; padding:0 8px; }QPushButton:hover { border-color:#888; }QPushButton:checked { "
        "background:#d32f2f; border-color:#b22222; color:white; }");
const QString kHdmiStyle = QStringLiteral(
        "QPushButton { background:#3a3a3a; color:white; border:1px solid #555; border-radius:5px; padding:0 12px; "
        "}QPushButton:checked { background:#1e88e5; border-color:#1976d2; }QPushButton:hover { border-color:#888; }");
const QString kStreamStyle = QStringLiteral(
        "QPushButton { background:#3a3a3a; color:white; border:1px solid #555; border-radius:5px; padding:0 12px; "
        "}QPushButton:checked { background:#d32f2f; border-color:#b22222; }QPushButton:hover { border-color:#888; }");
// Bit rates offered for the stream: text and kbit/s.
constexpr std::pair<const char *, int> kBitrates[] = {{"2 Mbps", 2000}, {"4 Mbps", 4000}, {"6 Mbps", 6000}, {"8 Mbps", 8000}};
constexpr int kDefaultVolume = 80;

QPushButton *button(const QString &text, int minHeight, const QString &tip, QWidget *parent)
{
    auto *b = new QPushButton(text, parent);
    b->setMinimumHeight(minHeight);
    if (!tip.isEmpty())
        b->setToolTip(tip);
    return b;
}

} // namespace

PlaybackPanel::PlaybackPanel(QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("playbackPanel"));
    auto *root = new QVBoxLayout(this);
    root->setContentsMargins(0, 0, 0, 0);
    root->setSpacing(6);

    auto *monitors = new QHBoxLayout;
    buildMonitors(monitors);
    root->addLayout(monitors, 1);

    timeline = new TimelineSlider(nullptr);
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

    for (auto build : {&PlaybackPanel::buildControlRow, &PlaybackPanel::buildAudioRow, &PlaybackPanel::buildScreenRow,
                       &PlaybackPanel::buildStreamRow}) {
        auto *row = new QHBoxLayout;
        (this->*build)(row);
        root->addLayout(row);
    }

    auto *caption = new QLabel(QStringLiteral("──── 输入源(点击 → 进预览)────"), this);
    caption->setStyleSheet(QStringLiteral("color:#666; font-size:11px;"));
    caption->setAlignment(Qt::AlignCenter);
    root->addWidget(caption);
    root->addWidget(buildInputStrip());

    // Each step relies on the ones before.
    loadBackupList();
    rebuildInputButtons();
    createPlayers();
    createStreamer();
    for (Channel *ch : {&channelA, &channelB}) {
        connect(ch->player, &ZKPlayer::audioData, this, [this, ch](const QByteArray &pcm) {
            if (ch == pgm)
                streamer->pushAudio(pcm);
        });
    }
    pgm = &channelA;
    pv = &channelB;
    totalTimer = new QTimer(this);
    totalTimer->setInterval(1000);
    connect(totalTimer, &QTimer::timeout, this, &PlaybackPanel::refreshTotal);
    totalTimer->start();
    if (obs_frontend_recording_active()) {
        recordStartSecs = QDateTime::currentSecsSinceEpoch();
        recordPause.set(obs_frontend_recording_paused(), QDateTime::currentMSecsSinceEpoch());
        onRecordingStarted();
    }
    refreshAudioDevices();
    volumeSlider->setValue(deskSettings().value(QStringLiteral("volume"), kDefaultVolume).toInt());
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
    streamer->disconnect(this);
    streamer->stop();
    QCoreApplication::removePostedEvents(this);
    // The output window has no parent: it would stay on its display,
    // frozen, after the desk is gone.
    if (fullscreen) {
        fullscreen->disconnect(this);
        fullscreen->close();
        fullscreen = nullptr;
    }
}

QWidget *PlaybackPanel::buildMonitorColumn(const QString &tag, const QString &colour, QLabel *&tagLabel,
                                           QFrame *&frame, VideoView *&view)
{
    auto *column = new QWidget(this);
    auto *layout = new QVBoxLayout(column);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(2);
    tagLabel = new QLabel(tag, column);
    tagLabel->setStyleSheet(QStringLiteral("color:%1; font-weight:700; font-size:12px;").arg(colour));
    layout->addWidget(tagLabel);
    frame = new QFrame(column);
    frame->setStyleSheet(QStringLiteral("QFrame { border: 2px solid %1; }").arg(colour));
    auto *inside = new QVBoxLayout(frame);
    inside->setContentsMargins(0, 0, 0, 0);
    view = new VideoView(nullptr, 240, 135);
    inside->addWidget(view);
    layout->addWidget(frame, 1);
    return column;
}

void PlaybackPanel::buildMonitors(QHBoxLayout *row)
{
    row->setSpacing(6);
    row->addWidget(buildMonitorColumn(QStringLiteral("预览 PV — (空)"), QStringLiteral("#4caf50"), pvTag, pvFrame, pvView), 1);
    auto *middle = new QVBoxLayout;
    middle->addStretch();
    takeButton = new QPushButton(QStringLiteral("⇄\n切换"), this);
    takeButton->setMinimumSize(52, 84);
    takeButton->setToolTip(QStringLiteral("预览 ⇄ 节目 瞬间互换(音频跟节目)"));
    takeButton->setStyleSheet(kTakeStyle);
    connect(takeButton, &QPushButton::clicked, this, &PlaybackPanel::onTake);
    middle->addWidget(takeButton);
    middle->addStretch();
    row->addLayout(middle);
    row->addWidget(buildMonitorColumn(QStringLiteral("节目 PGM — (空)"), QStringLiteral("#e53935"), pgmTag, pgmFrame, pgmView), 1);
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

void PlaybackPanel::buildControlRow(QHBoxLayout *row)
{
    pvPauseButton = button(QStringLiteral("⏯ 预览"), 28, QStringLiteral("暂停/继续 预览这一路"), this);
    connect(pvPauseButton, &QPushButton::clicked, this, [this] { togglePause(pv); });
    row->addWidget(pvPauseButton);
    pgmPauseButton = button(QStringLiteral("⏯ 节目"), 28, QStringLiteral("暂停/继续 节目这一路"), this);
    connect(pgmPauseButton, &QPushButton::clicked, this, [this] { togglePause(pgm); });
    row->addWidget(pgmPauseButton);
    loopCheck = new QCheckBox(QStringLiteral("🔁 视频循环"), this);
    loopCheck->setToolTip(QStringLiteral("备播视频播完自动从头再播"));
    loopCheck->setChecked(deskSettings().value(QStringLiteral("loopBackup"), true).toBool());
    connect(loopCheck, &QCheckBox::toggled, this,
            [](bool on) { deskSettings().setValue(QStringLiteral("loopBackup"), on); });
    row->addWidget(loopCheck);
    row->addStretch();
    auto *support = button(QStringLiteral("❤️ 支持作者"), 28, QStringLiteral("支持 & 联系作者"), this);
    support->setCursor(Qt::PointingHandCursor);
    support->setStyleSheet(kSupportStyle);
    connect(support, &QPushButton::clicked, this, &PlaybackPanel::showDonateDialog);
    row->addWidget(support);
}

void PlaybackPanel::buildAudioRow(QHBoxLayout *row)
{
    row->addWidget(new QLabel(QStringLiteral("🎧 监听:"), this));
    audioDeviceCombo = new QComboBox(this);
    audioDeviceCombo->setMinimumWidth(160);
    connect(audioDeviceCombo, &QComboBox::currentIndexChanged, this, &PlaybackPanel::onAudioDeviceChanged);
    row->addWidget(audioDeviceCombo, 1);
    muteButton = button(QStringLiteral("静音"), 28, QString(), this);
    muteButton->setMinimumWidth(50);
    muteButton->setCheckable(true);
    muteButton->setStyleSheet(kMuteStyle);
    connect(muteButton, &QPushButton::toggled, this, &PlaybackPanel::onMuteToggled);
    row->addWidget(muteButton);
    volumeSlider = new QSlider(Qt::Horizontal, this);
    volumeSlider->setRange(0, 100);
    volumeSlider->setValue(kDefaultVolume);
    volumeSlider->setMaximumWidth(110);
    connect(volumeSlider, &QSlider::valueChanged, this, &PlaybackPanel::onVolumeChanged);
    row->addWidget(volumeSlider);
    volumeLabel = new QLabel(QString::number(kDefaultVolume), this);
    volumeLabel->setMinimumWidth(28);
    volumeLabel->setStyleSheet(QStringLiteral("color:#888; font-family:Menlo;"));
    row->addWidget(volumeLabel);
}

void PlaybackPanel::buildScreenRow(QHBoxLayout *row)
{
    hdmiButton = button(QStringLiteral("🟢  HDMI 输出 - 未启用"), 28, QString(), this);
    hdmiButton->setCheckable(true);
    hdmiButton->setStyleSheet(kHdmiStyle);
    connect(hdmiButton, &QPushButton::clicked, this, &PlaybackPanel::onToggleHdmi);
    row->addWidget(hdmiButton);
    screenCombo = new QComboBox(this);
    refreshScreens();
    connect(screenCombo, &QComboBox::currentIndexChanged, this, &PlaybackPanel::onScreenChanged);
    row->addWidget(screenCombo, 1);
    // Displays come and go while the desk runs (a projector plugged in).
    connect(qGuiApp, &QGuiApplication::screenAdded, this, &PlaybackPanel::refreshScreens);
    connect(qGuiApp, &QGuiApplication::screenRemoved, this, &PlaybackPanel::onScreenRemoved);
}

void PlaybackPanel::buildStreamRow(QHBoxLayout *row)
{
    row->addWidget(new QLabel(QStringLiteral("📡 推流:"), this));
    rtmpEdit = new QLineEdit(this);
    rtmpEdit->setPlaceholderText(QStringLiteral("rtmp://服务器/live/串流码"));
    rtmpEdit->setText(deskSettings().value(QStringLiteral("rtmpUrl")).toString());
    row->addWidget(rtmpEdit, 1);
    bitrateCombo = new QComboBox(this);
    const int saved = deskSettings().value(QStringLiteral("rtmpBitrate"), 4000).toInt();
    int current = 1;
    for (const auto &[text, kbps] : kBitrates) {
        if (kbps == saved)
            current = bitrateCombo->count();
        bitrateCombo->addItem(QString::fromLatin1(text), kbps);
    }
    bitrateCombo->setCurrentIndex(current);
    row->addWidget(bitrateCombo);
    streamButton = button(QStringLiteral("▶ 开始推流"), 28, QString(), this);
    streamButton->setCheckable(true);
    streamButton->setStyleSheet(kStreamStyle);
    connect(streamButton, &QPushButton::clicked, this, &PlaybackPanel::onToggleStream);
    row->addWidget(streamButton);
    streamStatsLabel = new QLabel(this);
    streamStatsLabel->setMinimumWidth(72);
    streamStatsLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    streamStatsLabel->setStyleSheet(QStringLiteral("color:#4caf50; font-family:Menlo; font-size:11px;"));
    row->addWidget(streamStatsLabel);
}

QWidget *PlaybackPanel::buildInputStrip()
{
    auto *scroll = new QScrollArea(this);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    scroll->setMaximumHeight(58);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    scroll->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->setStyleSheet(QStringLiteral("background: transparent;"));
    inputsContainer = new QWidget;
    inputsLayout = new QHBoxLayout(inputsContainer);
    inputsLayout->setContentsMargins(0, 0, 0, 0);
    inputsLayout->setSpacing(6);
    scroll->setWidget(inputsContainer);
    return scroll;
}

void PlaybackPanel::createPlayers()
{
    channelA.player = new ZKPlayer(this);
    channelB.player = new ZKPlayer(this);
    // Each handler is bound to a lane, not a role: a lane's output goes
    // wherever its role is when the signal arrives.
    for (Channel *ch : {&channelA, &channelB}) {
        connect(ch->player, &ZKPlayer::frameReady, this,
                [this, ch](const QImage &frame, double pts) { routeFrame(ch, frame, pts); });
        connect(ch->player, &ZKPlayer::stateChanged, this, [this, ch](const QString &state) { onChannelState(ch, state); });
        connect(ch->player, &ZKPlayer::errorOccurred, this, &PlaybackPanel::onError);
        connect(ch->player, &ZKPlayer::durationKnown, this, [this, ch](double seconds) {
            ch->durationSec = seconds;
            updateTimelineRange();
        });
    }
}

void PlaybackPanel::createStreamer()
{
    streamer = new ZKStreamer(this);
    connect(streamer, &ZKStreamer::stateChanged, this, &PlaybackPanel::onStreamState);
    connect(streamer, &ZKStreamer::statsUpdated, this, &PlaybackPanel::onStreamStats);
}
