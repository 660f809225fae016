#pragma once

// The program's full-screen output (the "HDMI" output): a borderless black
// window covering one display, showing the last picture it was given,
// letterboxed. Esc or a double click closes it; every way of closing emits
// closed(), possibly more than once. It deletes itself when closed.

#include "video_view.h"

#include <QWidget>

class QScreen;

class FullscreenOutput : public QWidget {
    Q_OBJECT

public:
    explicit FullscreenOutput(QScreen *screen);

    void setPicture(const Picture &picture);
    const Picture &picture() const { return m_shown.picture(); }

signals:
    void closed();

protected:
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    LetterboxedPicture m_shown;
};
