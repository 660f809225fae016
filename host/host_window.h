#pragma once

// The stand-in host's main window: a record button and a status line of its
// own (like OBS's controls), with room for docks on the right. Closing it
// stops the recording, then tells the modules the host is exiting.

#include <QMainWindow>

class QLabel;
class QPushButton;

class HostWindow : public QMainWindow {
    Q_OBJECT

public:
    HostWindow();

    QPushButton *recordButton() const { return m_recordButton; }

protected:
    void closeEvent(QCloseEvent *event) override;

private slots:
    void onRecordClicked();
    void onRecorderChanged();

private:
    QPushButton *m_recordButton = nullptr; // owned by the central widget
    QLabel *m_status = nullptr;            // owned by the central widget
    bool m_exitSent = false;
};
