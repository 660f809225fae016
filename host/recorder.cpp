#include "recorder.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QFile>
#include <QImage>

namespace {

constexpr int kPollMs = 50;
constexpr int kStartTimeoutPolls = 15000 / kPollMs;
constexpr QSize kPreviewSize(480, 270);
constexpr int kPreviewFps = 10;

// The recording clock (stream time) and the wall clock, burnt into the picture.
const char *kClockFilter =
        "drawtext=text='%{pts\\:hms}   %{localtime\\:%X}':fontcolor=white:fontsize=40:"
        "box=1:boxcolor=black@0.6:boxborderw=8:x=24:y=24";

} // namespace

Recorder::Recorder(QObject *parent) : QObject(parent)
{
    m_poll = new QTimer(this);
    m_poll->setInterval(kPollMs);
    connect(m_poll, &QTimer::timeout, this, &Recorder::onPoll);
    m_previewTimer = new QTimer(this);
    m_previewTimer->setInterval(1000 / kPreviewFps);
    connect(m_previewTimer, &QTimer::timeout, this, &Recorder::readPreview);
}

Recorder::~Recorder()
{
    // Finish the file, but tell nobody: the listeners may be gone already.
    blockSignals(true);
    stopAndWait();
}

QString Recorder::nextFileName() const
{
    const QString ext = m_config.container == QLatin1String("fmp4") ? QStringLiteral("mp4") : QStringLiteral("mkv");
    const QString stem = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh-mm-ss"));
    QDir dir(m_config.folder);
    QString name = QStringLiteral("%1.%2").arg(stem, ext);
    for (int n = 2; dir.exists(name); ++n)
        name = QStringLiteral("%1 (%2).%3").arg(stem).arg(n).arg(ext);
    return dir.absoluteFilePath(name);
}

QStringList Recorder::buildArguments() const
{
    // One picture, split: the recording, and a small copy for the host's
    // preview (what OBS shows while it records), rewritten in place as one
    // file: nothing the host does (or fails to do) can hold the writer up.
    const QString size = QStringLiteral("%1x%2").arg(m_config.size.width()).arg(m_config.size.height());
    const QString preview = QStringLiteral("split=2[rec][p];[p]scale=%1:%2,fps=%3,format=bgr24[preview]")
                                    .arg(kPreviewSize.width())
                                    .arg(kPreviewSize.height())
                                    .arg(kPreviewFps);
    QStringList args{"-hide_banner", "-loglevel", "error", "-nostdin", "-y"};
    QString audio;
    if (m_config.source.isEmpty()) {
        args << "-re" << "-f" << "lavfi" << "-i" << QStringLiteral("testsrc2=size=%1:rate=%2").arg(size).arg(m_config.fps)
             << "-re" << "-f" << "lavfi" << "-i" << "sine=frequency=440:sample_rate=48000" << "-filter_complex"
             << QStringLiteral("[0:v]%1,%2").arg(QLatin1String(kClockFilter), preview);
        audio = QStringLiteral("1:a:0");
    } else {
        args << "-re" << "-stream_loop" << "-1" << "-i" << m_config.source << "-filter_complex"
             << QStringLiteral("[0:v]scale=%1,fps=%2,%3,%4").arg(size).arg(m_config.fps).arg(QLatin1String(kClockFilter), preview);
        audio = QStringLiteral("0:a:0?");
    }
    args << "-map" << "[rec]" << "-map" << audio << "-c:v" << "libx264" << "-preset" << "veryfast" << "-pix_fmt"
         << "yuv420p" << "-g" << QString::number(m_config.fps * 2) << "-b:v" << "2500k"
         << "-c:a" << "aac" << "-b:a" << "160k" << "-ac" << "2" << "-ar" << "48000";
    if (m_config.container == QLatin1String("fmp4"))
        args << "-movflags" << "+frag_keyframe+empty_moov+default_base_moof" << "-f" << "mp4";
    else
        args << "-f" << "matroska";
    args << m_file << "-map" << "[preview]" << "-c:v" << "bmp" << "-f" << "image2" << "-update" << "1"
         << "-atomic_writing" << "1" << previewFile();
    return args;
}

