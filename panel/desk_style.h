#pragma once

// What the desk's rows share: their settings store, and how a push button
// of a row is made.

#include "desk_settings.h"

#include <QPushButton>

inline QPushButton *deskButton(const QString &text, int minHeight, const QString &tip, QWidget *parent)
{
    auto *b = new QPushButton(text, parent);
    b->setMinimumHeight(minHeight);
    if (!tip.isEmpty())
        b->setToolTip(tip);
    return b;
}

// A checkable row button that takes the given colours while it is on (the
// screen output's and the stream's).
inline QPushButton *toggleButton(const QString &text, const char *name, const char *onBackground, const char *onBorder,
                                 QWidget *parent)
{
    QPushButton *b = deskButton(text, 28, QString(), parent);
    b->setObjectName(QLatin1String(name));
    b->setCheckable(true);
    b->setStyleSheet(QStringLiteral("QPushButton { background:#3a3a3a; color:white; border:1px solid #555; "
                                    "border-radius:5px; padding:0 12px; }QPushButton:checked { background:%1; "
                                    "border-color:%2; }QPushButton:hover { border-color:#888; }")
                             .arg(QLatin1String(onBackground), QLatin1String(onBorder)));
    return b;
}
