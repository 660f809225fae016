// The growing-file reader and the decoder context on real files: the end of
// a finished file, the live edge of a file another thread appends to, stop
// and follow flags, failing system reads; every container an operator may
// hand the player, every failure message, audio that cannot be used,
// priming, the fragments of a fragmented MP4 and the one release path.

// QtTest first: the OBS headers' SIMD shim must come after the compiler's intrinsics.
#include <QtTest>

#include "decoder_ctx.h"
#include "fault_pread.h"
#include "media.h"
#include "test_support.h"

#include <QTemporaryDir>

#include <thread>

#include <fcntl.h>
#include <unistd.h>

using namespace TestSupport;

namespace {

// Decodes every video packet and what the decoder still holds at the end;
// returns the number of pictures.
int decodeAll(DecoderCtx &dec)
{
    int pictures = 0;
    bool timed = false;
    double pts = 0;
    auto receive = [&] {
        if (dec.sendVideo())
            while (dec.receivePicture(timed, pts))
                ++pictures;
    };
    DecoderCtx::Packet kind;
    while (dec.readPacket(kind) >= 0)
        if (kind == DecoderCtx::Packet::Video)
            receive();
    dec.endOfStream();
    receive();
    return pictures;
}

// Presentation time of the first decoded picture (or block of sound).
double firstTime(DecoderCtx &dec, DecoderCtx::Packet wanted)
{
    bool timed = false;
    double pts = -100;
    QByteArray pcm;
    DecoderCtx::Packet kind;
    while (dec.readPacket(kind) >= 0) {
        if (kind != wanted)
            continue;
        if (wanted == DecoderCtx::Packet::Video ? dec.sendVideo() && dec.receivePicture(timed, pts)
                                                : dec.sendAudio() && dec.receiveSound(pcm, timed, pts))
            return pts;
    }
    return -100;
}

// The lowest free descriptor: the same before and after means nothing leaked.
int freeDescriptor()
{
    const int fd = ::open("/dev/null", O_RDONLY);
    ::close(fd);
    return fd;
}

} // namespace

class TestReader : public QObject {
    Q_OBJECT

private:
    void openReader(int bytes);
    void appendLater(int bytes, int afterMs);
    int read() { return zk_io_read(&m_io, m_buf, sizeof(m_buf)); }

    QTemporaryDir m_dir;
    QString m_file;
    GrowingIO m_io;
    std::atomic<bool> m_abort{false};
    std::atomic<bool> m_follow{false};
    std::thread m_helper;
    uint8_t m_buf[4096];

private slots:
    void initTestCase();
    void cleanup();
    void endOfFinishedFile();
    void liveEdge_data();
    void liveEdge();
    void failingSystemReads();
    void opens_data();
    void opens();
    void audioStartsAfterThePriming_data();
    void audioStartsAfterThePriming();
    void fragmentsOfAGrowingMp4();
};

void TestReader::initTestCase()
{
    HostLog::instance().install(QString());
}

void TestReader::cleanup()
{
    if (m_helper.joinable())
        m_helper.join();
    FaultPread::failNext(0, 0);
    if (m_io.fd >= 0)
        ::close(m_io.fd);
    m_io.fd = -1;
}

void TestReader::openReader(int bytes)
{
    static int serial = 0;
    m_file = m_dir.filePath(QString("f%1.bin").arg(++serial));
    QFile file(m_file);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(QByteArray(bytes, 'x'));
    file.close();
    m_io = GrowingIO();
    m_io.fd = ::open(m_file.toLocal8Bit().constData(), O_RDONLY);
    QVERIFY(m_io.fd >= 0);
    m_abort = m_follow = false;
    m_io.abortFlag = &m_abort;
    m_io.followFlag = &m_follow;
}

void TestReader::appendLater(int bytes, int afterMs)
{
    const QString path = m_file;
    m_helper = std::thread([path, bytes, afterMs] {
        std::this_thread::sleep_for(std::chrono::milliseconds(afterMs));
        QFile file(path);
        if (file.open(QIODevice::Append))
            file.write(QByteArray(bytes, 'y'));
    });
}

void TestReader::endOfFinishedFile()
{
    openReader(1000);
    QCOMPARE(read(), 1000);
    const int before = logMark();
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(read(), AVERROR_EOF);
    QCOMPARE(read(), AVERROR_EOF);
    QVERIFY(timer.elapsed() < 15); // no sleeping when not following
    // One line per arrival at the end, however often the demuxer asks.
    QCOMPARE(logTexts(before), QStringList{"[ZKPlayer] IO 返回 EOF(follow=0) pos=1000"});
    QCOMPARE(logLines(before).first().level, LOG_INFO);
    zk_io_seek(&m_io, 0, SEEK_SET);
    QCOMPARE(read(), 1000);
    QCOMPARE(read(), AVERROR_EOF);
    QCOMPARE(logTexts(before).size(), 2);
    // A stop request wins over the end, silently.
    m_abort = true;
    QCOMPARE(read(), AVERROR_EXIT);
    QCOMPARE(logTexts(before).size(), 2);
    // A reader without flags ends too.
    m_io.followFlag = m_io.abortFlag = nullptr;
    QCOMPARE(read(), AVERROR_EOF);
}

