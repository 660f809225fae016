#include "host_window.h"

#include "frontend.h"

#include <QCloseEvent>
#include <QDockWidget>
#include <QPainter>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

void RecordingPreview::show(const QImage &picture)
{
    m_picture = picture;
    update();
}

void RecordingPreview::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.fillRect(rect(), QColor(0x10, 0x10, 0x10));
    if (m_picture.isNull()) {
        painter.setPen(QColor(0x66, 0x66, 0x66));
        painter.drawText(rect(), Qt::AlignCenter, QStringLiteral("Not recording"));
        return;
    }
    QRect target(QPoint(0, 0), m_picture.size().scaled(size(), Qt::KeepAspectRatio));
    target.moveCenter(rect().center());
    painter.drawImage(target, m_picture);
}

void HostWindow::fitDocks()
{
    // Room for every dock at its minimum size beside the program view.
    int width = centralWidget()->minimumSizeHint().width();
    int height = centralWidget()->minimumSizeHint().height();
    for (QDockWidget *dock : findChildren<QDockWidget *>()) {
        width += dock->minimumSizeHint().width() + 16;
        height = qMax(height, dock->minimumSizeHint().height() + 16);
    }
    resize(qMax(this->width(), width), qMax(this->height(), height));
}

HostWindow::HostWindow(const QString &dataFile) : m_dataFile(dataFile)
{
    setObjectName(QStringLiteral("hostMainWindow"));
    setWindowTitle(QStringLiteral("zerka-host (stand-in for OBS Studio)"));
    setDockNestingEnabled(true);

    auto *central = new QWidget(this);
    auto *layout = new QVBoxLayout(central);
    auto *preview = new RecordingPreview(central);
    layout->addWidget(preview, 1);

    m_status = new QLabel(central);
    layout->addWidget(m_status);

    m_recordButton = new QPushButton(QStringLiteral("Start Recording"), central);
    m_recordButton->setObjectName(QStringLiteral("hostRecordButton"));
    connect(m_recordButton, &QPushButton::clicked, this, &HostWindow::onRecordClicked);
    layout->addWidget(m_recordButton);
    setCentralWidget(central);

    Recorder &recorder = StandInFrontend::instance().recorder();
    connect(&recorder, &Recorder::previewFrame, preview, &RecordingPreview::show);
    connect(&recorder, &Recorder::stopped, preview, [preview] { preview->show(QImage()); });
    connect(&recorder, &Recorder::starting, this, &HostWindow::onRecorderChanged);
    connect(&recorder, &Recorder::started, this, &HostWindow::onRecorderChanged);
    connect(&recorder, &Recorder::stopping, this, &HostWindow::onRecorderChanged);
    connect(&recorder, &Recorder::stopped, this, &HostWindow::onRecorderChanged);
    onRecorderChanged();
    resize(1400, 860);
}

void HostWindow::onRecordClicked()
{
    StandInFrontend &frontend = StandInFrontend::instance();
    if (frontend.recorder().state() == Recorder::State::Idle)
        frontend.startRecording();
    else
        frontend.stopRecording();
}

void HostWindow::onRecorderChanged()
{
    const Recorder &recorder = StandInFrontend::instance().recorder();
    switch (recorder.state()) {
    case Recorder::State::Idle:
        m_recordButton->setText(QStringLiteral("Start Recording"));
        m_status->setText(QStringLiteral("Not recording"));
        break;
    case Recorder::State::Starting:
        m_recordButton->setText(QStringLiteral("Stop Recording"));
        m_status->setText(QStringLiteral("Starting: %1").arg(recorder.currentFile()));
        break;
    case Recorder::State::Recording:
        m_recordButton->setText(QStringLiteral("Stop Recording"));
        m_status->setText(QStringLiteral("Recording: %1").arg(recorder.currentFile()));
        break;
    case Recorder::State::Stopping:
        m_status->setText(QStringLiteral("Stopping…"));
        break;
    }
}

void HostWindow::closeEvent(QCloseEvent *event)
{
    // Like OBS: finish the recording, save the scene collection, then tell
    // the modules the host exits.
    StandInFrontend &frontend = StandInFrontend::instance();
    frontend.recorder().stopAndWait();
    if (!m_exitSent) {
        m_exitSent = true;
        if (!m_dataFile.isEmpty())
            frontend.saveData(m_dataFile);
        frontend.fireEvent(OBS_FRONTEND_EVENT_EXIT);
    }
    event->accept();
}
