// PlaybackPanel: the timeline. Its range (the recorded length for instant
// replay, the file's duration for a backup video), the recorded length
// counted from the host's recording start, the seek on release, and the
// time format of the time row.

#include "playback_panel.h"

#include "obs_compat.h"
#include "timeline_slider.h"
#include "zk_player.h"

#include <QDateTime>
#include <QLabel>

#include <climits>
#include <cmath>

QString PlaybackPanel::formatTime(double seconds)
{
    const qint64 s = qint64(seconds);
    return QString::asprintf("%02lld:%02lld:%02lld", static_cast<long long>(s / 3600),
                             static_cast<long long>((s / 60) % 60), static_cast<long long>(s % 60));
}

void PlaybackPanel::updateTimelineRange()
{
    Channel *owner = timelineOwner();
    if (!owner) {
        timeline->setEnabled(false);
        totalLabel->setText(QStringLiteral("/ --:--:--"));
        return;
    }
    const double total = owner->type == Channel::Live ? recordedSecs : owner->durationSec;
    if (!(total > 0)) // unknown yet (or not a number): keep what is shown
        return;
    // A file may state any duration; the slider holds whole seconds in an int.
    const double seconds = std::min(total, double(INT_MAX));
    timeline->setRange(0, int(seconds));
    timeline->setEnabled(true);
    totalLabel->setText(QStringLiteral("/ ") + formatTime(seconds));
}

void PlaybackPanel::refreshTotal()
{
    if (!obs_frontend_recording_active() || recordStartSecs <= 0)
        return; // after the recording the length stays at its last value
    checkRecordingFile();
    // Whole seconds, as the recording's start is; a pause holds it.
    recordedSecs = std::floor(recordPause.recordedSecs(recordStartSecs, QDateTime::currentMSecsSinceEpoch()));
    updateTimelineRange();
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
