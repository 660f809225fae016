#pragma once

// Plays an operator at the Zerka desk for the headless run and the
// end-to-end test, through the desk's own widgets as a user would: records,
// brings the instant replay into preview, swaps it to program, puts program
// full screen on another display and streams it to an RTMP server, then
// saves a screenshot of the host window and one of that display.

#include <QObject>
#include <QString>

class HostWindow;
class QAbstractButton;

class DeskOperator : public QObject {
    Q_OBJECT

public:
    struct Options {
        QString rtmpUrl;  // empty: no stream
        QString shotsDir; // where the screenshots go
        int streamSeconds = 8;
    };

    DeskOperator(HostWindow *window, const Options &options);
    void start();

signals:
    void finished(bool ok);

private:
    void step(int afterMs, const QString &what, void (DeskOperator::*action)());
    QWidget *desk() const;
    QAbstractButton *button(const QString &textStart) const;
    void bringInReplay();
    void take();
    void fullScreenOnOtherDisplay();
    void startStream();
    void screenshots();
    void wrapUp();
    void fail(const QString &why);

    HostWindow *m_window; // owns this operator's host, outlives it
    Options m_options;
    bool m_failed = false;
};
