#pragma once

// main() of the desk tests: a private audio server (up before Qt looks for
// devices), the settings store in a temporary folder, a widget application.

#include "test_support.h"

#include <QApplication>
#include <QTemporaryDir>
#include <QtTest>

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
