// The decoder context on real files: every container an operator may hand
// the player, every failure message, audio that cannot be used, the
// fragments of a fragmented MP4 and the one release path. The growing
// file's live edge, its end and failing reads: test_player, through a
// player following a real recording.

// QtTest first: the OBS headers' SIMD shim must come after the compiler's intrinsics.
#include <QtTest>

#include "decoder_ctx.h"
#include "media.h"
#include "test_support.h"

#include <QTemporaryDir>

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

// Presentation time of the first decoded picture.
double firstPicture(DecoderCtx &dec)
{
    bool timed = false;
    double pts = -100;
    DecoderCtx::Packet kind;
    while (dec.readPacket(kind) >= 0)
        if (kind == DecoderCtx::Packet::Video && dec.sendVideo() && dec.receivePicture(timed, pts))
            return pts;
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
    QTemporaryDir m_dir;

private slots:
    void initTestCase();
    void opens_data();
    void opens();
    void fragmentsOfAGrowingMp4();
};

void TestReader::initTestCase()
{
    HostLog::instance().install(QString());
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
        const double landed = firstPicture(dec);
        QVERIFY2(landed >= earliest && landed <= target, qPrintable(QString("%1 for %2").arg(landed).arg(target)));
    }
}

QTEST_GUILESS_MAIN(TestReader)
#include "test_reader.moc"
