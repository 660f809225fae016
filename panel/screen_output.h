#pragma once

// The screen-output row: program full screen on another display (the
// "HDMI" output). Owns the button, the list of displays, the display the
// operator chose and the window while it is open. Displays come and go
// while the desk runs; the list always shows the display the window is on.

#include <QObject>
#include <QPointer>
#include <QString>

class FullscreenOutput;
class QComboBox;
class QHBoxLayout;
class QPushButton;
class QScreen;
class QWidget;

class ScreenOutput : public QObject {
    Q_OBJECT

public:
    ScreenOutput(QWidget *panel, QHBoxLayout *row);
    ~ScreenOutput() override;

    // Index of the display preselected for the output, given which of the
    // listed displays is the primary.
    static int defaultScreen(const QList<bool> &primary);
    // What identifies a display: its name, serial number (where the system
    // gives one) and place, since two identical monitors share a name.
    static QString screenKey(const QScreen *screen);

    void toggle(); // as the button does
    bool isOpen() const { return !fullscreen.isNull(); }
    void close();

signals:
    // The window opened (or null: closed); program goes to it from now on.
    void windowChanged(FullscreenOutput *window);
    void status(const QString &text);

private:
    void onToggleHdmi(bool on);
    void refreshScreens();
    QScreen *selectedScreen() const;
    void onScreenChanged();
    void onScreenRemoved(QScreen *screen);
    void onFullscreenClosed();

    QPushButton *hdmiButton;
    QComboBox *screenCombo;
    QPointer<FullscreenOutput> fullscreen; // top level, deletes itself on close
    QString chosenScreen;                    // key of the display chosen (or preselected)
};
