// Measurements of the playback engine, each printed as one "key=value ..."
// line for bench/run to summarise:
//   zk_bench decode FILE          pictures per second through DecoderCtx and RGB32 conversion
//   zk_bench clip FILE IN OUT [IN OUT...]
//                                 a clip (several stretches: a reel) exported as the desk does: CPU, time
//   zk_bench open FILE SEEK       seconds from open, and from a seek, to the first picture
//   zk_bench open-followed FILE START BACK FORWARD
//                                 the same for a followed recording: open at START, seek to BACK, then FORWARD
//   zk_bench follow FILE mkv|fmp4 SECONDS
//                                 follows a real-time writer with seeks, then plays its end: lost and
//                                 repeated pictures, seek error, heals, A/V offset on sinkA
//   zk_bench memory FILE SECONDS  peak resident memory while playing
//   zk_bench play FILE SECONDS    CPU of one player playing the file in real time (sound on the default device)
//   zk_bench sync FILE SECONDS    end-to-end A/V offset on sinkA (a file with a flash and a click every second)
//   zk_bench desk A B URL SECONDS  the whole desk: A on program, B on preview, full screen, streaming, swaps
//   zk_bench show-report RESULTS RECEIVED OBSLOG MINUTES
//                                 the figures of bench/run show from what the operator noted, what the
//                                 RTMP server received and OBS's log
//   zk_bench events SYNC STILL SILENT URL RECEIVED
//                                 program's A/V offset on the stream and the monitor device (sinkA) after
//                                 each thing a show does to program (a still, a pause, slow motion, a file
//                                 without sound, the device stopping); RECEIVED: what the server records
//   zk_bench stream FILE URL SECONDS KBPS
//                                 CPU of streaming the clip's pictures (looped, 30 a second) with sound
//   zk_bench close FILE EDGE URL WORKER
//                                 how long the player's close() and the streamer's stop() keep the host
//                                 waiting, whatever they are doing (FILE a plain file, EDGE a fragmented
//                                 one, URL on the RTMP server whose worker process is WORKER)

#include "clip_export.h"
#include "decoder_ctx.h"
#include "fault_pread.h"
#include "host_log.h"
#include "host_recording.h"
#include "playback_panel.h"
#include "zk_player.h"
#include "zk_streamer.h"
#include "sync_meter.h"
#include "test_support.h"

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QDateTime>
#include <QEventLoop>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QProcess>
#include <QSet>
#include <QTcpServer>
#include <QTimer>

#include <algorithm>
#include <deque>
#include <memory>
#include <numeric>
#include <functional>
#include <cstdio>

#include <csignal>

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

// Decodes the file's pictures as the decode thread does (decode, then keep
// a reference) and hands each to `take` until it returns false.
bool decodeFile(const QString &file, const std::function<bool(Picture &&)> &take)
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
        bool timed = false;
        double pts = 0;
        if (!dec.sendVideo())
            return;
        while (more) {
            const AVFrame *picture = dec.receivePicture(timed, pts);
            if (!picture)
                break;
            Picture kept = Picture::fromFrame(picture);
            if (!kept.isNull())
                more = take(std::move(kept));
        }
    };
    DecoderCtx::Packet kind;
    while (more && dec.readPacket(kind) >= 0) {
        if (kind == DecoderCtx::Packet::Video)
            receive();
    }
    dec.endOfStream(); // the decoder's last pictures
    receive();
    return true;
}

int benchDecode(const QString &file)
{
    QElapsedTimer timer;
    timer.start();
    int pictures = 0;
    if (!decodeFile(file, [&pictures](Picture &&) { return ++pictures > 0; }))
        return 1;
    const double seconds = timer.elapsed() / 1000.0;
    printf("pictures=%d seconds=%.2f fps=%.1f\n", pictures, seconds, pictures / seconds);
    return 0;
}

double cpuSeconds();

