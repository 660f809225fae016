#pragma once

// The stand-in host's main window: a record button and a status line of its
// own (like OBS's controls), with room for docks on the right. Closing it
// stops the recording, then tells the modules the host is exiting.

#include <QImage>
#include <QMainWindow>

class QLabel;

// What is being recorded, as OBS shows its program while it records.
class RecordingPreview : public QWidget {
public:
    explicit RecordingPreview(QWidget *parent) : QWidget(parent) { setMinimumSize(480, 270); }
    void show(const QImage &picture);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QImage m_picture;
};
class QPushButton;

class HostWindow : public QMainWindow {
    Q_OBJECT

public:
    // `dataFile`: where the scene collection is kept; saved on close.
    explicit HostWindow(const QString &dataFile = QString());

    QPushButton *recordButton() const { return m_recordButton; }
    // Grows the window so that every dock has its minimum size.
    void fitDocks();

protected:
    void closeEvent(QCloseEvent *event) override;

private slots:
    void onRecordClicked();
    void onRecorderChanged();

private:
    QPushButton *m_recordButton = nullptr; // owned by the central widget
    QLabel *m_status = nullptr;            // owned by the central widget
    bool m_exitSent = false;
    QString m_dataFile;
};
