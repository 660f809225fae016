// The streamer against a real nginx RTMP server on 127.0.0.1 (started and
// stopped by this test), read back with FFmpeg's tools: what arrives, how
// starvation and overflow are handled, every connection fault, the stream
// key kept out of the log, and certificate checks on rtmps://.

// QtTest first: the OBS headers' SIMD shim must come after the compiler's intrinsics.
#include <QtTest>

#include "stream_ctx.h"
#include "test_support.h"
#include "zk_streamer.h"

#include <QRandomGenerator>
#include <QTemporaryDir>

#include <cmath>
#include <csignal>

#include <unistd.h>

using namespace TestSupport;

namespace {

const QString kRtmp = QStringLiteral("rtmp://127.0.0.1:19350/live/");
const QString kRtmps = QStringLiteral("rtmps://localhost:19351/live/");
const QString kTrustedCa = QStringLiteral("/usr/local/share/ca-certificates/zerka-test-ca.crt");

QImage testPicture(int n)
{
    QImage image(640, 360, QImage::Format_ARGB32); // not the player's format: converted on the way
    image.fill(QColor::fromHsv((n * 7) % 360, 200, 220));
    return image;
}

// Pictures that do not compress: they keep a high bit rate flowing.
QImage noisePicture(int n)
{
    static QVector<QImage> pictures;
    if (pictures.isEmpty()) {
        QRandomGenerator random(3);
        for (int i = 0; i < 8; ++i) {
            QImage image(640, 360, QImage::Format_RGB32);
            for (int y = 0; y < image.height(); ++y) {
                auto *line = reinterpret_cast<quint32 *>(image.scanLine(y));
                for (int x = 0; x < image.width(); ++x)
                    line[x] = random.generate() | 0xff000000u;
            }
            pictures << image;
        }
    }
    return pictures[n % pictures.size()];
}

// 20 ms of a 440 Hz tone, s16 stereo at 48 kHz.
QByteArray tone(qint64 &sample)
{
    QByteArray pcm(960 * 4, Qt::Uninitialized);
    auto *out = reinterpret_cast<qint16 *>(pcm.data());
    for (int i = 0; i < 960; ++i, ++sample) {
        const qint16 v = qint16(8000 * std::sin(2 * M_PI * 440 * sample / 48000.0));
        out[2 * i] = out[2 * i + 1] = v;
    }
    return pcm;
}

} // namespace

class TestStreamer : public QObject {
    Q_OBJECT

private:
    void server(const QString &command);
    QString recorded(const QString &key) const { return m_dir.filePath("rec/" + key + ".flv"); }
    // Feeds pictures (30 a second) and audio for `ms` milliseconds.
    void feed(ZKStreamer &streamer, int ms, bool pictures = true, bool audio = true, bool noisy = false);
    // (codec_type, pts_time) of every packet of a recorded stream.
    QVector<std::pair<QString, double>> packets(const QString &file);
    static QStringList statesOf(const QSignalSpy &spy);
    // The first attempt on `url` fails with a connection or handshake message.
    void expectRefused(const QString &url);

    QTemporaryDir m_dir;
    int m_logStart = 0;

private slots:
    void initTestCase();
    void cleanupTestCase();
    void streamArrivesAsSpecified();
    void starvedStreamKeepsGoing();
    void audioBacklogIsCutBack();
    void inputLimitsAndStaleInput();
    void closedPortRetriesAndStopsQuickly();
    void serverStoppedMidStreamReconnects();
    void frozenServerTimesOut();
    void rtmpsAgainstPlainServerFails();
    void untrustedCertificateIsRefused();
    void streamKeyNeverLogged();
};

void TestStreamer::server(const QString &command)
{
    QCOMPARE(run("bash", {ZK_RTMP_SERVER_SCRIPT, command, m_dir.path()}), 0);
}

QStringList TestStreamer::statesOf(const QSignalSpy &spy)
{
    QStringList states;
    for (const QList<QVariant> &args : spy)
        states << args.at(0).toString();
    return states;
}

