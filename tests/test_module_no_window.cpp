// A host without a main window when it finishes loading: the module logs an
// error, registers no dock and ignores every later recording event.

// QtTest first: the OBS headers' SIMD shim must come after the compiler's intrinsics.
#include <QtTest>

#include "frontend.h"
#include "obs_core.h"
#include "test_support.h"

#include <QTemporaryDir>

using namespace TestSupport;

class TestModuleNoWindow : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void noMainWindowNoDock();
    void cleanupTestCase();

private:
    QTemporaryDir m_dir;
};

void TestModuleNoWindow::initTestCase()
{
    HostLog::instance().install(m_dir.filePath("host.log"));
    QVERIFY2(ObsCore::startup(), "the OBS core needs an X display (DISPLAY)");
    QVERIFY(ObsCore::loadModule(ZK_MODULE_PATH, ZK_DATA_PATH));
}

void TestModuleNoWindow::noMainWindowNoDock()
{
    StandInFrontend &host = StandInFrontend::instance();
    QVERIFY(!host.mainWindow());
    int before = HostLog::instance().count();
    host.fireEvent(OBS_FRONTEND_EVENT_FINISHED_LOADING);

    const QVector<LogLine> lines = logLines(before);
    QCOMPARE(lines.size(), 2);
    QCOMPARE(lines[0].text, QStringLiteral("[Zerka] frontend 已就绪,初始化 Dock"));
    QCOMPARE(lines[1].text, QStringLiteral("[Zerka] 拿不到 OBS 主窗口"));
    QCOMPARE(lines[1].level, LOG_ERROR);
    QVERIFY(host.dockIds().isEmpty());

    before = HostLog::instance().count();
    host.simulateRecording(true);
    host.fireEvent(OBS_FRONTEND_EVENT_RECORDING_STARTING);
    host.fireEvent(OBS_FRONTEND_EVENT_RECORDING_STARTED);
    host.simulateRecording(false);
    host.fireEvent(OBS_FRONTEND_EVENT_RECORDING_STOPPING);
    host.fireEvent(OBS_FRONTEND_EVENT_RECORDING_STOPPED);
    QCOMPARE(logTexts(before), QStringList());

    host.fireEvent(OBS_FRONTEND_EVENT_EXIT);
    QCOMPARE(logTexts(before), QStringList{"[Zerka] Dock 已关闭"});
}

void TestModuleNoWindow::cleanupTestCase()
{
    const int before = HostLog::instance().count();
    ObsCore::shutdown();
    QVERIFY(logTexts(before).contains("[Zerka] 插件已卸载"));
}

QTEST_MAIN(TestModuleNoWindow)
#include "test_module_no_window.moc"
