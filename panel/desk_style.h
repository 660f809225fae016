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