void TestReader::liveEdge_data()
{
    QTest::addColumn<QString>("event");
    QTest::addColumn<int>("afterMs");
    QTest::addColumn<int>("result");
    QTest::addColumn<QStringList>("logged");
    QTest::newRow("writer appends soon") << "append" << 300 << 500 << QStringList();
    QTest::newRow("writer appends late") << "append" << 2500 << 500
                                         << QStringList{"[ZKPlayer] IO 在 live edge 等待写入 pos=100", "recovery"};
    QTest::newRow("following switched off") << "unfollow" << 200 << int(AVERROR_EOF)
                                            << QStringList{"[ZKPlayer] IO 返回 EOF(follow=0) pos=100"};
    QTest::newRow("stop requested") << "stop" << 200 << int(AVERROR_EXIT) << QStringList();
}

void TestReader::liveEdge()
{
    QFETCH(QString, event);
    QFETCH(int, afterMs);
    QFETCH(int, result);
    QFETCH(QStringList, logged);
    openReader(100);
    m_io.pos = 100;
    m_follow = true;
    if (event == "append") {
        appendLater(result, afterMs);
    } else {
        m_helper = std::thread([this, event, afterMs] {
            std::this_thread::sleep_for(std::chrono::milliseconds(afterMs));
            (event == "stop" ? m_abort : m_follow) = event == "stop";
        });
    }
    const int before = logMark();
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(read(), result);
    QVERIFY(timer.elapsed() >= afterMs - 20 && timer.elapsed() < afterMs + 500);
    QStringList lines = logTexts(before);
    if (logged.contains("recovery")) {
        // The wait is counted in 20 ms polls, so a little under the real time.
        const QRegularExpression recovered("^\\[ZKPlayer\\] IO 恢复:等了 (\\d+) ms 后 pos=100 有数据$");
        const QRegularExpressionMatch match = recovered.match(lines.value(1));
        QVERIFY2(match.hasMatch(), qPrintable(lines.join('\n')));
        QVERIFY(match.captured(1).toInt() % 20 == 0 && match.captured(1).toInt() >= 2000);
        lines[1] = "recovery";
    }
    QCOMPARE(lines, logged);
}

void TestReader::failingSystemReads()
{
    openReader(300);
    const int before = logMark();
    FaultPread::failNext(3, EINTR); // interrupted: retried at once, unseen
    QCOMPARE(read(), 300);
    QCOMPARE(logTexts(before), QStringList());

    m_io.pos = 100;
    FaultPread::failNext(1, EIO);
    QCOMPARE(read(), AVERROR(EIO));
    QCOMPARE(m_io.pos, 100);
    QCOMPARE(logTexts(before), QStringList{QString("[ZKPlayer] IO 读错误 errno=%1 pos=100").arg(EIO)});
    QCOMPARE(logLines(before).first().level, LOG_WARNING);
    QCOMPARE(read(), 200); // the next call tries again at the same place
}

void TestReader::opens_data()
{
    // An empty error: the file opens, with or without usable sound, and
    // decodes to that many pictures (at least).
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("error");
    QTest::addColumn<bool>("audio");
    QTest::addColumn<int>("pictures");
    for (const char *name : {"av.mp4", "av.mkv", "av.mov", "av.flv", "av.ts"})
        QTest::newRow(name) << QString(name) << QString() << true << 90;
    QTest::newRow("unknown audio codec: silently without") << "bad_audio.avi" << QString() << false << 58;
    QTest::newRow("no timestamps at all") << "no_pts.h264" << QString() << false << 60;
    QTest::newRow("cut off after 40 %, index whole") << "truncated.mp4" << QString() << true << 150;
    QTest::newRow("missing") << "does-not-exist.mp4" << "打开文件失败: No such file or directory" << false << 0;
    QTest::newRow("empty") << "empty.mp4" << "解析文件失败: " << false << 0;
    QTest::newRow("garbage") << "garbage.mp4" << "解析文件失败: " << false << 0;
    QTest::newRow("audio only") << "audio_only.m4a" << "文件里没有视频流" << false << 0;
    QTest::newRow("unknown video codec") << "no_decoder.avi" << "找不到视频解码器" << false << 0;
}

