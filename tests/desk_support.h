#pragma once

// What the desk tests share: a desk on screen, its settings store, and
// waiting for a lane's first picture.

#include "test_support.h"

#include "desk_settings.h"
#include "playback_panel.h"

#include <QApplication>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace DeskSupport {

using Type = PlaybackPanel::Channel::Type;

inline std::unique_ptr<PlaybackPanel> makePanel()
{
    auto panel = std::make_unique<PlaybackPanel>(nullptr);
    panel->resize(640, 720);
    panel->show();
    return panel;
}

// Waits until the lane has shown a picture of its own.
inline bool waitForPicture(const PlaybackPanel::Channel *ch, int ms = 10000)
{
    return QTest::qWaitFor([ch] { return !ch->lastFrame.isNull(); }, ms);
}

inline QString writeImage(const QString &path, const QSize &size, const QColor &colour)
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(colour);
    image.save(path);
    return path;
}

} // namespace DeskSupport
