#pragma once

// The host's log: every blog line from the OBS core, the module and the host
// goes to stderr and to a log file with its level, and is kept in memory so
// that tests can read what was logged.

#include <QMutex>
#include <QString>
#include <QVector>

#include <cstdio>

struct LogLine {
    int level = 0;
    QString text;
    bool operator==(const LogLine &other) const { return level == other.level && text == other.text; }
};

class HostLog {
public:
    static HostLog &instance();

    // Installs the handler with the OBS core; the file may be empty (no file).
    void install(const QString &filePath);
    void write(int level, const QString &text);

    QVector<LogLine> lines() const;
    int count() const;
    QVector<LogLine> linesSince(int index) const;
    bool contains(const QString &text, int level = -1) const;

    static const char *levelName(int level);

private:
    HostLog() = default;
    ~HostLog();

    mutable QMutex m_mutex;
    QVector<LogLine> m_lines;
    FILE *m_file = nullptr;
};
