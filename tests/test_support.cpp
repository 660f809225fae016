#include "test_support.h"

#include <QProcess>

namespace TestSupport {

QVector<LogLine> logLines(int from)
{
    return HostLog::instance().linesSince(from);
}

QStringList logTexts(int from)
{
    QStringList texts;
    for (const LogLine &line : logLines(from))
        texts << line.text;
    return texts;
}

int indexOfLog(const QString &text, int from)
{
    const QStringList texts = logTexts(from);
    const int i = texts.indexOf(text);
    return i < 0 ? -1 : from + i;
}

int run(const QString &program, const QStringList &args, QString *output, int timeoutMs)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::SeparateChannels);
    process.start(program, args);
    if (!process.waitForStarted(10000))
        return -1;
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished();
        return -1;
    }
    if (output)
        *output = QString::fromUtf8(process.readAllStandardOutput());
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

double probeDuration(const QString &path)
{
    QString out;
    if (run("ffprobe", {"-v", "error", "-show_entries", "format=duration", "-of", "csv=p=0", path}, &out) != 0)
        return -1;
    bool ok = false;
    const double seconds = out.trimmed().toDouble(&ok);
    return ok ? seconds : -1;
}

int decodedFrames(const QString &path)
{
    QString out;
    if (run("ffprobe", {"-v", "error", "-select_streams", "v:0", "-count_frames", "-show_entries",
                        "stream=nb_read_frames", "-of", "csv=p=0", path},
            &out) != 0)
        return -1;
    bool ok = false;
    const int frames = out.trimmed().split('\n').value(0).trimmed().toInt(&ok);
    return ok ? frames : -1;
}

} // namespace TestSupport
