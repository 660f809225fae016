#include "test_support.h"

#include <QDir>
#include <QEventLoop>
#include <QTimer>
#include <QProcess>
#include <QRandomGenerator>

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace TestSupport {

int logMark()
{
    return HostLog::instance().count();
}

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

int countLog(const QString &prefix, int from)
{
    int n = 0;
    for (const QString &text : logTexts(from))
        n += text.startsWith(prefix);
    return n;
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

QVector<double> pictureTimes(const QString &path, bool keys)
{
    QString out;
    run("ffprobe", {"-v", "error", "-select_streams", "v:0", "-show_entries",
                    keys ? "packet=pts_time,flags" : "frame=best_effort_timestamp_time", "-of", "csv=p=0", path},
        &out, 120000);
    QVector<double> times;
    for (const QString &line : out.split('\n', Qt::SkipEmptyParts)) {
        bool ok = false; // side data adds fields and lines
        const double t = line.section(',', 0, 0).trimmed().toDouble(&ok);
        if (ok && (!keys || line.section(',', 1, 1).startsWith('K')))
            times << t;
    }
    std::sort(times.begin(), times.end());
    return times;
}

Server::Server(const QString &script, const QString &dir) : m_script(script), m_dir(dir)
{
    QDir().mkpath(dir);
    m_up = run("bash", {script, "start", dir}) == 0;
    if (script.endsWith("audio-server"))
        qputenv("PULSE_SERVER", ("unix:" + dir + "/run/pulse/native").toLocal8Bit());
}

Server::~Server()
{
    run("bash", {m_script, "stop", m_dir});
    QDir(m_dir).removeRecursively();
}

void Server::command(const QString &name)
{
    run("bash", {m_script, name, m_dir});
}

QString Server::output(const QString &name, const QString &argument)
{
    QString out;
    run("bash", QStringList{m_script, name, m_dir} + (argument.isEmpty() ? QStringList() : QStringList{argument}), &out);
    return out.trimmed();
}

QString Server::url(const QString &key, bool tls)
{
    return tls ? QString("rtmps://localhost:%1/live/%2").arg(output("port", "tls"), key)
               : QString("rtmp://127.0.0.1:%1/live/%2").arg(output("port"), key);
}

std::unique_ptr<Server> startAudioServer()
{
    QByteArray dir = QByteArray(qgetenv("TMPDIR").isEmpty() ? "/tmp" : qgetenv("TMPDIR")) + "/zerka-audio-XXXXXX";
    if (!mkdtemp(dir.data()))
        return nullptr;
    return std::make_unique<Server>(QStringLiteral(ZK_TESTS_DIR "/audio-server"), QString::fromLocal8Bit(dir));
}

std::pair<int, double> listen(const QString &sink, int ms)
{
    QProcess parec;
    parec.start("parec", {"-d", sink + ".monitor", "--raw", "--rate=48000", "--channels=2", "--format=s16le"});
    parec.waitForStarted();
    // The benchmarks share this file and do not link Qt Test.
    QEventLoop wait;
    QTimer::singleShot(ms, &wait, &QEventLoop::quit);
    wait.exec();
    parec.kill();
    parec.waitForFinished();
    return pitchAndLevel(parec.readAllStandardOutput());
}

std::pair<int, double> pitchAndLevel(const QByteArray &pcm)
{
    const auto *s = reinterpret_cast<const qint16 *>(pcm.constData());
    const qsizetype frames = pcm.size() / 4;
    qint64 crossings = 0;
    double sum = 0;
    for (qsizetype i = 1; i < frames; ++i) {
        crossings += (s[2 * i] >= 0) != (s[2 * i - 2] >= 0);
        sum += double(s[2 * i]) * s[2 * i];
    }
    const double seconds = frames / 48000.0;
    return {seconds > 0 ? int(crossings / 2 / seconds) : 0, frames ? std::sqrt(sum / frames) : 0};
}

// What FFmpeg's tool writes to its standard output for `args`.
static QByteArray ffmpegOutput(const QStringList &args, int timeoutMs = 60000)
{
    QProcess ffmpeg;
    ffmpeg.start("ffmpeg", QStringList{"-v", "error"} + args);
    ffmpeg.waitForFinished(timeoutMs);
    return ffmpeg.readAllStandardOutput();
}

QByteArray tone(qint64 first, int frames)
{
    QByteArray pcm(frames * 4, Qt::Uninitialized);
    auto *out = reinterpret_cast<qint16 *>(pcm.data());
    for (int i = 0; i < frames; ++i)
        out[2 * i] = out[2 * i + 1] = qint16(8000 * std::sin(2 * M_PI * 440 * double(first + i) / 48000.0));
    return pcm;
}

Picture noisePicture(int n)
{
    static QVector<Picture> pictures;
    for (QRandomGenerator random(3); pictures.size() < 8;) {
        QImage image(640, 360, QImage::Format_RGB32); // its top byte is not read
        random.fillRange(reinterpret_cast<quint32 *>(image.bits()), image.sizeInBytes() / 4);
        pictures << decodedPicture(image);
    }
    return pictures[n % 8];
}

Picture decodedPicture(const QImage &image)
{
    AVFrame *frame = av_frame_alloc();
    if (!frame)
        return {};
    frame->format = AV_PIX_FMT_YUV420P;
    frame->width = image.width();
    frame->height = image.height();
    frame->colorspace = AVCOL_SPC_BT709;
    frame->color_range = AVCOL_RANGE_MPEG;
    Picture picture;
    PictureScaler scaler;
    if (av_frame_get_buffer(frame, 0) == 0 && scaler.scaleInto(Picture::fromImage(image), frame))
        picture = Picture::fromFrame(frame);
    av_frame_free(&frame);
    return picture;
}

QByteArray soundOf(const QString &path, double from, double seconds)
{
    return ffmpegOutput({"-ss", QString::number(from), "-t", QString::number(seconds), "-i", path, "-vn", "-f",
                         "s16le", "-ac", "2", "-ar", "48000", "-"});
}

QVector<QColor> pixelsOf(const QString &path, const QString &filter, double from, int frames, bool asStored)
{
    // From the start without a seek (which a file with one key picture may
    // not survive).
    QStringList args{"-i", path, "-vf", filter};
    if (asStored)
        args << "-fps_mode" << "passthrough";
    if (from > 0)
        args = QStringList{"-ss", QString::number(from)} + args;
    if (frames > 0)
        args << "-frames:v" << QString::number(frames);
    const QByteArray rgb = ffmpegOutput(args + QStringList{"-f", "rawvideo", "-pix_fmt", "rgb24", "-"});
    QVector<QColor> pixels;
    for (qsizetype at = 0; at + 3 <= rgb.size(); at += 3)
        pixels << QColor(uchar(rgb[at]), uchar(rgb[at + 1]), uchar(rgb[at + 2]));
    return pixels;
}

QVector<SyncMark> syncMarks(const QString &path)
{
    // The middle of each picture: a white one starts a flash, which is over
    // within a few pictures (even slowed); a bright clip cut to is none, nor
    // is the test pattern's grey.
    const QStringList stats = QString::fromUtf8(ffmpegOutput(
            {"-i", path, "-an", "-vf", "crop=iw/4:ih/4,signalstats,metadata=print:key=lavfi.signalstats.YAVG:file=-",
             "-f", "null", "-"}, 1800000)).split('\n');
    QVector<double> flashes;
    double at = 0, luma = 0, bright = -1;
    for (const QString &line : stats) {
        if (line.startsWith("frame:"))
            at = line.section("pts_time:", 1).toDouble();
        else if (line.startsWith("lavfi.signalstats.YAVG=")) {
            const double now = line.section('=', 1).toDouble();
            if (now > 180 && luma <= 180)
                bright = at;
            else if (now <= 180 && luma > 180 && at - bright < 0.2)
                flashes << bright;
            luma = now;
        }
    }
    // The sound where its timestamps put it: a click is loud for a moment
    // (under 30 ms) between stretches of quiet (100 ms); a tone is not.
    const QByteArray pcm = ffmpegOutput({"-i", path, "-vn", "-af", "aresample=async=1:first_pts=0", "-f", "s16le",
                                         "-ac", "2", "-ar", "48000", "-"}, 1800000);
    const auto *s = reinterpret_cast<const qint16 *>(pcm.constData());
    QVector<double> clicks;
    qsizetype start = -1, last = -48000;
    auto endRun = [&] {
        if (start >= 0 && last - start < 1440)
            clicks << start / 48000.0;
    };
    for (qsizetype i = 0; i < pcm.size() / 4; ++i) {
        if (qAbs(s[2 * i]) < 8000)
            continue;
        if (i - last > 4800) {
            endRun();
            start = i;
        }
        last = i;
    }
    endRun();
    QVector<SyncMark> marks;
    for (double flash : flashes) {
        const auto near = std::min_element(clicks.begin(), clicks.end(),
                                           [flash](double a, double b) { return qAbs(a - flash) < qAbs(b - flash); });
        if (near != clicks.end() && qAbs(*near - flash) < 0.5)
            marks << SyncMark{flash, (*near - flash) * 1000};
    }
    return marks;
}

QStringList Collector::strings() const
{
    QStringList texts;
    for (const QVariantList &call : m_calls)
        texts << call.value(0).toString();
    return texts;
}

} // namespace TestSupport