void TestStreamer::feed(ZKStreamer &streamer, int ms, bool pictures, bool audio, bool noisy)
{
    QElapsedTimer timer;
    timer.start();
    qint64 sample = 0;
    int n = 0;
    qint64 nextPicture = 0, nextAudio = 0;
    while (timer.elapsed() < ms) {
        if (pictures && timer.elapsed() >= nextPicture) {
            streamer.pushFrame(noisy ? noisePicture(n++) : testPicture(n++));
            nextPicture += 33;
        }
        if (audio && timer.elapsed() >= nextAudio) {
            streamer.pushAudio(tone(sample));
            nextAudio += 20;
        }
        QTest::qWait(2);
    }
}

QVector<std::pair<QString, double>> TestStreamer::packets(const QString &file)
{
    QString out;
    run("ffprobe", {"-v", "error", "-show_entries", "packet=codec_type,pts_time", "-of", "csv=p=0", file}, &out);
    QVector<std::pair<QString, double>> list;
    for (const QString &line : out.split('\n', Qt::SkipEmptyParts)) {
        const QStringList parts = line.split(',');
        if (parts.size() >= 2)
            list.append({parts[0], parts[1].toDouble()});
    }
    return list;
}

void TestStreamer::initTestCase()
{
    HostLog::instance().install(QString());
    m_logStart = HostLog::instance().count();
    QVERIFY(m_dir.isValid());
    server("start");
}

void TestStreamer::cleanupTestCase()
{
    server("stop");
    // Never leave the test authority trusted, whatever happened above.
    if (QFile::remove(kTrustedCa))
        run("update-ca-certificates", {"--fresh"});
}

void TestStreamer::streamArrivesAsSpecified()
{
    ZKStreamer streamer;
    QSignalSpy states(&streamer, &ZKStreamer::stateChanged);
    QSignalSpy stats(&streamer, &ZKStreamer::statsUpdated);
    const int before = HostLog::instance().count();
    streamer.start(kRtmp + "shape", 4000);
    QVERIFY(streamer.isStreaming());
    QTRY_VERIFY_WITH_TIMEOUT(statesOf(states).contains("推流中"), 10000);
    QElapsedTimer streamed;
    streamed.start();
    feed(streamer, 4500);
    // The first rate comes once two seconds of stream time have passed.
    QVERIFY(!stats.isEmpty());
    const int firstKbps = stats.first().first().toInt();
    QVERIFY2(firstKbps > 100 && firstKbps < 20000, qPrintable(QString::number(firstKbps)));
    const double seconds = streamed.elapsed() / 1000.0;
    streamer.stop();
    QVERIFY(!streamer.isStreaming());
    QCOMPARE(statesOf(states), (QStringList{"连接中…", "推流中", "已停止"}));
    QCOMPARE(stats.last().first().toInt(), 0);
    QVERIFY(logTexts(before).contains("[ZKStreamer] 视频编码器: libx264"));
    QVERIFY(logTexts(before).contains("[ZKStreamer] RTMP 已连接"));
    QVERIFY(logTexts(before).contains("[ZKStreamer] 推流线程退出(丢帧 0)"));

    QString streams;
    run("ffprobe", {"-v", "error", "-show_entries", "stream=codec_name,width,height,sample_rate,channels", "-of",
                    "compact=p=0:nk=1", recorded("shape")},
        &streams);
    QCOMPARE(streams.trimmed().split('\n'), (QStringList{"h264|1920|1080", "aac|48000|2"}));
    const auto list = packets(recorded("shape"));
    double lastVideo = -1, lastAudio = -1, end = 0;
    for (const auto &p : list) {
        double &last = p.first == "video" ? lastVideo : lastAudio;
        QVERIFY2(p.second > last, qPrintable(QString("%1 %2 after %3").arg(p.first).arg(p.second).arg(last)));
        last = p.second;
        end = qMax(end, p.second);
    }
    QVERIFY2(qAbs(end - seconds) < 0.8, qPrintable(QString("%1 s recorded, %2 s streamed").arg(end).arg(seconds)));
    // The reported rate matches what the server received.
    const double receivedKbps = QFileInfo(recorded("shape")).size() * 8 / 1000.0 / seconds;
    double reported = 0;
    for (int i = 0; i + 1 < stats.size(); ++i)
        reported += stats.at(i).first().toInt();
    reported /= qMax(1, int(stats.size()) - 1);
    QVERIFY2(reported > receivedKbps * 0.6 && reported < receivedKbps * 1.5,
             qPrintable(QString("reported %1 received %2").arg(reported).arg(receivedKbps)));
}

