#include "recording_bar.h"

#include "obs_compat.h"
#include "playback_panel.h"
#include "recording_track.h"

#include <QDateTime>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

namespace {

const QString kStartText = QStringLiteral("🔴  开始录制 PGM");
const QString kStopText = QStringLiteral("⏹  停止录制");
const QString kIdleTime = QStringLiteral("00:00:00");
const QString kNotRecording = QStringLiteral("(未录制)");

} // namespace

RecordingBar::RecordingBar(const RecordingTrack *track, QWidget *parent) : QWidget(parent), track(track)
{
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(6);

    auto *row = new QHBoxLayout;
    row->setSpacing(8);

    toggleButton = new QPushButton(kStartText, this);
    toggleButton->setObjectName(QStringLiteral("toggleButton"));
    toggleButton->setMinimumHeight(36);
    toggleButton->setStyleSheet(buttonStyleIdle());
    connect(toggleButton, &QPushButton::clicked, this, &RecordingBar::onToggle);
    row->addWidget(toggleButton, 0);

    elapsedLabel = new QLabel(kIdleTime, this);
    elapsedLabel->setObjectName(QStringLiteral("elapsedLabel"));
    QFont font = elapsedLabel->font();
    font.setPointSize(16);
    font.setBold(true);
    font.setFamily(QStringLiteral("Menlo, monospace"));
    elapsedLabel->setFont(font);
    elapsedLabel->setStyleSheet(QStringLiteral("color: #888;"));
    row->addWidget(elapsedLabel, 0);

    layout->addLayout(row, 0);

    pathLabel = new QLabel(kNotRecording, this);
    pathLabel->setObjectName(QStringLiteral("pathLabel"));
    pathLabel->setStyleSheet(QStringLiteral("color: #777; font-size: 11px;"));
    pathLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    pathLabel->setWordWrap(true);
    layout->addWidget(pathLabel, 0);

    tickTimer = new QTimer(this);
    tickTimer->setInterval(500);
    connect(tickTimer, &QTimer::timeout, this, &RecordingBar::tick);
    connect(track, &RecordingTrack::changed, this, &RecordingBar::tick);

    refreshState();
}

QString RecordingBar::buttonStyleIdle()
{
    return QStringLiteral("QPushButton { background:#3a3a3a; color:white; font-size:14px; font-weight:600; "
                          "border:1px solid #555; border-radius:6px; padding:0 16px; }"
                          "QPushButton:hover { background:#4a4a4a; }");
}

QString RecordingBar::buttonStyleRecording()
{
    return QStringLiteral("QPushButton { background:#d32f2f; color:white; font-size:14px; font-weight:600; "
                          "border:1px solid #b22222; border-radius:6px; padding:0 16px; }"
                          "QPushButton:hover { background:#e23a3a; }");
}

void RecordingBar::onToggle()
{
    // Only a request: the display follows the host's recording events.
    if (obs_frontend_recording_active())
        obs_frontend_recording_stop();
    else
        obs_frontend_recording_start();
}

void RecordingBar::refreshState()
{
    recording = track->active();
    if (recording) {
        toggleButton->setText(kStopText);
        toggleButton->setStyleSheet(buttonStyleRecording());
        elapsedLabel->setStyleSheet(QStringLiteral("color: #d32f2f;"));
        tickTimer->start();
        updatePath();
        tick();
        return;
    }
    toggleButton->setText(kStartText);
    toggleButton->setStyleSheet(buttonStyleIdle());
    elapsedLabel->setStyleSheet(QStringLiteral("color: #888;"));
    elapsedLabel->setText(kIdleTime);
    tickTimer->stop();
    pathLabel->setText(kNotRecording);
}

void RecordingBar::tick()
{
    if (!recording)
        return;
    const qint64 elapsed = qint64(track->recordedSecs(QDateTime::currentMSecsSinceEpoch()));
    elapsedLabel->setText(PlaybackPanel::formatTime(double(elapsed)));
    // The timer fires twice a second, so this re-reads the path about every 5 s.
    if (elapsed % 5 == 0)
        updatePath();
}

void RecordingBar::shutdown()
{
    tickTimer->stop();
    recording = false;
}

void RecordingBar::updatePath()
{
    char *path = obs_frontend_get_current_record_output_path();
    if (path && *path)
        pathLabel->setText(QStringLiteral("📁 %1").arg(QString::fromUtf8(path)));
    else
        pathLabel->setText(QStringLiteral("(路径未知)"));
    bfree(path);
}
