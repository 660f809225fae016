// Measurements of the playback engine, each printed as one "key=value ..."
// line for bench/run to summarise:
//   zk_bench decode FILE          pictures per second through DecoderCtx and RGB32 conversion
//   zk_bench open FILE SEEK       seconds from open, and from a seek, to the first picture
//   zk_bench follow FILE SECONDS  how far behind a real-time writer (started just before) pictures arrive
//   zk_bench memory FILE SECONDS  peak resident memory while playing
//   zk_bench play FILE SECONDS    CPU of one player playing the file in real time (sound on the default device)
//   zk_bench sync FILE SECONDS    end-to-end A/V offset on sinkA (a file with a flash and a click every second)
//   zk_bench stream FILE URL SECONDS KBPS
//                                 CPU of streaming the clip's pictures (looped, 30 a second) with sound

#include "decoder_ctx.h"
#include "host_log.h"
#include "zk_player.h"
#include "zk_streamer.h"
#include "sync_meter.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QEventLoop>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTimer>

#include <algorithm>
#include <functional>
#include <cmath>
#include <cstdio>

#include <sys/resource.h>

namespace {

qint64 statusKb(const char *key)
{
    QFile status("/proc/self/status");
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(key))
            return line.mid(int(strlen(key))).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// Decodes the file's pictures as the decode thread does (decode, then
// convert to RGB32) and hands each to `take` until it returns false.
bool decodeFile(const QString &file, const std::function<bool(QImage &&)> &take)
{
    std::atomic<bool> stop{false}, follow{false};
    DecoderCtx dec;
    const QString error = dec.openInput(file, &stop, &follow, true);
    if (!error.isEmpty()) {
        fprintf(stderr, "%s\n", error.toUtf8().constData());
        return false;
    }
    bool more = true;
    auto receive = [&] {
        while (more && avcodec_receive_frame(dec.vctx, dec.frame) == 0) {
            QImage image(dec.frame->width, dec.frame->height, QImage::Format_RGB32);
            if (!image.isNull() && dec.toRgb32(dec.frame, image))
                more = take(std::move(image));
            av_frame_unref(dec.frame);
        }
    };
    while (more && av_read_frame(dec.fmt, dec.pkt) >= 0) {
        if (dec.pkt->stream_index == dec.videoIdx && avcodec_send_packet(dec.vctx, dec.pkt) == 0)
            receive();
        av_packet_unref(dec.pkt);
    }
    avcodec_send_packet(dec.vctx, nullptr); // the decoder's last pictures
    receive();
    return true;
}

int benchDecode(const QString &file)
{
    QElapsedTimer timer;
    timer.start();
    int pictures = 0;
    if (!decodeFile(file, [&pictures](QImage &&) { return ++pictures > 0; }))
        return 1;
    const double seconds = timer.elapsed() / 1000.0;
    printf("pictures=%d seconds=%.2f fps=%.1f\n", pictures, seconds, pictures / seconds);
    return 0;
}

// Seconds until the player's next picture, or -1 after `limitMs`.
double untilPicture(ZKPlayer &player, const std::function<void()> &action, int limitMs = 20000)
{
    QElapsedTimer timer;
    bool got = false;
    QEventLoop loop;
    auto connection = QObject::connect(&player, &ZKPlayer::frameReady, &loop, [&] {
        got = true;
        loop.quit();
    });
    QTimer::singleShot(limitMs, &loop, &QEventLoop::quit);
    timer.start();
    action();
    if (!got)
        loop.exec();
    QObject::disconnect(connection);
    return got ? timer.elapsed() / 1000.0 : -1.0;
}

int benchOpen(const QString &file, double seekTo)
{
    ZKPlayer player(nullptr);
    const double open = untilPicture(player, [&] { player.open(file, false, 0); });
    const double seek = untilPicture(player, [&] { player.seek(seekTo); });
    printf("open_s=%.3f seek_s=%.3f\n", open, seek);
    return open < 0 || seek < 0;
}

int benchFollow(const QString &file, int seconds)
{
    // bench/run starts the writer just before this process: the writer's
    // media time t is written at about wall time start + t.
    const qint64 writerStartMs = qEnvironmentVariable("ZK_WRITER_START_MS").toLongLong();
    ZKPlayer player(nullptr);
    std::vector<double> behind;
    QObject::connect(&player, &ZKPlayer::frameReady, &player, [&](const QImage &, double pts) {
        behind.push_back((QDateTime::currentMSecsSinceEpoch() - writerStartMs) / 1000.0 - pts);
    });
    player.open(file, true, 0);
    QTimer::singleShot(seconds * 1000, &player, &QCoreApplication::quit);
    QCoreApplication::exec();
    if (behind.size() < 10)
        return 1;
    std::vector<double> steady(behind.begin() + long(behind.size() / 2), behind.end());
    std::sort(steady.begin(), steady.end());
    printf("first_behind_s=%.2f steady_behind_s=%.2f pictures=%zu\n", behind.front(), steady[steady.size() / 2],
           behind.size());
    return 0;
}

int benchMemory(const QString &file, int seconds)
{
    ZKPlayer player(nullptr);
    player.open(file, false, 0);
    // Play a while, then jump around the whole file.
    QTimer jumps;
    double target = 0;
    QObject::connect(&jumps, &QTimer::timeout, &player, [&] {
        target += 97.0;
        player.seek(target);
    });
    QTimer::singleShot(seconds * 500, &jumps, [&jumps] { jumps.start(500); });
    QTimer::singleShot(seconds * 1000, &player, &QCoreApplication::quit);
    QCoreApplication::exec();
    printf("peak_rss_mb=%.1f\n", statusKb("VmHWM:") / 1024.0);
    return 0;
}

double cpuSeconds()
{
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

int benchStream(const QString &file, const QString &url, int seconds, int kbps)
{
    QVector<QImage> pictures;
    decodeFile(file, [&pictures](QImage &&image) {
        pictures << std::move(image);
        return pictures.size() < 60;
    });
    if (pictures.isEmpty())
        return 1;
    ZKStreamer streamer;
    int lastKbps = 0;
    QObject::connect(&streamer, &ZKStreamer::statsUpdated, &streamer, [&](int value) {
        if (value > 0)
            lastKbps = value;
    });
    const double cpuStart = cpuSeconds();
    streamer.start(url, kbps);
    // Pictures at 30 a second and sound in 20 ms blocks, as the panel pushes them.
    QElapsedTimer clock;
    clock.start();
    qint64 sample = 0;
    int picture = 0;
    QTimer feeder;
    feeder.setTimerType(Qt::PreciseTimer);
    QObject::connect(&feeder, &QTimer::timeout, &streamer, [&] {
        while (picture * 1000 / 30 <= clock.elapsed())
            streamer.pushFrame(pictures[picture++ % pictures.size()]);
        while (sample * 1000 / 48000 <= clock.elapsed()) {
            QByteArray pcm(960 * 4, Qt::Uninitialized);
            auto *out = reinterpret_cast<qint16 *>(pcm.data());
            for (int i = 0; i < 960; ++i, ++sample)
                out[2 * i] = out[2 * i + 1] = qint16(6000 * std::sin(2 * M_PI * 440 * sample / 48000.0));
            streamer.pushAudio(pcm);
        }
    });
    feeder.start(5);
    QTimer::singleShot(seconds * 1000, &streamer, &QCoreApplication::quit);
    QCoreApplication::exec();
    streamer.stop();
    const double cpu = cpuSeconds() - cpuStart;
    printf("cpu_s=%.2f pictures=%d kbps=%d\n", cpu, picture, lastKbps);
    return 0;
}

int benchPlay(const QString &file, int seconds)
{
    ZKPlayer player(nullptr);
    int pictures = 0;
    QObject::connect(&player, &ZKPlayer::frameReady, &player, [&pictures] { ++pictures; });
    const double cpuStart = cpuSeconds();
    player.open(file, false, 0);
    QTimer::singleShot(seconds * 1000, &player, &QCoreApplication::quit);
    QCoreApplication::exec();
    player.close();
    printf("cpu_s=%.2f pictures=%d\n", cpuSeconds() - cpuStart, pictures);
    return 0;
}

int benchSync(const QString &file, int seconds)
{
    SyncMeter meter("sinkA.monitor");
    if (!meter.start())
        return 1;
    ZKPlayer player(nullptr);
    meter.watch(&player);
    QTimer::singleShot(500, &player, [&] { player.open(file, false, 0); });
    QTimer::singleShot(seconds * 1000 + 500, &player, &QCoreApplication::quit);
    QCoreApplication::exec();
    player.close();
    meter.stop();
    const SyncMeter::Result r = meter.result();
    printf("marks=%d mean_ms=%.1f worst_ms=%.1f\n", r.marks, r.meanMs, r.worstMs);
    return r.marks > 0 ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    HostLog::instance().install(QString()); // engine log lines go to stderr
    const QStringList args = app.arguments();
    const QString mode = args.value(1);
    if (mode == "decode" && args.size() == 3)
        return benchDecode(args[2]);
    if (mode == "open" && args.size() == 4)
        return benchOpen(args[2], args[3].toDouble());
    if (mode == "follow" && args.size() == 4)
        return benchFollow(args[2], args[3].toInt());
    if (mode == "memory" && args.size() == 4)
        return benchMemory(args[2], args[3].toInt());
    if (mode == "play" && args.size() == 4)
        return benchPlay(args[2], args[3].toInt());
    if (mode == "sync" && args.size() == 4)
        return benchSync(args[2], args[3].toInt());
    if (mode == "stream" && args.size() == 6)
        return benchStream(args[2], args[3], args[4].toInt(), args[5].toInt());
    fprintf(stderr, "usage: zk_bench decode FILE | open FILE SEEK | follow FILE SECONDS | memory FILE SECONDS\n");
    return 2;
}
