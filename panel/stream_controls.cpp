#include "stream_controls.h"

#include "desk_style.h"
#include "playback_panel.h"
#include "zk_streamer.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QSignalBlocker>

namespace {

const QString kStartText = QStringLiteral("▶ 开始推流");
const QString kStopText = QStringLiteral("⏹ 停止推流");
// Bit rates offered for the stream: text and kbit/s.
constexpr std::pair<const char *, int> kBitrates[] = {{"2 Mbps", 2000}, {"4 Mbps", 4000}, {"6 Mbps", 6000}, {"8 Mbps", 8000}};
constexpr int kDefaultKbps = 4000;
const QString kStatusPrefix = QStringLiteral("📡 推流: ");
const QString kStreamingState = QStringLiteral("推流中");

} // namespace

StreamControls::StreamControls(QWidget *panel, QHBoxLayout *row) : QObject(panel), streamer(new ZKStreamer(this))
{
    connect(streamer, &ZKStreamer::stateChanged, this,
            [this](const QString &state) {
                m_streaming = state == kStreamingState;
                emit status(kStatusPrefix + state);
            });
    connect(streamer, &ZKStreamer::statsUpdated, this, &StreamControls::onStreamStats);

    row->addWidget(new QLabel(QStringLiteral("📡 推流:"), panel));
    rtmpEdit = new QLineEdit(panel);
    rtmpEdit->setObjectName(QStringLiteral("rtmpEdit"));
    rtmpEdit->setPlaceholderText(QStringLiteral("rtmp://服务器/live/串流码"));
    rtmpEdit->setText(deskSettings().value(QStringLiteral("rtmpUrl")).toString());
    row->addWidget(rtmpEdit, 1);
    bitrateCombo = new QComboBox(panel);
    bitrateCombo->setObjectName(QStringLiteral("bitrateCombo"));
    const int saved = deskSettings().value(QStringLiteral("rtmpBitrate"), kDefaultKbps).toInt();
    int current = -1;
    for (const auto &[text, kbps] : kBitrates) {
        if (kbps == saved)
            current = bitrateCombo->count();
        bitrateCombo->addItem(QString::fromLatin1(text), kbps);
    }
    bitrateCombo->setCurrentIndex(current >= 0 ? current : bitrateCombo->findData(kDefaultKbps));
    row->addWidget(bitrateCombo);
    streamButton = toggleButton(kStartText, "streamButton", "#d32f2f", "#b22222", panel);
    connect(streamButton, &QPushButton::clicked, this, &StreamControls::onToggleStream);
    row->addWidget(streamButton);
    streamStatsLabel = new QLabel(panel);
    streamStatsLabel->setObjectName(QStringLiteral("streamStatsLabel"));
    streamStatsLabel->setMinimumWidth(72);
    streamStatsLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    streamStatsLabel->setStyleSheet(QStringLiteral("color:#4caf50; font-family:Menlo; font-size:11px;"));
    row->addWidget(streamStatsLabel);
}

void StreamControls::stop()
{
    streamer->disconnect(this);
    streamer->stop();
}

void StreamControls::onToggleStream(bool on)
{
    if (!on) {
        streamer->stop();
        rtmpEdit->setEnabled(true);
        bitrateCombo->setEnabled(true);
        streamButton->setText(kStartText);
        streamStatsLabel->clear();
        emit status(QStringLiteral("📡 推流已停止"));
        return;
    }
    const QString url = rtmpEdit->text().trimmed();
    if (!url.startsWith(QLatin1String("rtmp://")) && !url.startsWith(QLatin1String("rtmps://"))) {
        const QSignalBlocker blocker(streamButton);
        streamButton->setChecked(false);
        emit status(QStringLiteral("❌ 推流地址要以 rtmp:// 开头"));
        return;
    }
    const int kbps = bitrateCombo->currentData().toInt();
    deskSettings().setValue(QStringLiteral("rtmpUrl"), url);
    deskSettings().setValue(QStringLiteral("rtmpBitrate"), kbps);
    rtmpEdit->setEnabled(false);
    bitrateCombo->setEnabled(false);
    streamer->start(url, kbps);
    streamButton->setText(kStopText);
    emit started();
}

bool StreamControls::isStreamingStatus(const QString &text)
{
    return text.startsWith(kStatusPrefix + kStreamingState);
}

void StreamControls::onStreamStats(int kbps)
{
    if (!streamer->isStreaming())
        streamStatsLabel->clear();
    else if (kbps >= 1)
        streamStatsLabel->setText(QStringLiteral("%1 kbps").arg(kbps));
    else
        streamStatsLabel->setText(QStringLiteral("— kbps"));
    if (!streamer->isStreaming() || !m_streaming || kbps < 1)
        return;
    const ZKStreamer::Health health = streamer->health();
    emit this->health(QStringLiteral("%1%2 %3 kbps · %4 · 丢帧 %5 · 重连 %6")
                              .arg(kStatusPrefix, kStreamingState)
                              .arg(kbps)
                              .arg(PlaybackPanel::formatTime(health.liveMs / 1000.0))
                              .arg(health.droppedPictures)
                              .arg(health.reconnects));
}