void TestStreamer::starvedStreamKeepsGoing()
{
    ZKStreamer streamer;
    QSignalSpy states(&streamer, &ZKStreamer::stateChanged);
    streamer.start(kRtmp + "starved", 2000);
    QTRY_VERIFY_WITH_TIMEOUT(statesOf(states).contains("推流中"), 10000);
    streamer.pushFrame(testPicture(1)); // one picture, then nothing at all
    QTest::qWait(3500);
    streamer.stop();
    double lastVideo = -1, lastAudio = -1, worstVideoGap = 0, worstAudioGap = 0, audioEnd = 0;
    int video = 0;
    for (const auto &p : packets(recorded("starved"))) {
        if (p.first == "video") {
            if (lastVideo >= 0)
                worstVideoGap = qMax(worstVideoGap, p.second - lastVideo);
            lastVideo = p.second;
            ++video;
        } else {
            if (lastAudio >= 0)
                worstAudioGap = qMax(worstAudioGap, p.second - lastAudio);
            lastAudio = audioEnd = p.second;
        }
    }
    QVERIFY2(video >= 10, qPrintable(QString::number(video)));
    QVERIFY2(worstVideoGap < 0.30, qPrintable(QString::number(worstVideoGap)));
    QVERIFY2(worstAudioGap < 0.05, qPrintable(QString::number(worstAudioGap))); // silence, continuous
    QVERIFY(audioEnd > 2.5);
}

void TestStreamer::audioBacklogIsCutBack()
{
    ZKStreamer streamer;
    QSignalSpy states(&streamer, &ZKStreamer::stateChanged);
    streamer.start(kRtmp + "backlog", 2000);
    QTRY_VERIFY_WITH_TIMEOUT(statesOf(states).contains("推流中"), 10000);
    const int before = HostLog::instance().count();
    streamer.pushAudio(QByteArray(192000, '\1')); // a whole second at once
    QTRY_VERIFY_WITH_TIMEOUT(logTexts(before).join('\n').contains("[ZKStreamer] 音频积压,丢弃 "), 3000);
    const QString line = logTexts(before).filter("音频积压").first();
    const int cut = line.section(' ', 2, 2).toInt();
    QVERIFY2(cut > 150000 && cut % 4 == 0, qPrintable(line));
    for (const LogLine &l : logLines(before))
        if (l.text.contains("音频积压"))
            QCOMPARE(l.level, LOG_WARNING);
    streamer.stop();
}

void TestStreamer::inputLimitsAndStaleInput()
{
    ZKStreamer streamer;
    streamer.pushFrame(testPicture(0)); // before start: nothing
    streamer.pushAudio(QByteArray(4096, '\1'));
    QCOMPARE(int(streamer.m_frames.size()), 0);
    QCOMPARE(streamer.m_audio.size(), 0);

    // Nobody listens yet: the worker keeps trying while input piles up.
    server("stop");
    QSignalSpy states(&streamer, &ZKStreamer::stateChanged);
    const int before = HostLog::instance().count();
    streamer.start(kRtmp + "limits", 2000);
    for (int i = 0; i < 9; ++i)
        streamer.pushFrame(testPicture(i));
    streamer.pushFrame(QImage()); // a null picture: nothing
    streamer.pushAudio(QByteArray());
    QByteArray big(500000, '\0');
    for (int i = 0; i < big.size(); ++i)
        big[i] = char(i % 251);
    streamer.pushAudio(big);
    {
        std::lock_guard<std::mutex> lock(streamer.m_mutex);
        QCOMPARE(int(streamer.m_frames.size()), 8);
        QCOMPARE(streamer.m_droppedFrames, 1);
        QCOMPARE(streamer.m_audio, big.right(384000));
    }
    // When the server comes up, what piled up while connecting is dropped
    // (it would otherwise show as a backlog to cut).
    server("start");
    QTRY_VERIFY_WITH_TIMEOUT(statesOf(states).contains("推流中"), 10000);
    QTest::qWait(300);
    QVERIFY(!logTexts(before).join('\n').contains("音频积压"));
    streamer.stop();
    QVERIFY(logTexts(before).contains("[ZKStreamer] 推流线程退出(丢帧 1)"));
    streamer.pushFrame(testPicture(0)); // after stop: nothing
    QCOMPARE(int(streamer.m_frames.size()), 0);
}