// A clip exported as the desk exports it (several stretches: a reel): its
// CPU and wall-clock time.
int benchClip(const QString &file, const QStringList &points)
{
    ClipExport exporter;
    ClipExport::Request request;
    for (int i = 0; i + 1 < points.size(); i += 2)
        request.parts.append({file, points[i].toDouble(), points[i + 1].toDouble(), false});
    request.target = ClipExport::targetFor(file, request.parts.first().in, request.parts.size() > 1 ? "reel" : "");
    QString result;
    QEventLoop loop;
    QObject::connect(&exporter, &ClipExport::exported, &loop, [&](const QString &path, int pictures, bool copied) {
        result = QStringLiteral("file=\"%1\" pictures=%2 copied=%3").arg(path).arg(pictures).arg(int(copied));
        loop.quit();
    });
    QObject::connect(&exporter, &ClipExport::failed, &loop, [&](const QString &why) {
        result = QStringLiteral("failed=\"%1\"").arg(why);
        loop.quit();
    });
    QElapsedTimer timer;
    timer.start();
    const double cpuBefore = cpuSeconds();
    exporter.start(request);
    loop.exec();
    printf("%s seconds=%.2f cpu_s=%.2f\n", result.toUtf8().constData(), timer.elapsed() / 1000.0,
           cpuSeconds() - cpuBefore);
    return result.startsWith("file=") ? 0 : 1;
}

