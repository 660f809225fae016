// The module as OBS runs it: loaded by the real OBS core into the stand-in
// host, through one whole life (load, events before the frontend is ready,
// finished loading without a main window and with one, exit, events after
// exit, unload), the recording bar's looks and the path as the host
// answers it. The banner, the hotkeys pressed and saved, the recordings
// made and the bar's button in real OBS: test_obs.

// QtTest first: the OBS headers' SIMD shim must come after the compiler's intrinsics.
#include <QtTest>

#include "frontend.h"
#include "hotkey_by_name.h"
#include "media.h"
#include "host_window.h"
#include "obs_core.h"
#include "test_support.h"

#include <obs.h>

#include <QDateTime>
#include <QDockWidget>
#include <QLabel>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>

using namespace TestSupport;

class TestModuleLifecycle : public QObject {
    Q_OBJECT

private:
    QWidget *content() const;
    template <typename T> T *child(const char *name) const;
    QString barLook() const; // the recording bar: button, time, its colour, path
    void fireRecordingEvents();

    QTemporaryDir m_dir;
    HostWindow *m_window = nullptr;

private slots:
    void initTestCase();
    void beforeTheDockExists();
    void finishedLoadingBuildsTheDock();
    void exitForgetsTheWidgets();
    void cleanupTestCase();
};

QWidget *TestModuleLifecycle::content() const
{
    QDockWidget *dock = StandInFrontend::instance().dock("zerka_plavo_dock");
    return dock ? dock->widget() : nullptr;
}

template <typename T> T *TestModuleLifecycle::child(const char *name) const
{
    QWidget *root = content();
    return root ? root->findChild<T *>(QString::fromLatin1(name)) : nullptr;
}

QString TestModuleLifecycle::barLook() const
{
    return QStringList{child<QPushButton>("toggleButton")->text(), child<QLabel>("elapsedLabel")->text(),
                       child<QLabel>("elapsedLabel")->styleSheet(), child<QLabel>("pathLabel")->text()}
            .join(" | ");
}

void TestModuleLifecycle::fireRecordingEvents()
{
    StandInFrontend &host = StandInFrontend::instance();
    host.fireEvent(OBS_FRONTEND_EVENT_RECORDING_STARTING);
    host.fireEvent(OBS_FRONTEND_EVENT_RECORDING_STARTED);
    host.fireEvent(OBS_FRONTEND_EVENT_RECORDING_STOPPING);
    host.fireEvent(OBS_FRONTEND_EVENT_RECORDING_STOPPED);
}

void TestModuleLifecycle::initTestCase()
{
    HostLog::instance().install(m_dir.filePath("host.log"));
    RecorderConfig config;
    config.folder = m_dir.filePath("recordings");
    StandInFrontend::instance().recorder().setConfig(config);
    QVERIFY2(ObsCore::startup(), "the OBS core needs an X display (DISPLAY)");
    // Sources in the desk's input strip: a still and a short video.
    const QString still = m_dir.filePath("still.png");
    QImage(8, 8, QImage::Format_RGB32).save(still);
    QSettings("Zerka", "Plavo").setValue("backupFiles", QStringList{still, Media::path("av.mp4")});
    QVERIFY(ObsCore::loadModule(ZK_MODULE_PATH, ZK_DATA_PATH));
}

void TestModuleLifecycle::beforeTheDockExists()
{
    // Recording events before the frontend is ready touch nothing; finished
    // loading without a main window is an error, and builds no dock.
    StandInFrontend &host = StandInFrontend::instance();
    const int before = logMark();
    host.simulateRecording(true);
    fireRecordingEvents();
    host.simulateRecording(false);
    host.fireEvent(OBS_FRONTEND_EVENT_FINISHED_LOADING);
    QCOMPARE(logLines(before), (QVector<LogLine>{{LOG_INFO, "[Zerka] frontend 已就绪,初始化 Dock"},
                                                 {LOG_ERROR, "[Zerka] 拿不到 OBS 主窗口"}}));
    QVERIFY(host.dockIds().isEmpty());
}