void TestStreamer::closedPortRetriesAndStopsQuickly()
{
    ZKStreamer streamer;
    QSignalSpy states(&streamer, &ZKStreamer::stateChanged);
    QSignalSpy stats(&streamer, &ZKStreamer::statsUpdated);
    streamer.start("rtmp://127.0.0.1:19359/live/closed", 2000);
    QTRY_COMPARE_WITH_TIMEOUT(statesOf(states).size(), 2, 5000);
    QElapsedTimer retry;
    retry.start();
    QTRY_COMPARE_WITH_TIMEOUT(statesOf(states).size(), 3, 5000);
    QVERIFY2(retry.elapsed() > 1700 && retry.elapsed() < 3000, qPrintable(QString::number(retry.elapsed())));
    const QString failed = QStringLiteral("连接失败,2 秒后重试: 连接 RTMP 服务器失败: Connection refused");
    QCOMPARE(statesOf(states), (QStringList{"连接中…", failed, failed}));

    QTest::qWait(500); // well inside the 2 s wait
    QElapsedTimer stopping;
    stopping.start();
    streamer.stop();
    QVERIFY2(stopping.elapsed() < 600, qPrintable(QString::number(stopping.elapsed())));
    QTRY_COMPARE(statesOf(states).last(), QStringLiteral("已停止"));
    QCOMPARE(stats.last().first().toInt(), 0);
}

void TestStreamer::serverStoppedMidStreamReconnects()
{
    ZKStreamer streamer;
    QSignalSpy states(&streamer, &ZKStreamer::stateChanged);
    QSignalSpy stats(&streamer, &ZKStreamer::statsUpdated);
    streamer.start(kRtmp + "restart", 2000);
    QTRY_VERIFY_WITH_TIMEOUT(statesOf(states).contains("推流中"), 10000);
    feed(streamer, 1000);
    server("stop");
    QElapsedTimer broken;
    broken.start();
    while (!statesOf(states).contains("已断开,重连中…") && broken.elapsed() < 10000)
        feed(streamer, 100);
    QVERIFY(statesOf(states).contains("已断开,重连中…"));
    QCOMPARE(stats.last().first().toInt(), 0);
    server("start");
    while (statesOf(states).count("推流中") < 2 && broken.elapsed() < 20000)
        feed(streamer, 100);
    streamer.stop();
    const QStringList seen = statesOf(states);
    QCOMPARE(seen.count("推流中"), 2);
    QCOMPARE(seen.count("连接中…"), 1); // only at the start
    const int lost = seen.indexOf("已断开,重连中…");
    QCOMPARE(seen.at(lost - 1), QStringLiteral("推流中"));
}

void TestStreamer::frozenServerTimesOut()
{
    ZKStreamer streamer;
    QSignalSpy states(&streamer, &ZKStreamer::stateChanged);
    streamer.start(kRtmp + "frozen", 20000);
    QTRY_VERIFY_WITH_TIMEOUT(statesOf(states).contains("推流中"), 10000);
    QString worker;
    run("bash", {ZK_RTMP_SERVER_SCRIPT, "worker", m_dir.path()}, &worker);
    const pid_t pid = pid_t(worker.trimmed().toInt());
    QVERIFY(pid > 0);
    kill(pid, SIGSTOP);
    QElapsedTimer frozen;
    frozen.start();
    // Pictures keep coming while the server does not read: the socket
    // buffers fill (a few MB on loopback), a write blocks, and the 5 s limit
    // ends it.
    while (!statesOf(states).contains("已断开,重连中…") && frozen.elapsed() < 30000)
        feed(streamer, 100, true, true, true);
    kill(pid, SIGCONT);
    QVERIFY(statesOf(states).contains("已断开,重连中…"));
    QElapsedTimer stopping;
    stopping.start();
    streamer.stop();
    QVERIFY(stopping.elapsed() < 8000);
}

