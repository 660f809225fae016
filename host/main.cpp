// zerka-host: a stand-in for the OBS Studio application. It loads the Zerka
// module through the real OBS core library, gives it the frontend API (main
// window, docks, events, recording) and records a real growing media file.
// Debian's own OBS is built with Qt 5 and cannot load a Qt 6 module.

#include "desk_operator.h"
#include "frontend.h"
#include "host_log.h"
#include "host_window.h"
#include "obs_core.h"

#include <obs.h>

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QPalette>
#include <QPixmap>
#include <QScreen>
#include <QStandardPaths>
#include <QTimer>

#include <cstdio>

namespace {

struct HostOptions {
    QString modulePath;
    QString dataPath;
    QString logPath;
    QString dataFile;
    RecorderConfig recorder;
    int demoSeconds = 0;
    QString screenshot;
    bool scenario = false;
    DeskOperator::Options desk;
};

bool parseOptions(const QApplication &app, HostOptions &options)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Stand-in OBS host that loads the Zerka module"));
    parser.addHelpOption();
    const QCommandLineOption module({"m", "module"}, "Module file to load.", "path", ZK_DEFAULT_MODULE_PATH);
    const QCommandLineOption data("data", "Module data folder (locale).", "path", ZK_DEFAULT_DATA_PATH);
    const QCommandLineOption recordings("recordings", "Recordings folder.", "dir",
                                        QStandardPaths::writableLocation(QStandardPaths::MoviesLocation) +
                                                "/zerka-recordings");
    const QCommandLineOption container("container", "Recording container: mkv or fmp4.", "kind", "mkv");
    const QCommandLineOption size("size", "Recorded picture size.", "WxH", "1280x720");
    const QCommandLineOption fps("fps", "Recorded frame rate.", "n", "30");
    const QCommandLineOption source("source", "Media file to record (looped) instead of the test picture.", "file");
    const QCommandLineOption log("log", "Log file (default: zerka-host.log in the recordings folder).", "file");
    const QCommandLineOption config("config", "Folder of the host's scene collection (the modules' saved data).", "dir",
                                    QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation));
    const QCommandLineOption demo("demo", "Record for N seconds, then quit.", "seconds", "0");
    const QCommandLineOption shot("screenshot", "With --demo: save a screenshot before stopping.", "file");
    const QCommandLineOption scenario("scenario",
                                      "Play an operator at the desk: record, instant replay, swap, full screen on "
                                      "the second display, stream; then save screenshots and quit.");
    const QCommandLineOption rtmp("rtmp", "With --scenario: stream program to this URL.", "url");
    const QCommandLineOption shots("shots", "With --scenario: folder for the screenshots.", "dir", "zerka-shots");
    const QCommandLineOption streamSeconds("stream-seconds", "With --scenario: how long to stream.", "n", "8");
    parser.addOptions({module, data, recordings, container, size, fps, source, log, config, demo, shot, scenario, rtmp,
                       shots, streamSeconds});
    parser.process(app);

    options.modulePath = parser.value(module);
    options.dataPath = parser.value(data);
    options.recorder.folder = QDir(parser.value(recordings)).absolutePath();
    options.recorder.container = parser.value(container);
    options.recorder.source = parser.value(source);
    options.recorder.fps = parser.value(fps).toInt();
    const QStringList wh = parser.value(size).split('x');
    if (wh.size() == 2)
        options.recorder.size = QSize(wh[0].toInt(), wh[1].toInt());
    QDir().mkpath(parser.value(config));
    options.dataFile = QDir(parser.value(config)).filePath(QStringLiteral("scene-collection.json"));
    options.logPath = parser.isSet(log) ? parser.value(log) : options.recorder.folder + "/zerka-host.log";
    options.demoSeconds = parser.value(demo).toInt();
    options.screenshot = parser.value(shot);
    options.scenario = parser.isSet(scenario);
    options.desk.rtmpUrl = parser.value(rtmp);
    options.desk.shotsDir = QDir(parser.value(shots)).absolutePath();
    options.desk.streamSeconds = parser.value(streamSeconds).toInt();

    if (options.recorder.container != "mkv" && options.recorder.container != "fmp4") {
        fprintf(stderr, "zerka-host: --container must be mkv or fmp4\n");
        return false;
    }
    if (options.recorder.size.isEmpty() || options.recorder.fps <= 0) {
        fprintf(stderr, "zerka-host: bad --size or --fps\n");
        return false;
    }
    return true;
}

