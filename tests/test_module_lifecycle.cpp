// The module as OBS runs it: loaded by the real OBS core into the stand-in
// host, through one whole life (load, events before the frontend is ready,
// finished loading, recordings, exit, events after exit, unload).

// QtTest first: the OBS headers' SIMD shim must come after the compiler's intrinsics.
#include <QtTest>

#include "frontend.h"
#include "host_window.h"
#include "obs_core.h"
#include "test_support.h"

#include <obs.h>

#include <QDateTime>
#include <QDockWidget>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QVBoxLayout>

using namespace TestSupport;

class TestModuleLifecycle : public QObject {
    Q_OBJECT

private:
    QWidget *content() const;
    template <typename T> T *child(const char *name) const;
    qint64 panelStart() const;
    void fireRecordingEvents();

    QTemporaryDir m_dir;
    HostWindow *m_window = nullptr;
    int m_loadIndex = 0;

private slots:
    void initTestCase();
    void bannerAndEntryPoints();
    void eventsBeforeFinishedLoadingAreIgnored();
    void finishedLoadingRegistersOneDock();
    void dockContentLayout();
    void idleRecordingBar();
    void recordingFromHostControlsAndFromTheBar();
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

qint64 TestModuleLifecycle::panelStart() const
{
    QWidget *panel = child<QWidget>("playbackPanel");
    return panel ? panel->property("recordStartSecs").toLongLong() : -1;
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
    QVERIFY(m_dir.isValid());
    HostLog::instance().install(m_dir.filePath("host.log"));
    RecorderConfig config;
    config.folder = m_dir.filePath("recordings");
    StandInFrontend::instance().recorder().setConfig(config);
    QVERIFY2(ObsCore::startup(), "the OBS core needs an X display (DISPLAY)");
    m_loadIndex = HostLog::instance().count();
    QVERIFY(ObsCore::loadModule(ZK_MODULE_PATH, ZK_DATA_PATH));
    m_window = new HostWindow;
    StandInFrontend::instance().setMainWindow(m_window);
    m_window->show();
}

void TestModuleLifecycle::bannerAndEntryPoints()
{
    const QVector<LogLine> lines = logLines(m_loadIndex);
    const QStringList banner{"========================================", "[Zerka] 插件已加载  v0.7.0",
                             "[Zerka] 双架构通用版 (Intel + Apple Silicon)",
                             "========================================"};
    const int first = indexOfLog(banner[1], m_loadIndex) - 1;
    QVERIFY(first >= m_loadIndex);
    for (int i = 0; i < banner.size(); ++i) {
        const LogLine &line = lines.at(first - m_loadIndex + i);
        QCOMPARE(line.text, banner[i]);
        QCOMPARE(line.level, LOG_INFO);
    }

    obs_module_t *module = obs_get_module("zerka");
    QVERIFY(module);
    QCOMPARE(QString::fromUtf8(obs_get_module_name(module)), QStringLiteral("Zerka"));
    QCOMPARE(QString::fromUtf8(obs_get_module_description(module)), QStringLiteral("Zerka - 延时直播 & 实时回放"));
    QCOMPARE(QString::fromUtf8(obs_module_get_locale_text(module, "No.Such.Key")), QStringLiteral("No.Such.Key"));
    const char *out = nullptr;
    QVERIFY(!obs_module_get_locale_string(module, "No.Such.Key", &out));
    QVERIFY(obs_module_get_locale_string(module, "Zerka.Name", &out));
    QCOMPARE(QString::fromUtf8(out), QStringLiteral("Zerka"));
}

void TestModuleLifecycle::eventsBeforeFinishedLoadingAreIgnored()
{
    const int before = HostLog::instance().count();
    StandInFrontend::instance().simulateRecording(true);
    fireRecordingEvents();
    StandInFrontend::instance().simulateRecording(false);
    fireRecordingEvents();
    QCOMPARE(logTexts(before), QStringList());
    QVERIFY(StandInFrontend::instance().dockIds().isEmpty());
}

void TestModuleLifecycle::finishedLoadingRegistersOneDock()
{
    const int before = HostLog::instance().count();
    StandInFrontend::instance().fireEvent(OBS_FRONTEND_EVENT_FINISHED_LOADING);
    const QStringList expected{"[Zerka] frontend 已就绪,初始化 Dock", "[Zerka] Dock 已注册 (PV/PGM 布局)"};
    QCOMPARE(logTexts(before), expected);
    for (const LogLine &line : logLines(before))
        QCOMPARE(line.level, LOG_INFO);
    QCOMPARE(StandInFrontend::instance().dockIds(), QStringList{"zerka_plavo_dock"});
    QCOMPARE(StandInFrontend::instance().dock("zerka_plavo_dock")->windowTitle(), QStringLiteral("Zerka"));
}

void TestModuleLifecycle::dockContentLayout()
{
    QWidget *root = content();
    QVERIFY(root);
    auto *layout = qobject_cast<QVBoxLayout *>(root->layout());
    QVERIFY(layout);
    QCOMPARE(layout->contentsMargins(), QMargins(12, 12, 12, 12));
    QCOMPARE(layout->spacing(), 10);
    QCOMPARE(layout->count(), 3);

    auto *titleRow = qobject_cast<QHBoxLayout *>(layout->itemAt(0)->layout());
    QVERIFY(titleRow);
    auto *title = qobject_cast<QLabel *>(titleRow->itemAt(0)->widget());
    QVERIFY(title);
    QCOMPARE(title->text(), QStringLiteral("Zerka · 延时直播"));
    QCOMPARE(title->font().pointSize(), 13);
    QCOMPARE(title->font().weight(), QFont::Bold);
    QVERIFY(titleRow->itemAt(1)->spacerItem());
    auto *link = qobject_cast<QLabel *>(titleRow->itemAt(2)->widget());
    QVERIFY(link);
    QVERIFY(link->openExternalLinks());
    QCOMPARE(link->toolTip(), QStringLiteral("访问官网"));
    QVERIFY(link->text().contains("style=\"color:#4fc3f7; text-decoration:none;\""));
    QVERIFY(link->text().contains("https://zerka.example/"));
    QVERIFY(link->text().contains(QStringLiteral(">🌐 zerka.example</a>")));

    QCOMPARE(layout->itemAt(1)->widget()->metaObject()->className(), "RecordingBar");
    QCOMPARE(layout->stretch(1), 0);
    QCOMPARE(layout->itemAt(2)->widget()->metaObject()->className(), "PlaybackPanel");
    QCOMPARE(layout->stretch(2), 1);
    QCOMPARE(layout->itemAt(2)->widget()->parentWidget(), root);

    // The QR picture is compiled into the module.
    QImage qr(":/zerka/donate-qr.jpg");
    QVERIFY(!qr.isNull());
}

void TestModuleLifecycle::idleRecordingBar()
{
    auto *button = child<QPushButton>("toggleButton");
    QVERIFY(button);
    QCOMPARE(button->text(), QStringLiteral("🔴  开始录制 PGM"));
    QVERIFY(button->styleSheet().startsWith("QPushButton { background:#3a3a3a;"));
    QCOMPARE(child<QLabel>("elapsedLabel")->text(), QStringLiteral("00:00:00"));
    QCOMPARE(child<QLabel>("pathLabel")->text(), QStringLiteral("(未录制)"));
    QCOMPARE(panelStart(), 0);
}

void TestModuleLifecycle::recordingFromHostControlsAndFromTheBar()
{
    StandInFrontend &host = StandInFrontend::instance();
    auto *button = child<QPushButton>("toggleButton");
    auto *elapsed = child<QLabel>("elapsedLabel");
    auto *path = child<QLabel>("pathLabel");

    // Started from the host's own button: the bar follows the host's events.
    QTest::mouseClick(m_window->recordButton(), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(button->text(), QStringLiteral("⏹  停止录制"), 20000);
    QElapsedTimer recording;
    recording.start();
    QVERIFY(button->styleSheet().startsWith("QPushButton { background:#d32f2f;"));
    QCOMPARE(elapsed->styleSheet(), QStringLiteral("color: #d32f2f;"));
    QCOMPARE(path->text(), QStringLiteral("📁 %1").arg(host.recorder().config().folder));
    const qint64 firstStart = panelStart();
    QVERIFY(qAbs(firstStart - QDateTime::currentSecsSinceEpoch()) <= 1);

    // The recording grows and what is there already decodes.
    const QString file = host.lastRecording();
    QVERIFY(!file.isEmpty());
    QTRY_VERIFY_WITH_TIMEOUT(decodedFrames(file) > 0, 20000);
    const qint64 size = QFileInfo(file).size();
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(file).size() > size, 20000);

    // A repeated event keeps the start, in the bar and in the panel.
    QTRY_VERIFY_WITH_TIMEOUT(QDateTime::currentSecsSinceEpoch() > firstStart + 1, 5000);
    host.fireEvent(OBS_FRONTEND_EVENT_RECORDING_STARTED);
    QCOMPARE(panelStart(), firstStart);
    // Within a second a restarted bar could not show two seconds yet.
    QTRY_VERIFY_WITH_TIMEOUT(elapsed->text() >= QStringLiteral("00:00:02"), 1000);

    // Stopped from the bar: idle at once when the host reports it.
    QTest::mouseClick(button, Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(button->text(), QStringLiteral("🔴  开始录制 PGM"), 20000);
    const double recorded = recording.elapsed() / 1000.0;
    QCOMPARE(elapsed->text(), QStringLiteral("00:00:00"));
    QCOMPARE(path->text(), QStringLiteral("(未录制)"));
    QCOMPARE(panelStart(), 0);

    // The finished file is whole and named by the host.
    QCOMPARE(host.lastRecording(), file);
    const double duration = probeDuration(file);
    QVERIFY2(qAbs(duration - recorded) < 1.0, qPrintable(QString("duration %1 vs %2").arg(duration).arg(recorded)));
    QVERIFY(decodedFrames(file) >= int(duration * 30) - 2);
}

void TestModuleLifecycle::exitForgetsTheWidgets()
{
    StandInFrontend &host = StandInFrontend::instance();
    const int before = HostLog::instance().count();
    host.fireEvent(OBS_FRONTEND_EVENT_EXIT);
    QCOMPARE(logTexts(before), QStringList{"[Zerka] Dock 已关闭"});

    // Later recording events touch nothing and log nothing.
    const int after = HostLog::instance().count();
    host.simulateRecording(true);
    fireRecordingEvents();
    host.simulateRecording(false);
    QCOMPARE(logTexts(after), QStringList());
    QCOMPARE(child<QPushButton>("toggleButton")->text(), QStringLiteral("🔴  开始录制 PGM"));
    QCOMPARE(panelStart(), 0);
}

void TestModuleLifecycle::cleanupTestCase()
{
    delete m_window;
    const int before = HostLog::instance().count();
    ObsCore::shutdown();
    QVERIFY(logTexts(before).contains("[Zerka] 插件已卸载"));
}

QTEST_MAIN(TestModuleLifecycle)
#include "test_module_lifecycle.moc"