QString Recorder::previewFile() const
{
    return QDir(m_config.folder).filePath(QStringLiteral(".zerka-host-preview.bmp"));
}

void Recorder::readPreview()
{
    const QImage picture(previewFile());
    if (!picture.isNull())
        emit previewFrame(picture);
}

bool Recorder::start()
{
    if (m_state != State::Idle)
        return false;
    if (!QDir().mkpath(m_config.folder)) {
        emit failed(QStringLiteral("cannot create the recordings folder %1").arg(m_config.folder));
        return false;
    }
    m_file = nextFileName();
    m_stderr.clear();
    m_pollCount = 0;
    m_state = State::Starting;
    emit starting();

    m_process = new QProcess(this);
    m_process->setProcessChannelMode(QProcess::SeparateChannels);
    connect(m_process, &QProcess::readyReadStandardError, this,
            [this] { m_stderr += QString::fromUtf8(m_process->readAllStandardError()); });
    connect(m_process, &QProcess::finished, this, &Recorder::onFinished);
    connect(m_process, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            failStart(QStringLiteral("the recording writer (%1) cannot start: %2")
                              .arg(m_config.ffmpeg, m_process->errorString()));
    });
    m_process->start(m_config.ffmpeg, buildArguments());
    m_previewTimer->start();
    m_poll->start();
    return true;
}

void Recorder::onPoll()
{
    if (m_state != State::Starting) {
        m_poll->stop();
        return;
    }
    // OBS reports the start when the file is opened; the writer's first bytes
    // land later, once its 256 KiB buffer fills.
    if (QFileInfo::exists(m_file)) {
        m_poll->stop();
        m_state = State::Recording;
        emit started();
        return;
    }
    if (++m_pollCount > kStartTimeoutPolls) {
        m_process->kill();
        failStart(QStringLiteral("the recording did not start within 15 s"));
    }
}

void Recorder::failStart(const QString &message)
{
    // Like OBS when its output cannot start: straight back to stopped.
    m_poll->stop();
    m_previewTimer->stop();
    m_state = State::Idle;
    if (m_process) {
        m_process->disconnect(this);
        m_process->deleteLater();
        m_process = nullptr;
    }
    emit failed(message);
    emit stopped(false);
}

void Recorder::stop()
{
    if (m_state == State::Idle || m_state == State::Stopping || !m_process)
        return;
    m_poll->stop();
    m_state = State::Stopping;
    emit stopping();
    // SIGTERM makes the writer finish the file (trailer, cues) and exit.
    m_process->terminate();
}

void Recorder::stopAndWait(int timeoutMs)
{
    if (!m_process)
        return;
    stop();
    // A finished writer clears m_process inside waitForFinished.
    if (!m_process->waitForFinished(timeoutMs) && m_process) {
        m_process->kill();
        m_process->waitForFinished(2000);
    }
}

void Recorder::onFinished(int exitCode, QProcess::ExitStatus status)
{
    if (m_state == State::Starting) { // it never created the file
        failStart(QStringLiteral("the recording writer ended before writing (exit %1): %2")
                          .arg(exitCode)
                          .arg(m_stderr.trimmed()));
        return;
    }
    const bool wasStopping = m_state == State::Stopping;
    const bool clean = wasStopping && status == QProcess::NormalExit;
    if (!wasStopping) {
        emit failed(QStringLiteral("the recording writer ended by itself (exit %1): %2")
                            .arg(exitCode)
                            .arg(m_stderr.trimmed()));
        emit stopping();
    }
    m_state = State::Idle;
    m_process->deleteLater();
    m_process = nullptr;
    m_previewTimer->stop();
    QFile::remove(previewFile());
    emit stopped(clean);
}