// OBS's own look is dark; the desk's styles are written for it.
void useDarkTheme()
{
    QApplication::setStyle(QStringLiteral("Fusion"));
    QPalette dark;
    dark.setColor(QPalette::Window, QColor(0x27, 0x2a, 0x33));
    dark.setColor(QPalette::WindowText, QColor(0xe0, 0xe0, 0xe0));
    dark.setColor(QPalette::Base, QColor(0x1b, 0x1d, 0x24));
    dark.setColor(QPalette::AlternateBase, QColor(0x2d, 0x30, 0x3a));
    dark.setColor(QPalette::Text, QColor(0xe0, 0xe0, 0xe0));
    dark.setColor(QPalette::Button, QColor(0x3a, 0x3d, 0x47));
    dark.setColor(QPalette::ButtonText, QColor(0xe0, 0xe0, 0xe0));
    dark.setColor(QPalette::Highlight, QColor(0x28, 0x4c, 0xb8));
    dark.setColor(QPalette::HighlightedText, Qt::white);
    dark.setColor(QPalette::PlaceholderText, QColor(0x80, 0x80, 0x80));
    dark.setColor(QPalette::ToolTipBase, QColor(0x1b, 0x1d, 0x24));
    dark.setColor(QPalette::ToolTipText, QColor(0xe0, 0xe0, 0xe0));
    QApplication::setPalette(dark);
}

// Records for a while, takes a screenshot of the whole screen, stops the
// recording and closes the window once the file is finished.
void runDemo(HostWindow *window, const HostOptions &options)
{
    StandInFrontend &frontend = StandInFrontend::instance();
    frontend.startRecording();
    QTimer::singleShot(options.demoSeconds * 1000, window, [window, options] {
        if (!options.screenshot.isEmpty()) {
            // From the screen, not from the widget: what the X server really shows.
            const QRect area = window->frameGeometry();
            const QPixmap shot = window->screen()->grabWindow(0, area.x(), area.y(), area.width(), area.height());
            const bool saved = shot.save(options.screenshot);
            HostLog::instance().write(saved ? LOG_INFO : LOG_WARNING,
                                      QStringLiteral("[host] screenshot %1: %2")
                                              .arg(saved ? "saved" : "NOT saved", options.screenshot));
        }
        Recorder &recorder = StandInFrontend::instance().recorder();
        QObject::connect(&recorder, &Recorder::stopped, window, [window] { window->close(); });
        if (recorder.state() == Recorder::State::Idle)
            window->close();
        else
            recorder.stop();
    });
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("zerka-host"));
    useDarkTheme();
    HostOptions options;
    if (!parseOptions(app, options))
        return 2;

    QDir().mkpath(options.recorder.folder);
    HostLog::instance().install(options.logPath);
    StandInFrontend &frontend = StandInFrontend::instance();
    frontend.recorder().setConfig(options.recorder);

    if (!ObsCore::startup())
        return 1;
    if (!ObsCore::loadModule(options.modulePath, options.dataPath)) {
        ObsCore::shutdown();
        return 1;
    }

    // As OBS: the scene collection (with what modules saved) is loaded
    // before the frontend reports that it has finished loading.
    frontend.loadData(options.dataFile);
    auto *window = new HostWindow(options.dataFile);
    frontend.setMainWindow(window);
    window->show();
    QTimer::singleShot(0, window, [window, options] {
        StandInFrontend::instance().fireEvent(OBS_FRONTEND_EVENT_FINISHED_LOADING);
        window->fitDocks();
        if (options.scenario) {
            auto *desk = new DeskOperator(window, options.desk);
            QApplication::setQuitOnLastWindowClosed(false);
            QObject::connect(desk, &DeskOperator::finished, window, [window](bool ok) {
                window->close();
                QCoreApplication::exit(ok ? 0 : 1);
            });
            desk->start();
        } else if (options.demoSeconds > 0) {
            runDemo(window, options);
        }
    });

    const int code = app.exec();
    delete window; // the docks and their content go with it
    ObsCore::shutdown();
    HostLog::instance().write(LOG_INFO, QStringLiteral("[host] log: %1").arg(options.logPath));
    return code;
}
