#include "host_log.h"

#include <util/base.h>

#include <QDateTime>
#include <QMutexLocker>

#include <cstdarg>

namespace {

void onObsLog(int level, const char *format, va_list args, void * /*param*/)
{
    char buffer[8192];
    va_list copy;
    va_copy(copy, args);
    vsnprintf(buffer, sizeof(buffer), format, copy);
    va_end(copy);
    HostLog::instance().write(level, QString::fromUtf8(buffer));
}

} // namespace

HostLog &HostLog::instance()
{
    static HostLog log;
    return log;
}

HostLog::~HostLog()
{
    if (m_file)
        fclose(m_file);
}

void HostLog::install(const QString &filePath)
{
    {
        QMutexLocker lock(&m_mutex);
        if (m_file)
            fclose(m_file);
        m_file = filePath.isEmpty() ? nullptr : fopen(filePath.toLocal8Bit().constData(), "a");
    }
    base_set_log_handler(onObsLog, nullptr);
    if (!filePath.isEmpty() && !m_file)
        write(LOG_WARNING, QStringLiteral("[host] cannot open log file %1").arg(filePath));
}

const char *HostLog::levelName(int level)
{
    switch (level) {
    case LOG_ERROR:
        return "error";
    case LOG_WARNING:
        return "warning";
    case LOG_INFO:
        return "info";
    default:
        return "debug";
    }
}

void HostLog::write(int level, const QString &text)
{
    const QByteArray line = QStringLiteral("%1 [%2] %3\n")
                                    .arg(QTime::currentTime().toString(QStringLiteral("HH:mm:ss.zzz")),
                                         QLatin1String(levelName(level)), text)
                                    .toUtf8();
    QMutexLocker lock(&m_mutex);
    m_lines.append({level, text});
    fputs(line.constData(), stderr);
    if (m_file) {
        fputs(line.constData(), m_file);
        fflush(m_file);
    }
}

QVector<LogLine> HostLog::lines() const
{
    QMutexLocker lock(&m_mutex);
    return m_lines;
}

int HostLog::count() const
{
    QMutexLocker lock(&m_mutex);
    return m_lines.size();
}

QVector<LogLine> HostLog::linesSince(int index) const
{
    QMutexLocker lock(&m_mutex);
    return m_lines.mid(index);
}

bool HostLog::contains(const QString &text, int level) const
{
    QMutexLocker lock(&m_mutex);
    for (const LogLine &line : m_lines) {
        if (line.text == text && (level < 0 || line.level == level))
            return true;
    }
    return false;
}