void TestStreamer::expectRefused(const QString &url)
{
    ZKStreamer streamer;
    QSignalSpy states(&streamer, &ZKStreamer::stateChanged);
    streamer.start(url, 2000);
    QTRY_COMPARE_WITH_TIMEOUT(statesOf(states).size(), 2, 15000);
    streamer.stop();
    const QString state = statesOf(states).at(1);
    QVERIFY2(state.startsWith("连接失败,2 秒后重试: 连接 RTMP 服务器失败: ") ||
                     state.startsWith("连接失败,2 秒后重试: RTMP 握手失败: "),
             qPrintable(state));
}

void TestStreamer::rtmpsAgainstPlainServerFails()
{
    expectRefused("rtmps://127.0.0.1:19350/live/plain");
    QVERIFY(!QFileInfo::exists(recorded("plain")));
}

void TestStreamer::untrustedCertificateIsRefused()
{
    // An authority the system does not trust: the TLS front is an impostor.
    expectRefused(kRtmps + "untrusted");
    if (QTest::currentTestFailed())
        return;
    QTest::qWait(300);
    QVERIFY2(!QFileInfo::exists(recorded("untrusted")), "the impostor received the stream key");

    // The same front once its authority is trusted (for this test only).
    if (geteuid() != 0)
        QSKIP("trusting a test authority needs root");
    QVERIFY(QFile::copy(m_dir.filePath("ca.pem"), kTrustedCa));
    QCOMPARE(run("update-ca-certificates", {}), 0);
    ZKStreamer streamer;
    QSignalSpy states(&streamer, &ZKStreamer::stateChanged);
    streamer.start(kRtmps + "trusted", 2000);
    bool up = false;
    QElapsedTimer waited;
    waited.start();
    while (!up && waited.elapsed() < 10000) {
        QTest::qWait(50);
        up = statesOf(states).contains("推流中");
    }
    if (up)
        feed(streamer, 1500);
    streamer.stop();
    QFile::remove(kTrustedCa);
    QCOMPARE(run("update-ca-certificates", {"--fresh"}), 0);
    QVERIFY2(up, qPrintable(statesOf(states).join(" | ")));
    QVERIFY(QFileInfo(recorded("trusted")).size() > 10000);
}

void TestStreamer::streamKeyNeverLogged()
{
    // Over every stream of this test: the keys never reach the log.
    for (const QString &line : logTexts(m_logStart)) {
        for (const char *key : {"shape", "starved", "backlog", "limits", "restart", "frozen", "untrusted", "trusted"})
            QVERIFY2(!line.contains(QLatin1String("/live/") + key), qPrintable(line));
    }
    QVERIFY(logTexts(m_logStart).join('\n').contains("[ZKStreamer] 启动推流: rtmp://127.0.0.1:19350/live/**** @ "));
    QCOMPARE(ZKStreamer::maskedUrl("rtmp://a.example:1935/app/sub/KEY?token=x"),
             QStringLiteral("rtmp://a.example:1935/app/sub/****"));
    // With only an application there is no key to hide.
    QCOMPARE(ZKStreamer::maskedUrl("rtmps://a.example/live"), QStringLiteral("rtmps://a.example/live"));
    QCOMPARE(ZKStreamer::maskedUrl("rtmp://a.example/"), QStringLiteral("rtmp://a.example/"));
    QCOMPARE(ZKStreamer::maskedUrl("rtmp://a.example/live/?k=1"), QStringLiteral("rtmp://a.example/live/?****"));
}

QTEST_GUILESS_MAIN(TestStreamer)
#include "test_streamer.moc"