void TestReader::opens()
{
    QFETCH(QString, name);
    QFETCH(QString, error);
    QFETCH(bool, audio);
    QFETCH(int, pictures);
    const QString path = name == "does-not-exist.mp4" ? m_dir.filePath(name) : Media::path(name);
    std::atomic<bool> stop{false}, follow{false};
    DecoderCtx dec;
    const int fd = freeDescriptor();
    const int before = logMark();
    const QString opened = dec.openInput(path, &stop, &follow, false);
    // A message ending in ": " carries FFmpeg's reason after it.
    QVERIFY2(error.isEmpty() ? opened.isEmpty()
                             : opened.startsWith(error) && (!error.endsWith(": ") || opened.size() > error.size()),
             qPrintable(opened));
    if (error.isEmpty()) {
        QVERIFY(logTexts(before).contains("[ZKPlayer] videotoolbox 不可用,软解"));
        QVERIFY(logTexts(before).filter("音频").isEmpty());
        QVERIFY(dec.hasAudio() == audio && dec.width() == 320);
        QVERIFY(decodeAll(dec) >= pictures);
    }
    // The one release path, twice, wherever the open stopped: the file is
    // closed, and the context opens the next file as new (video only, if asked).
    dec.closeAll();
    dec.closeAll();
    QVERIFY(!dec.isOpen() && !dec.hasAudio() && dec.width() == 0);
    QCOMPARE(freeDescriptor(), fd);
    QCOMPARE(dec.openInput(Media::path("av.mkv"), &stop, &follow, true), QString());
    QVERIFY(!dec.hasAudio() && dec.fps() == 30.0);
    QCOMPARE(decodeAll(dec), 90);
}

void TestReader::audioStartsAfterThePriming_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("whole packets to skip") << "av20.mp4";
    QTest::newRow("part of a packet to skip") << "cut.mp4";
}

void TestReader::audioStartsAfterThePriming()
{
    // The sound before the file's start (the AAC encoder's priming, or what
    // a cut left in its first packet) is dropped by the decoder, which needs
    // the packets' time base to stamp what is left: the first sound is at 0,
    // after a seek too.
    QFETCH(QString, name);
    std::atomic<bool> stop{false}, follow{false};
    DecoderCtx dec;
    QCOMPARE(dec.openInput(Media::path(name), &stop, &follow, false), QString());
    QCOMPARE(firstTime(dec, DecoderCtx::Packet::Audio), 0.0);
    QVERIFY(dec.seekTo(0.0));
    QCOMPARE(firstTime(dec, DecoderCtx::Packet::Audio), 0.0);
}

void TestReader::fragmentsOfAGrowingMp4()
{
    // A fragmented MP4 of 20 s, fragments at every key frame (one a second),
    // and the same cut in the middle of a fragment, as a writer leaves it.
    const QString whole = m_dir.filePath("frag.mp4"), cut = m_dir.filePath("cut.mp4");
    QCOMPARE(run("ffmpeg", {"-v", "error", "-y", "-i", Media::path("av20.mp4"), "-c", "copy", "-movflags",
                            "+frag_keyframe+empty_moov+default_base_moof", whole}),
             0);
    QVERIFY(QFile::copy(whole, cut));
    QVERIFY(QFile(cut).resize(QFileInfo(whole).size() / 2 + 1234));
    std::atomic<bool> stop{false}, follow{false};
    DecoderCtx dec;
    QCOMPARE(dec.openInput(whole, &stop, &follow, false), QString());
    QVERIFY(!dec.isFragmented()); // a finished file keeps the demuxer's own index
    follow = true;
    QCOMPARE(dec.openInput(Media::path("av20.mp4"), &stop, &follow, false), QString());
    QVERIFY(!dec.isFragmented()); // and so does a plain MP4

    // Followed, the demuxer starts at the fragment of a seek target. A
    // target just after a fragment's start (in decode time) but before its
    // key frame's picture: the pictures shown there are stored at the end
    // of the fragment before, and the seek lands at or before the target;
    // in the last fragment written so far too.
    const std::tuple<QString, double, double> seeks[] = {{whole, 15.5, 14.99}, {whole, 15.03, 13.99}, {cut, 8.5, 7.99}};
    for (const auto &[file, target, earliest] : seeks) {
        QCOMPARE(dec.openInput(file, &stop, &follow, false), QString());
        QVERIFY(dec.isFragmented());
        QVERIFY(dec.seekTo(target));
        const double landed = firstTime(dec, DecoderCtx::Packet::Video);
        QVERIFY2(landed >= earliest && landed <= target, qPrintable(QString("%1 for %2").arg(landed).arg(target)));
    }
}

QTEST_GUILESS_MAIN(TestReader)
#include "test_reader.moc"
