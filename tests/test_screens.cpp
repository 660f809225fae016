// The screen output with two displays of one model: both report the same
// name, as two identical monitors do. The test runs its own X server with
// two screens of different sizes (whose outputs Xvfb names alike) and
// stops it by its pid.

// QtTest first: the OBS headers' SIMD shim must come after the compiler's intrinsics.
#include <QtTest>

#include "fullscreen_output.h"
#include "screen_output.h"

#include <QApplication>
#include <QComboBox>
#include <QHBoxLayout>
#include <QScreen>

#include <csignal>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

class TestScreens : public QObject {
    Q_OBJECT

private slots:
    void identicalNamesAreTwoDisplays()
    {
        const QList<QScreen *> screens = QGuiApplication::screens();
        QCOMPARE(screens.size(), 2);
        QCOMPARE(screens[0]->name(), screens[1]->name());
        QWidget panel;
        auto *row = new QHBoxLayout(&panel);
        ScreenOutput output(&panel, row);
        auto *list = panel.findChild<QComboBox *>("screenCombo");
        QCOMPARE(list->count(), 2);
        QSignalSpy windows(&output, &ScreenOutput::windowChanged);
        // Each choice opens on its own display, whichever is listed first.
        for (int chosen : {1, 0, 1}) {
            list->setCurrentIndex(chosen);
            output.toggle();
            QVERIFY(output.isOpen());
            auto *window = windows.last().first().value<FullscreenOutput *>();
            QVERIFY(window);
            QCOMPARE(window->screen(), screens[chosen]);
            output.toggle();
            QVERIFY(!output.isOpen());
        }
    }
};

int main(int argc, char **argv)
{
    // A free display number, as the test scripts pick theirs.
    int n = 150;
    auto taken = [](int number) {
        return QFile::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(number)) ||
               QFile::exists(QStringLiteral("/tmp/.X%1-lock").arg(number));
    };
    while (taken(n))
        ++n;
    const QByteArray display = ":" + QByteArray::number(n);
    const char *args[] = {"Xvfb", display.constData(), "-screen", "0", "1024x768x24", "-screen", "1",
                          "1280x720x24", "-nolisten", "tcp", nullptr};
    pid_t server = -1;
    if (posix_spawnp(&server, "Xvfb", nullptr, nullptr, const_cast<char **>(args), environ) != 0) {
        fprintf(stderr, "test_screens: cannot start Xvfb\n");
        return 1;
    }
    const QString socket = QStringLiteral("/tmp/.X11-unix/X%1").arg(n);
    for (int i = 0; i < 100 && !QFile::exists(socket); ++i)
        usleep(100000);
    qputenv("DISPLAY", display);
    qputenv("QT_QPA_PLATFORM", "xcb");
    int result = 1;
    {
        QApplication app(argc, argv);
        TestScreens test;
        result = QTest::qExec(&test, argc, argv);
    }
    kill(server, SIGTERM);
    waitpid(server, nullptr, 0);
    return result;
}

#include "test_screens.moc"
