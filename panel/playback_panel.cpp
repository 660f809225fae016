#include "playback_panel.h"

#include <QDateTime>
#include <QVBoxLayout>

PlaybackPanel::PlaybackPanel(QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("playbackPanel"));
    // Room for the desk: the dock gives the panel all remaining height.
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addStretch(1);
    setMinimumHeight(120);
}

void PlaybackPanel::onRecordingStateChanged(bool active)
{
    // Every active notification restarts the count from its own arrival.
    recordStartSecs = active ? QDateTime::currentSecsSinceEpoch() : 0;
}
