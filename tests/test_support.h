#pragma once

// Helpers shared by the tests: the host log as a list of (level, text), and
// FFmpeg's command-line tools to inspect media files the tests did not write.

#include "host_log.h"

#include <util/base.h>

#include <QString>
#include <QStringList>

namespace TestSupport {

// Log lines written since index `from` (an earlier HostLog count).
QStringList logTexts(int from = 0);
QVector<LogLine> logLines(int from = 0);
// Index of the first line with this exact text at or after `from`; -1 when absent.
int indexOfLog(const QString &text, int from = 0);

// Duration in seconds as ffprobe reads it from the container (-1 on failure).
double probeDuration(const QString &path);
// Pictures the FFmpeg CLI decodes from the file as it is now (-1 on failure).
int decodedFrames(const QString &path);
// Runs a program and returns its exit code (-1 if it cannot run or times out);
// `output` gets what it wrote to stdout.
int run(const QString &program, const QStringList &args, QString *output = nullptr, int timeoutMs = 60000);

} // namespace TestSupport
