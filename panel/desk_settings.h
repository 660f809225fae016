#pragma once

// The desk's settings store (organisation "Zerka", application "Plavo"),
// opened afresh for each read or write; every key is written the moment
// its control changes, never at exit.

#include <QSettings>

inline QSettings deskSettings()
{
    return QSettings(QStringLiteral("Zerka"), QStringLiteral("Plavo"));
}