// What drawing a decoded picture costs, per picture: converted to RGB at
// the full-screen output's size and at a monitor's, each into its own
// scaler as the outputs do.
int benchDraw(const QString &file)
{
    std::vector<Picture> pictures;
    if (!decodeFile(file, [&pictures](Picture &&picture) {
            pictures.push_back(std::move(picture));
            return pictures.size() < 150;
        }))
        return 1;
    const QSize sizes[] = {pictures.front().size(), QSize(240, 135)};
    for (const QSize size : sizes) {
        PictureScaler scaler;
        QImage image;
        QElapsedTimer timer;
        timer.start();
        for (const Picture &picture : pictures) {
            scaler.toImage(picture, size, image);
            if (image.isNull())
                return 1;
        }
        printf("%dx%d: %.2f ms a picture\n", size.width(), size.height(), timer.nsecsElapsed() / 1e6 / pictures.size());
    }
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

// The same on a long recording opened as a followed one (instant replay two
// minutes behind its end), then a seek far back and one far forward.
int benchOpenFollowed(const QString &file, double start, double back, double forward)
{
    ZKPlayer player(nullptr);
    double landed = -1;
    QObject::connect(&player, &ZKPlayer::frameReady, &player, [&landed](const Picture &, double pts) { landed = pts; });
    const double open = untilPicture(player, [&] { player.open(file, true, start); });
    const double openAt = landed;
    const double seekBack = untilPicture(player, [&] { player.seek(back); });
    const double backAt = landed;
    const double seekForward = untilPicture(player, [&] { player.seek(forward); });
    printf("open_s=%.3f at=%.2f back_s=%.3f at=%.2f forward_s=%.3f at=%.2f\n", open, openAt, seekBack, backAt,
           seekForward, landed);
    return open < 0 || seekBack < 0 || seekForward < 0;
}

// Starts a real-time writer (640x360, 2.5 Mbit/s, a white flash and a click
// at every whole second) recording to `file` as "mkv" or "fmp4".
QProcess *startFlashWriter(const QString &file, const QString &container, QObject *parent)
{
    const QString click = "if(lt(mod(t\\,1)\\,0.005)\\,0.9*sin(2*PI*1000*t)\\,0)";
    QStringList args{"-hide_banner", "-loglevel", "error", "-nostdin", "-y", "-re", "-f", "lavfi", "-i",
                     "color=c=black:s=640x360:r=30,drawbox=x=0:y=0:w=iw:h=ih:color=white:t=fill:"
                     "enable='lt(mod(t,1),0.03)'",
                     "-re", "-f", "lavfi", "-i", QString("aevalsrc=%1|%1:s=48000").arg(click), "-c:v", "libx264",
                     "-preset", "veryfast", "-g", "60", "-pix_fmt", "yuv420p", "-b:v", "2500k", "-minrate", "2500k",
                     "-maxrate", "2500k", "-bufsize", "1250k", "-x264-params", "nal-hrd=cbr", "-c:a", "aac", "-ac",
                     "2"};
    if (container == "fmp4")
        args << "-movflags" << "+frag_keyframe+empty_moov+default_base_moof" << "-f" << "mp4";
    else
        args << "-f" << "matroska";
    auto *writer = new QProcess(parent);
    writer->start("ffmpeg", args << file);
    return writer;
}

// Follows a recording while it is written, as instant replay does: from 10 s
// behind, a seek back to 3 s at a third of the run, a seek to 5 s behind the
// live edge at two thirds, then the writer stops, following is switched off
// and the player plays to the end. Compares the pictures handed out with
// the finished file's own.
int benchFollow(const QString &file, const QString &container, int seconds)
{
    QFile::remove(file);
    QElapsedTimer wall;
    wall.start();
    QProcess *writer = startFlashWriter(file, container, qApp);
    SyncMeter meter("sinkA.monitor");
    meter.start();
    ZKPlayer player(nullptr);
    meter.watch(&player);
    struct Segment {
        double target;
        QVector<double> shown;
    };
    QVector<Segment> segments;
    bool finished = false;
    QObject::connect(&player, &ZKPlayer::frameReady, &player, [&](const Picture &, double pts) {
        segments.last().shown << pts;
    });
    QObject::connect(&player, &ZKPlayer::stateChanged, &player, [&](ZKPlayer::State state) {
        if (state == ZKPlayer::State::Finished) {
            finished = true;
            QCoreApplication::quit();
        }
    });
    const int logStart = HostLog::instance().count();
    auto at = [&](int ms, const std::function<void()> &action) { QTimer::singleShot(ms, &player, action); };
    at(12000, [&] {
        segments.append(Segment{2.0, {}});
        player.open(file, true, 2.0);
    });
    at(seconds * 1000 / 3, [&] {
        segments.append(Segment{3.0, {}});
        player.seek(3.0);
    });
    at(seconds * 2000 / 3, [&] {
        const double target = wall.elapsed() / 1000.0 - 5.0;
        segments.append(Segment{target, {}});
        player.seek(target);
    });
    at(seconds * 1000, [&] {
        writer->terminate(); // SIGTERM: the writer finishes the file
        writer->waitForFinished(20000);
        player.stopFollowing();
    });
    QTimer::singleShot(seconds * 1000 + 60000, &player, &QCoreApplication::quit);
    QCoreApplication::exec();
    player.close();
    meter.stop();

    const QVector<double> inFile = TestSupport::pictureTimes(file);
    int lost = 0, dup = 0;
    double seekErr = 0;
    for (int i = 0; i < segments.size(); ++i) {
        const Segment &seg = segments[i];
        if (seg.shown.isEmpty())
            continue;
        seekErr = qMax(seekErr, qAbs(seg.shown.first() - seg.target));
        const double last = i + 1 == segments.size() && !inFile.isEmpty() ? inFile.last() : seg.shown.last();
        QSet<qint64> shown;
        for (double pts : seg.shown) {
            const qint64 key = qRound64(pts * 1000);
            dup += shown.contains(key);
            shown.insert(key);
        }
        for (double pts : inFile)
            if (pts >= seg.target - 0.0005 && pts <= last + 0.0005 && !shown.contains(qRound64(pts * 1000))) {
                fprintf(stderr, "lost picture %.3f (segment from %.3f, first shown %.3f)\n", pts, seg.target,
                        seg.shown.first());
                ++lost;
            }
    }
    int heals = 0;
    for (const LogLine &line : HostLog::instance().linesSince(logStart))
        heals += line.text.startsWith("[ZKPlayer] 解复用器被写入端噎住");
    const SyncMeter::Result sync = meter.result();
    printf("container=%s pictures_in_file=%d lost=%d dup=%d seek_err_s=%.2f heals=%d finished=%d av_marks=%d "
           "av_mean_ms=%.1f av_worst_ms=%.0f\n",
           qPrintable(container), int(inFile.size()), lost, dup, seekErr, heals, int(finished), sync.marks,
           sync.meanMs, sync.worstMs);
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
    QVector<Picture> pictures;
    decodeFile(file, [&pictures](Picture &&picture) {
        pictures << std::move(picture);
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
        for (; sample * 1000 / 48000 <= clock.elapsed(); sample += 960)
            streamer.pushAudio(TestSupport::tone(sample, 960)); // 20 ms
    });
    feeder.start(5);
    QTimer::singleShot(seconds * 1000, &streamer, &QCoreApplication::quit);
    QCoreApplication::exec();
    streamer.stop();
    const double cpu = cpuSeconds() - cpuStart;
    printf("cpu_s=%.2f pictures=%d kbps=%d\n", cpu, picture, lastKbps);
    return 0;
}

// Spins the event loop for `ms` (0: once).
void spin(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// close() and stop() run on the host's thread, at the operator's click and
// at the host's exit: each case's time is how long the host stood still.
int benchClose(const QString &file, const QString &edge, const QString &url, pid_t worker)
{
    struct PlayerCase {
        const char *what;
        QString file;
        bool follow;
        int fail;
        bool destroy;
    };
    const PlayerCase players[] = {{"waiting for recording data", file + ".never.mkv", true, 0, false},
                                  {"at the live edge", edge, true, 0, false},
                                  {"during a run of read errors", file, false, 5, false},
                                  {"playing (destroyed)", file, false, 0, true}};
    qint64 worstPlayer = 0;
    for (const PlayerCase &c : players) {
        auto *player = new ZKPlayer(nullptr);
        player->open(c.file, c.follow, 0);
        spin(c.follow ? 4000 : 500);
        FaultPread::failNext(c.fail, EIO);
        spin(c.fail ? 60 : 0);
        QElapsedTimer timer;
        timer.start();
        if (!c.destroy)
            player->close();
        delete player;
        worstPlayer = std::max(worstPlayer, timer.elapsed());
        printf("close %s: %lld ms\n", c.what, static_cast<long long>(timer.elapsed()));
    }

    QTcpServer silent; // accepts connections, never answers the handshake
    silent.listen(QHostAddress::LocalHost, 19360);
    enum Freeze { None, BeforeHandshake, WhileWriting };
    struct StreamCase {
        const char *what;
        QString url;
        Freeze freeze;
    };
    const StreamCase streams[] = {
            {"retry wait after a refused connection", "rtmp://127.0.0.1:19359/live/closed", None},
            {"a listener that never answers", "rtmp://127.0.0.1:19360/live/silent", None},
            {"a server that froze before the handshake", url + "-frozen-early", BeforeHandshake},
            {"a name that does not resolve", "rtmp://zerka-bench.invalid/live/x", None},
            {"streaming", url + "-healthy", None},
            // Writes to a frozen server block until their 5 s limit.
            {"writing to a server that froze", url + "-frozen-late", WhileWriting},
    };
    qint64 worstStream = 0;
    for (const StreamCase &c : streams) {
        if (c.freeze == BeforeHandshake)
            kill(worker, SIGSTOP);
        ZKStreamer streamer;
        bool streaming = false;
        QObject::connect(&streamer, &ZKStreamer::stateChanged, &streamer,
                         [&streaming](const QString &state) { streaming = streaming || state == "推流中"; });
        streamer.start(c.url, 20000);
        if (c.freeze == WhileWriting) {
            for (int i = 0; i < 100 && !streaming; ++i)
                spin(100);
            kill(worker, SIGSTOP);
            for (int n = 0; n < 60; ++n) {
                streamer.pushFrame(TestSupport::noisePicture(n)); // keeps the writes going
                streamer.pushAudio(TestSupport::tone(n * 1600, 1600));
                spin(33);
            }
        } else {
            spin(c.url.endsWith("healthy") ? 2000 : 800);
        }
        QElapsedTimer timer;
        timer.start();
        streamer.stop();
        worstStream = std::max(worstStream, timer.elapsed());
        printf("stop during %s: %lld ms\n", c.what, static_cast<long long>(timer.elapsed()));
        if (c.freeze != None)
            kill(worker, SIGCONT);
    }
    printf("player_worst_ms=%lld streamer_worst_ms=%lld\n", static_cast<long long>(worstPlayer),
           static_cast<long long>(worstStream));
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

// The whole desk as an operator runs it: `a` on program and `b` on preview,
// both playing with sound (looped), program full screen on the second
// display and streamed to `url`; a swap every few seconds. Reports CPU,
// peak memory, how late pictures leave against their time, and how long a
// swap takes to reach the program monitor, the full-screen output and the
// streamer.
// The meters' cost: two lanes' worth of sound through PeakMeter in the
// blocks a player hands out, a level taken at each picture (30 a second);
// reports the share of one core that costs at real time.
int benchMeter(int seconds)
{
    const QByteArray block = TestSupport::tone(0, 960); // 20 ms
    PeakMeter meters[2];
    double sink = 0;
    const double cpuStart = cpuSeconds();
    for (int i = 0; i < seconds * 50; ++i) {
        for (PeakMeter &meter : meters) {
            meter.add(block);
            if (i % 5 < 3) // 30 pictures a second against 50 blocks
                sink += meter.take().peakDb;
        }
    }
    const double cpu = cpuSeconds() - cpuStart;
    printf("sound_s=%d cpu_s=%.4f share_of_core_pct=%.4f (%g)\n", seconds, cpu, cpu / seconds * 100, sink > 1 ? 0.0 : 1.0);
    return 0;
}

// The desk's benchmarks record nothing: a host whose recording never starts.
struct NoRecording : HostRecording {
    RecordingTrack recording;
    RecordingTrack &track() override { return recording; }
    bool addChapter(const QString &) override { return false; }
};

int benchDesk(const QString &a, const QString &b, const QString &url, int seconds, bool slow)
{
    NoRecording host;
    PlaybackPanel panel(&host, nullptr);
    panel.resize(700, 900);
    panel.show();
    // The buttons as an operator finds them, by the start of their labels.
    auto button = [&panel](const QString &start) -> QPushButton * {
        for (QPushButton *b : panel.findChildren<QPushButton *>())
            if (b->text().startsWith(start))
                return b;
        return nullptr;
    };
    const double cpuStart = cpuSeconds();
    panel.loadToPreview(PlaybackPanel::Channel::Video, a);
    button(QStringLiteral("⇄"))->click();
    panel.loadToPreview(PlaybackPanel::Channel::Video, b);
    button(QStringLiteral("🟢  HDMI"))->click();
    for (QLineEdit *edit : panel.findChildren<QLineEdit *>())
        edit->setText(url);
    // As an operator: the stream goes out once the lanes play (a new stream
    // on a null sink stalls for its first second, then catches up in a burst).
    QTimer::singleShot(3000, &panel, [&] { button(QStringLiteral("▶ 开始推流"))->click(); });
    // With `slow`, preview at 1/2x from the start (it swaps to program and
    // back with the rest); both monitors' meters run whatever the speed.
    if (slow)
        QTimer::singleShot(2000, &panel, [&] { panel.trigger(PlaybackPanel::Shortcut::SlowPreview); });

    // Lateness of each picture against its time, per lane: how much later
    // than the earliest of the last two seconds (wall time minus picture
    // time), so that the clocks' slow drift and the loops do not count.
    QElapsedTimer wall;
    wall.start();
    std::vector<double> late;
    for (ZKPlayer *player : panel.findChildren<ZKPlayer *>()) {
        auto recent = std::make_shared<std::deque<std::pair<double, double>>>(); // (wall, offset)
        auto previous = std::make_shared<double>(-1);
        QObject::connect(player, &ZKPlayer::frameReady, &panel, [&, player, recent, previous](const Picture &, double pts) {
            if (player->speed() < 1.0)
                return; // a slowed lane's pictures are meant to fall behind the wall clock
            const double now = wall.elapsed() / 1000.0;
            if (pts < *previous || pts > *previous + 1.0)
                recent->clear(); // a loop or a jump: a new reference
            *previous = pts;
            recent->push_back({now, now - pts});
            while (now - recent->front().first > 2.0)
                recent->pop_front();
            double earliest = recent->front().second;
            for (const auto &entry : *recent)
                earliest = std::min(earliest, entry.second);
            if (now > 5.0)
                late.push_back(now - pts - earliest);
        });
    }
    // A swap every 5 s once running; each is timed to the three outputs.
    double worstSwapMs = 0;
    int swaps = 0;
    QTimer swapper;
    QObject::connect(&swapper, &QTimer::timeout, &panel, [&] {
        QElapsedTimer timer;
        timer.start();
        button(QStringLiteral("⇄"))->click();
        const double ms = timer.nsecsElapsed() / 1e6;
        worstSwapMs = qMax(worstSwapMs, ms);
        ++swaps;
    });
    QTimer::singleShot(10000, &swapper, [&swapper] { swapper.start(5000); });
    QTimer::singleShot(seconds * 1000, &panel, &QCoreApplication::quit);
    QCoreApplication::exec();
    button(QStringLiteral("⏹ 停止推流"))->click();
    const double cpu = cpuSeconds() - cpuStart;
    std::sort(late.begin(), late.end());
    const double p99 = late.empty() ? -1 : late[late.size() * 99 / 100] * 1000;
    const double mean = late.empty() ? -1 : std::accumulate(late.begin(), late.end(), 0.0) / late.size() * 1000;
    printf("cpu_s=%.2f peak_rss_mb=%.1f lag_mean_ms=%.1f lag_p99_ms=%.1f swaps=%d swap_ms=%.3f\n", cpu,
           statusKb("VmHWM:") / 1024.0, mean, p99, swaps, worstSwapMs);
    return 0;
}

// Program plays the flash-and-click clip, streamed and heard on sinkA;
// every 10 s something happens to it for 3 s: a still on program, a pause,
// slow motion (1/2x) back to 1x, a file without sound on program, the
// monitor device stopping (the lane goes on without one). After each, the
// offset of every flash's click on each output (positive: sound late).
int benchEvents(const QString &sync, const QString &still, const QString &silent, const QString &url,
                const QString &received)
{
    NoRecording host;
    PlaybackPanel panel(&host, nullptr);
    panel.show();
    auto take = [&panel] { panel.trigger(PlaybackPanel::Shortcut::Take); };
    SyncMeter monitor("sinkA.monitor");
    if (!monitor.start())
        return 1;
    panel.loadToPreview(PlaybackPanel::Channel::Video, sync);
    take();
    // Only program is heard on the device: the lane that left it plays on
    // in preview (the file without sound has white in its middle now and then).
    for (ZKPlayer *player : panel.findChildren<ZKPlayer *>())
        monitor.watch(player, [&panel, player] { return panel.programLane().player == player; });
    for (QLineEdit *edit : panel.findChildren<QLineEdit *>())
        edit->setText(url);
    // The stream's time counts from about here (its connection, a moment later).
    const qint64 streamStart = monitor.elapsedMs();
    for (QPushButton *button : panel.findChildren<QPushButton *>())
        if (button->text().startsWith(QStringLiteral("▶ 开始推流")))
            button->click();
    using Shortcut = PlaybackPanel::Shortcut;
    struct Event {
        const char *name;
        std::function<void()> begin, end;
    };
    const std::vector<Event> events{
            {"start", [] {}, [] {}},
            {"still", [&] { panel.loadToPreview(PlaybackPanel::Channel::Image, still); take(); }, take},
            {"pause", [&] { panel.trigger(Shortcut::PauseProgram); }, [&] { panel.trigger(Shortcut::PauseProgram); }},
            {"slow", [&] { panel.trigger(Shortcut::SlowProgram); },
             [&] { panel.trigger(Shortcut::SlowProgram); panel.trigger(Shortcut::SlowProgram); }},
            {"no_sound", [&] { panel.loadToPreview(PlaybackPanel::Channel::Video, silent); take(); }, take},
            {"no_device", [] { QProcess::execute("pactl", {"suspend-sink", "sinkA", "1"}); }, [] {}},
    };
    // The stream is up within the first 3 s; each event ends 3 s after it begins.
    std::vector<qint64> endedMs(events.size(), 3000);
    for (size_t i = 0; i < events.size(); ++i) {
        QTimer::singleShot(int(i) * 10000 + 3000, &panel, [&, i] { events[i].begin(); });
        QTimer::singleShot(int(i) * 10000 + 6000, &panel, [&, i] {
            events[i].end();
            endedMs[i] = monitor.elapsedMs();
        });
    }
    QTimer::singleShot(int(events.size()) * 10000 + 3000, &panel, &QCoreApplication::quit);
    QCoreApplication::exec();
    panel.shutdown();
    monitor.stop();
    QProcess::execute("pactl", {"suspend-sink", "sinkA", "0"});
    const QVector<TestSupport::SyncMark> marks = TestSupport::syncMarks(received);
    double worstStream = 0, worstMonitor = 0;
    for (size_t i = 0; i < events.size(); ++i) {
        // From a second after it ended, for 6 s; the stream's time counts from its start.
        const qint64 from = endedMs[i] + 1000, to = from + 6000;
        double sum = 0, worst = 0;
        int n = 0;
        for (const TestSupport::SyncMark &mark : marks) {
            const qint64 at = qint64(mark.at * 1000) + streamStart;
            if (at >= from && at < to)
                sum += mark.offsetMs, worst = qMax(worst, qAbs(mark.offsetMs)), ++n;
        }
        const SyncMeter::Result m = monitor.result(from, to);
        worstStream = qMax(worstStream, worst);
        worstMonitor = m.marks ? qMax(worstMonitor, m.worstMs) : worstMonitor;
        printf("after=%s stream_marks=%d stream_mean_ms=%.1f stream_worst_ms=%.1f monitor_marks=%d monitor_mean_ms=%.1f "
               "monitor_worst_ms=%.1f\n",
               events[i].name, n, n ? sum / n : 0.0, worst, m.marks, m.meanMs, m.worstMs);
    }
    printf("events: stream_worst_ms=%.1f monitor_worst_ms=%.1f\n", worstStream, worstMonitor);
    return 0;
}

// bench/run show's figures. The stream's A/V offset is taken against the
// recording's own (OBS's offset of the clip in its scene), over every flash
// but those of the first half second after a swap (the sound of the lane
// swapped away, already on its way, fills that); a gap is the longest time
// between pictures the server received, outside a second and a half around
// each seam (the following lane going on in the next file).
int benchShowReport(const QString &resultsPath, const QString &received, const QString &logPath, int minutes)
{
    QFile results(resultsPath), log(logPath);
    if (!results.open(QIODevice::ReadOnly) || !log.open(QIODevice::ReadOnly)) {
        fprintf(stderr, "show-report: cannot read %s or %s\n", qPrintable(resultsPath), qPrintable(logPath));
        return 1;
    }
    const QJsonObject all = QJsonDocument::fromJson(results.readAll()).object();
    const QJsonObject show = all.value("show").toObject();
    if (all.contains("error"))
        fprintf(stderr, "show-report: the operator failed: %s\n", qPrintable(all.value("error").toString()));
    const QString obsLog = QString::fromUtf8(log.readAll());
    auto mean = [](const QVector<TestSupport::SyncMark> &marks) {
        double sum = 0;
        for (const TestSupport::SyncMark &m : marks)
            sum += m.offsetMs;
        return marks.isEmpty() ? 0.0 : sum / marks.size();
    };
    // OBS's own offset of the clip wanders by some 30 ms from file to file: its mean over them all.
    const QJsonArray files = show.value("files").toArray();
    QVector<TestSupport::SyncMark> recorded;
    for (const QJsonValue &file : files)
        recorded += TestSupport::syncMarks(file.toString());
    const double own = mean(recorded);
    const double streamMs = show.value("streamMs").toDouble();
    QVector<TestSupport::SyncMark> streamed;
    for (const TestSupport::SyncMark &m : TestSupport::syncMarks(received)) {
        const QJsonArray swaps = show.value("swaps").toArray();
        if (std::none_of(swaps.begin(), swaps.end(), [&](const QJsonValue &swap) {
                // The stream's time starts when it connects, some 0.2 s after the click.
                const double after = m.at - (swap.toDouble() - streamMs) / 1000.0;
                return after >= -0.3 && after < 0.5;
            }))
            streamed << m;
    }
    double worst = 0;
    for (const TestSupport::SyncMark &m : streamed) {
        worst = qMax(worst, qAbs(m.offsetMs - own));
        fprintf(stderr, "mark at %.3f s: %.1f ms\n", m.at, m.offsetMs - own); // in build-bench/show.log
    }
    QVector<double> seams; // in the stream's time
    double seamMs = 0;
    for (const QJsonValue &seam : show.value("seams").toArray()) {
        seams << (seam.toArray().at(0).toDouble() - streamMs) / 1000.0;
        seamMs = qMax(seamMs, seam.toArray().at(1).toDouble());
    }
    QString packets;
    TestSupport::run("ffprobe", {"-v", "error", "-select_streams", "v", "-show_entries", "packet=pts_time", "-of", "csv=p=0",
                                 received}, &packets, 600000);
    double gap = 0, last = -1;
    for (const QString &line : packets.split('\n', Qt::SkipEmptyParts)) {
        const double at = line.toDouble();
        const bool nearSeam = std::any_of(seams.begin(), seams.end(), [at](double s) { return qAbs(at - s) < 1.5; });
        if (last >= 0 && !nearSeam)
            gap = qMax(gap, (at - last) * 1000);
        last = at;
    }
    auto number = [&obsLog](const QString &pattern) {
        const QRegularExpressionMatch m = QRegularExpression(pattern).match(obsLog);
        return m.hasMatch() ? m.captured(1) : QStringLiteral("?");
    };
    const double rssStart = show.value("rssStartKb").toDouble() / 1024, rssEnd = show.value("rssEndKb").toDouble() / 1024;
    // OBS's CPU (Zerka's included) between the two readings, as cores busy.
    const QJsonArray cpuStart = show.value("cpuStart").toArray(), cpuEnd = show.value("cpuEnd").toArray();
    const double cpuWallS = (cpuEnd.at(0).toDouble() - cpuStart.at(0).toDouble()) / 1000;
    const double cpuCores = cpuWallS > 0 ? (cpuEnd.at(1).toDouble() - cpuStart.at(1).toDouble()) / cpuWallS : -1;
    printf("show: minutes=%d rss_start_mb=%.0f rss_end_mb=%.0f growth_pct=%.1f obs_cpu_cores=%.2f av_mean_ms=%.1f "
           "av_worst_ms=%.1f gap_ms=%.0f dropped=%s splits=%d splits_crossed=%d seam_ms=%.0f obs_lagged=%s\n",
           minutes, rssStart, rssEnd, rssStart > 0 ? (rssEnd - rssStart) / rssStart * 100 : -1.0, cpuCores, mean(streamed) - own,
           worst, gap, qPrintable(number("推流线程退出\\(丢帧 (\\d+)\\)")), int(files.size()) - 1,
           int(seams.size()), seamMs, qPrintable(number("lagged frames due to rendering lag/stalls: (\\d+)")));
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 7 && QByteArray(argv[1]) == "events") {
        QApplication app(argc, argv);
        HostLog::instance().install(QString());
        return benchEvents(argv[2], argv[3], argv[4], argv[5], argv[6]);
    }
    if ((argc == 6 || argc == 7) && QByteArray(argv[1]) == "desk") {
        QApplication app(argc, argv);
        HostLog::instance().install(QString());
        return benchDesk(argv[2], argv[3], argv[4], atoi(argv[5]), argc == 7 && QByteArray(argv[6]) == "slow");
    }
    QCoreApplication app(argc, argv);
    HostLog::instance().install(QString()); // engine log lines go to stderr
    const QStringList args = app.arguments();
    const QString mode = args.value(1);
    if (mode == "decode" && args.size() == 3)
        return benchDecode(args[2]);
    if (mode == "clip" && args.size() >= 5 && args.size() % 2 == 1)
        return benchClip(args[2], args.mid(3));
    if (mode == "draw" && args.size() == 3)
        return benchDraw(args[2]);
    if (mode == "open" && args.size() == 4)
        return benchOpen(args[2], args[3].toDouble());
    if (mode == "open-followed" && args.size() == 6)
        return benchOpenFollowed(args[2], args[3].toDouble(), args[4].toDouble(), args[5].toDouble());
    if (mode == "follow" && args.size() == 5)
        return benchFollow(args[2], args[3], args[4].toInt());
    if (mode == "memory" && args.size() == 4)
        return benchMemory(args[2], args[3].toInt());
    if (mode == "play" && args.size() == 4)
        return benchPlay(args[2], args[3].toInt());
    if (mode == "sync" && args.size() == 4)
        return benchSync(args[2], args[3].toInt());
    if (mode == "meter" && args.size() == 3)
        return benchMeter(args[2].toInt());
    if (mode == "close" && args.size() == 6)
        return benchClose(args[2], args[3], args[4], pid_t(args[5].toInt()));
    if (mode == "show-report" && args.size() == 6)
        return benchShowReport(args[2], args[3], args[4], args[5].toInt());
    if (mode == "stream" && args.size() == 6)
        return benchStream(args[2], args[3], args[4].toInt(), args[5].toInt());
    fprintf(stderr, "usage: zk_bench decode FILE | clip FILE IN OUT [IN OUT...] | open FILE SEEK | follow FILE SECONDS | memory FILE SECONDS\n");
    return 2;
}
