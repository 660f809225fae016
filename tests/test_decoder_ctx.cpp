// The decoder context on real files: every container the recorder or an
// operator may hand it, every failure message, audio that cannot be used,
// and the one release path.

// QtTest first: the OBS headers' SIMD shim must come after the compiler's intrinsics.
#include <QtTest>

#include "decoder_ctx.h"
#include "media.h"
#include "test_support.h"

using namespace TestSupport;

namespace {

// Decodes every video packet; returns the number of pictures.
int decodeAll(DecoderCtx &dec)
{
    int pictures = 0;
    while (av_read_frame(dec.fmt, dec.pkt) >= 0) {
        if (dec.pkt->stream_index == dec.videoIdx && avcodec_send_packet(dec.vctx, dec.pkt) == 0) {
            while (avcodec_receive_frame(dec.vctx, dec.frame) == 0) {
                ++pictures;
                av_frame_unref(dec.frame);
            }
        }
        av_packet_unref(dec.pkt);
    }
    avcodec_send_packet(dec.vctx, nullptr); // drain what the decoder still holds
    while (avcodec_receive_frame(dec.vctx, dec.frame) == 0) {
        ++pictures;
        av_frame_unref(dec.frame);
    }
    return pictures;
}

} // namespace

class TestDecoderCtx : public QObject {
    Q_OBJECT

private:
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_follow{false};

private slots:
    void initTestCase();
    void containers_data();
    void containers();
    void failures_data();
    void failures();
    void unusableAudioPlaysAsVideoOnly();
    void videoOnlyChoosesNoAudio();
    void noTimestampsKeepsDefaultRate();
    void seekLandsAtOrBeforeTarget();
    void closeAllIsTheOneReleasePath();
};

void TestDecoderCtx::initTestCase()
{
    HostLog::instance().install(QString());
}

void TestDecoderCtx::containers_data()
{
    QTest::addColumn<QString>("name");
    for (const char *name : {"av.mp4", "av.mkv", "av.mov", "av.flv", "av.ts"})
        QTest::newRow(name) << QString(name);
}

void TestDecoderCtx::containers()
{
    QFETCH(QString, name);
    DecoderCtx dec;
    const int before = HostLog::instance().count();
    QCOMPARE(dec.openInput(Media::path(name), &m_stop, &m_follow, false), QString());
    QVERIFY(logTexts(before).contains("[ZKPlayer] videotoolbox 不可用,软解"));
    QVERIFY(dec.videoIdx >= 0);
    QVERIFY(dec.audioIdx >= 0);
    QVERIFY(dec.actx && dec.swr);
    QCOMPARE(dec.vctx->width, 320);
    QCOMPARE(dec.fps, 30.0);
    QVERIFY(dec.videoTb > 0 && dec.audioTb > 0);
    QVERIFY(qAbs(decodeAll(dec) - 90) <= 2);
}

void TestDecoderCtx::failures_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("message");
    QTest::newRow("missing") << "does-not-exist.mp4" << "打开文件失败: No such file or directory";
    QTest::newRow("empty") << "empty.mp4" << "解析文件失败: ";
    QTest::newRow("garbage") << "garbage.mp4" << "解析文件失败: ";
    QTest::newRow("audio only") << "audio_only.m4a" << "文件里没有视频流";
    QTest::newRow("unknown video codec") << "no_decoder.avi" << "找不到视频解码器";
}

void TestDecoderCtx::failures()
{
    QFETCH(QString, name);
    QFETCH(QString, message);
    const QString path = name == "does-not-exist.mp4" ? QString(ZK_MEDIA_DIR "/does-not-exist.mp4") : Media::path(name);
    DecoderCtx dec;
    const QString error = dec.openInput(path, &m_stop, &m_follow, false);
    QVERIFY2(error.startsWith(message), qPrintable(error));
    if (message.endsWith(": "))
        QVERIFY(error.size() > message.size()); // the FFmpeg error text follows
    dec.closeAll();
    QCOMPARE(dec.io.fd, -1);
    QCOMPARE(dec.videoIdx, -1);
    QCOMPARE(dec.audioIdx, -1);
    QVERIFY(!dec.fmt && !dec.avio && !dec.vctx);
}

void TestDecoderCtx::unusableAudioPlaysAsVideoOnly()
{
    DecoderCtx dec;
    const int before = HostLog::instance().count();
    QCOMPARE(dec.openInput(Media::path("bad_audio.avi"), &m_stop, &m_follow, false), QString());
    QCOMPARE(dec.audioIdx, -1);
    QVERIFY(!dec.actx && !dec.swr);
    QVERIFY(decodeAll(dec) >= 58);
    // Silently: nothing about the audio in the log.
    for (const QString &line : logTexts(before))
        QVERIFY2(!line.contains("音频"), qPrintable(line));
}

void TestDecoderCtx::videoOnlyChoosesNoAudio()
{
    DecoderCtx dec;
    QCOMPARE(dec.openInput(Media::path("av.mkv"), &m_stop, &m_follow, true), QString());
    QCOMPARE(dec.audioIdx, -1);
    QVERIFY(!dec.actx);
}

void TestDecoderCtx::noTimestampsKeepsDefaultRate()
{
    DecoderCtx dec;
    dec.fps = 30.0;
    QCOMPARE(dec.openInput(Media::path("no_pts.h264"), &m_stop, &m_follow, false), QString());
    QVERIFY(dec.fps > 0);
    QVERIFY(decodeAll(dec) >= 58);
}

void TestDecoderCtx::seekLandsAtOrBeforeTarget()
{
    DecoderCtx dec;
    QCOMPARE(dec.openInput(Media::path("av20.mp4"), &m_stop, &m_follow, false), QString());
    QVERIFY(dec.seekTo(10.5));
    // The first picture is the key frame at or before the target (one a second).
    double first = -1;
    while (first < 0 && av_read_frame(dec.fmt, dec.pkt) >= 0) {
        if (dec.pkt->stream_index == dec.videoIdx && avcodec_send_packet(dec.vctx, dec.pkt) == 0 &&
            avcodec_receive_frame(dec.vctx, dec.frame) == 0) {
            first = dec.frame->best_effort_timestamp * dec.videoTb;
            av_frame_unref(dec.frame);
        }
        av_packet_unref(dec.pkt);
    }
    QVERIFY2(first >= 9.99 && first <= 10.5, qPrintable(QString::number(first)));
}

void TestDecoderCtx::closeAllIsTheOneReleasePath()
{
    DecoderCtx dec;
    QCOMPARE(dec.openInput(Media::path("av.mp4"), &m_stop, &m_follow, false), QString());
    // Opening again on an open context closes it first.
    QCOMPARE(dec.openInput(Media::path("av.mkv"), &m_stop, &m_follow, false), QString());
    dec.closeAll();
    dec.closeAll();
    QCOMPARE(dec.io.fd, -1);
    QCOMPARE(dec.videoIdx, -1);
    QCOMPARE(dec.audioIdx, -1);
    QVERIFY(!dec.fmt && !dec.avio && !dec.vctx && !dec.actx && !dec.swr && !dec.pkt && !dec.frame && !dec.swFrame);
    QCOMPARE(dec.fps, 30.0); // kept until the next open
}

QTEST_GUILESS_MAIN(TestDecoderCtx)
#include "test_decoder_ctx.moc"
