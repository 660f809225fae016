#pragma once

// Helpers shared by the tests: the host log as a list of (level, text),
// FFmpeg's command-line tools to inspect media files the tests did not
// write, the private servers (PulseAudio with two null sinks, nginx RTMP)
// and a collector for signals emitted on worker threads.

#include "host_log.h"

#include <util/base.h>

#include <QObject>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QColor>
#include "zk_picture.h"

#include <QImage>
#include <QVariant>
#include <QVector>

#include <memory>

namespace TestSupport {

// Log lines written since index `from` (an earlier HostLog count).
int logMark();
QStringList logTexts(int from = 0);
QVector<LogLine> logLines(int from = 0);
// Lines since `from` that start with `prefix`.
int countLog(const QString &prefix, int from = 0);

// Duration in seconds as ffprobe reads it from the container (-1 on failure).
double probeDuration(const QString &path);
// Presentation times of every picture of the first video stream, in order;
// of its key pictures only with `keys`.
QVector<double> pictureTimes(const QString &path, bool keys = false);
// Runs a program and returns its exit code (-1 if it cannot run or times out);
// `output` gets what it wrote to stdout.
int run(const QString &program, const QStringList &args, QString *output = nullptr, int timeoutMs = 60000);

// A private server started by one of the scripts in tests/ for as long as
// the object lives: "audio-server" (PulseAudio) or "rtmp-server" (nginx on
// free ports, url() names a stream there, recordings in dir()/rec). The
// audio server must be up before Qt first looks for audio devices;
// PULSE_SERVER is set for this process. It has three null sinks: sinkA
// (the default), sinkB and sinkC.
class Server {
public:
    Server(const QString &script, const QString &dir);
    ~Server();
    bool up() const { return m_up; }
    QString dir() const { return m_dir; }
    void command(const QString &name); // the script's other commands (stop, start, worker)
    QString output(const QString &name, const QString &argument = QString());
    // The RTMP server's address for stream `key` (rtmps: its TLS front, by the name "localhost").
    QString url(const QString &key, bool tls = false);

private:
    QString m_script;
    QString m_dir;
    bool m_up = false;
};
std::unique_ptr<Server> startAudioServer();
// What a sink of the audio server plays for `ms`: the tone's pitch in Hz
// (from the left channel's zero crossings) and its loudness (RMS).
std::pair<int, double> listen(const QString &sink, int ms);
// The same of 48 kHz stereo s16 PCM, and of a file's sound from `from` for `seconds`.
std::pair<int, double> pitchAndLevel(const QByteArray &pcm);
QByteArray soundOf(const QString &path, double from, double seconds);
// `frames` of a 440 Hz tone as 48 kHz stereo s16 PCM, from frame `first` of it on.
QByteArray tone(qint64 first, int frames);
// Picture `n` of eight 640x360 noise pictures that do not compress: they
// keep a high bit rate flowing.
Picture noisePicture(int n);
// `image` as a decoder gives a picture: YUV 4:2:0, BT.709, limited range.
Picture decodedPicture(const QImage &image);
// The pixels of a file's pictures from `from` s on (`frames` of them, or
// all), each picture reduced by FFmpeg's filter `filter` (a crop, a scale),
// picture after picture, row after row: at the file's frame rate, or each
// picture once as stored.
QVector<QColor> pixelsOf(const QString &path, const QString &filter, double from = 0, int frames = -1,
                         bool asStored = false);
// In a recording of the flash-and-click clip (Media "sync.mkv"): for each
// white picture, its time (s) and how much later its click is heard (ms;
// none more than 0.5 s away: no mark). Sound is placed by its timestamps.
struct SyncMark {
    double at = 0;
    double offsetMs = 0;
};
QVector<SyncMark> syncMarks(const QString &path);

// Collects a signal's arguments on the test thread, whatever thread emits
// it (a QSignalSpy appends on the emitting thread).
class Collector : public QObject {
public:
    template <typename Sender, typename Signal> Collector(Sender *sender, Signal signal)
    {
        connect(sender, signal, this, [this](auto... args) { m_calls.append(QVariantList{QVariant::fromValue(args)...}); });
    }
    int size() const { return int(m_calls.size()); }
    QVariant at(int i) const { return m_calls.at(i).value(0); }
    QVariant last() const { return m_calls.isEmpty() ? QVariant() : m_calls.last().value(0); }
    QStringList strings() const;
    bool contains(const QString &text) const { return strings().contains(text); }

private:
    QVector<QVariantList> m_calls;
};

} // namespace TestSupport

// main() of a test that plays sound: the private audio server is up before
// Qt first looks for devices, the settings store lives in a temporary folder.
#define ZK_AUDIO_TEST_MAIN(TestClass, Application)                                                                     \
    int main(int argc, char **argv)                                                                                    \
    {                                                                                                                  \
        const auto server = TestSupport::startAudioServer();                                                           \
        if (!server || !server->up())                                                                                  \
            return 1;                                                                                                  \
        QTemporaryDir config;                                                                                          \
        qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());                                                       \
        Application app(argc, argv);                                                                                   \
        TestClass test;                                                                                                \
        QTEST_SET_MAIN_SOURCE_PATH                                                                                     \
        return QTest::qExec(&test, argc, argv);                                                                        \
    }
