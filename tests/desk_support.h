#pragma once

// What the desk tests share: their main() (a private audio server up before
// Qt looks for devices, the settings store in a temporary folder, a widget
// application), a desk on screen, and ears on the default sink.

#include "test_support.h"

#include "playback_panel.h"

#include <QApplication>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace DeskSupport {

using Type = PlaybackPanel::Channel::Type;

inline QSettings settings()
{
    return QSettings(QStringLiteral("Zerka"), QStringLiteral("Plavo"));
}

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
    QElapsedTimer waited;
    waited.start();
    while (ch->lastFrame.isNull() && waited.elapsed() < ms)
        QTest::qWait(20);
    return !ch->lastFrame.isNull();
}

inline QString writeImage(const QString &path, const QSize &size, const QColor &colour)
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(colour);
    image.save(path);
    return path;
}

// What the default sink (sinkA) plays for `ms`: the tone's pitch in Hz (from
// the left channel's zero crossings) and its loudness (RMS).
std::pair<int, double> listen(int ms);

} // namespace DeskSupport

#define ZK_DESK_TEST_MAIN(TestClass)                                                                                   \
    int main(int argc, char **argv)                                                                                    \
    {                                                                                                                  \
        const auto server = TestSupport::startAudioServer();                                                           \
        if (!server || !server->up())                                                                                  \
            return 1;                                                                                                  \
        QTemporaryDir config;                                                                                          \
        qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());                                                       \
        QApplication app(argc, argv);                                                                                  \
        TestClass test;                                                                                                \
        QTEST_SET_MAIN_SOURCE_PATH                                                                                     \
        return QTest::qExec(&test, argc, argv);                                                                        \
    }