void TestModuleLifecycle::finishedLoadingBuildsTheDock()
{
    m_window = new HostWindow;
    StandInFrontend::instance().setMainWindow(m_window);
    m_window->show();
    // A recording the host started before the dock was built counts from
    // the host's start.
    StandInFrontend &host = StandInFrontend::instance();
    host.simulateRecording(true);
    host.fireEvent(OBS_FRONTEND_EVENT_RECORDING_STARTING);
    host.fireEvent(OBS_FRONTEND_EVENT_RECORDING_STARTED);
    QTest::qWait(2100);
    const int before = logMark();
    host.fireEvent(OBS_FRONTEND_EVENT_FINISHED_LOADING);
    QCOMPARE(logLines(before), (QVector<LogLine>{{LOG_INFO, "[Zerka] frontend 已就绪,初始化 Dock"},
                                                 {LOG_INFO, "[Zerka] Dock 已注册 (PV/PGM 布局)"}}));
    QCOMPARE(StandInFrontend::instance().dockIds(), QStringList{"zerka_plavo_dock"});
    QCOMPARE(StandInFrontend::instance().dock("zerka_plavo_dock")->windowTitle(), QStringLiteral("Zerka"));
    QTRY_VERIFY(child<QLabel>("elapsedLabel")->text() >= QStringLiteral("00:00:02"));
    QCOMPARE(barLook().section(" | ", 2), QStringLiteral("color: #d32f2f; | 📁 ") + m_dir.filePath("recordings"));
    QCOMPARE(barLook().section(" | ", 0, 0), QStringLiteral("⏹  停止录制"));
    // The path as the host answers it, read again at each start.
    for (const auto answer : {StandInFrontend::PathAnswer::Null, StandInFrontend::PathAnswer::Empty}) {
        host.setPathAnswer(answer);
        host.fireEvent(OBS_FRONTEND_EVENT_RECORDING_STARTED);
        QCOMPARE(child<QLabel>("pathLabel")->text(), QStringLiteral("(路径未知)"));
    }
    host.setPathAnswer(StandInFrontend::PathAnswer::RecordingFolder);
    // Stopped: idle at once, without waiting for a tick.
    host.simulateRecording(false);
    fireRecordingEvents();
    QCOMPARE(barLook(), QStringLiteral("🔴  开始录制 PGM | 00:00:00 | color: #888; | (未录制)"));
}

void TestModuleLifecycle::exitForgetsTheWidgets()
{
    // At the host's exit the desk stops (its timers would call a frontend
    // that is gone), its hotkeys go, and later recording events touch nothing.
    StandInFrontend &host = StandInFrontend::instance();
    const int before = logMark();
    host.fireEvent(OBS_FRONTEND_EVENT_EXIT);
    QCOMPARE(hotkeyByName("zerka.take"), OBS_INVALID_HOTKEY_ID);
    host.simulateRecording(true);
    fireRecordingEvents();
    host.simulateRecording(false);
    QTest::qWait(1500);
    QCOMPARE(logTexts(before), QStringList{"[Zerka] Dock 已关闭"});
    QCOMPARE(barLook().section(" | ", 0, 0), QStringLiteral("🔴  开始录制 PGM"));
}

void TestModuleLifecycle::cleanupTestCase()
{
    delete m_window;
    const int before = HostLog::instance().count();
    ObsCore::shutdown();
    QVERIFY(logTexts(before).contains("[Zerka] 插件已卸载"));
    // No frontend call after the exit event, at unload either.
    QCOMPARE(countLog("Tried to call"), 0);
}

int main(int argc, char **argv)
{
    QTemporaryDir config; // the desk's settings store, private to this run
    qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
    QApplication app(argc, argv);
    TestModuleLifecycle test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "test_module_lifecycle.moc"
