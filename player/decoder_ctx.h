#pragma once

// Everything FFmpeg needs to read one media file for one player: the
// growing-file byte source, the demuxer, the video decoder (VideoToolbox
// where the system has it, software otherwise), an optional audio decoder
// with a resampler to the player's PCM (48000 Hz, stereo, s16 interleaved),
// the picture converter and the reusable packet and frames. Lives on the
// decode thread's stack and is used by that thread only. closeAll() is the
// one release path, for a whole context as for a half-built one.
//
// A fragmented MP4 that is followed while it grows is opened with the
// demuxer's index off: FFmpeg's MP4 demuxer would otherwise index (and end
// at) the fragments present when the file was opened. It then reads each
// fragment as it arrives; a seek outside what it has read so far reopens
// the file with the demuxer starting at the fragment that holds the target.

#include "growing_io.h"
#include "mp4_fragments.h"
#include "zk_media.h"

#include <QImage>
#include <QString>

#include <atomic>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

extern "C" enum AVPixelFormat zk_get_hw_format(AVCodecContext *ctx, const enum AVPixelFormat *formats);

struct DecoderCtx {
    AVFormatContext *fmt = nullptr;
    AVIOContext *avio = nullptr;     // over io; owns its (possibly swapped) buffer
    GrowingIO io;
    AVCodecContext *vctx = nullptr;
    AVCodecContext *actx = nullptr;  // null when the file has no usable audio
    AVBufferRef *hwDevice = nullptr;
    SwsContext *sws = nullptr;       // cached by the decode thread
    SwrContext *swr = nullptr;
    AVPacket *pkt = nullptr;
    AVFrame *frame = nullptr;
    AVFrame *swFrame = nullptr;      // download target for hardware surfaces
    int videoIdx = -1;
    int audioIdx = -1;
    double videoTb = 0.0;
    double audioTb = 0.0;
    double fps = 30.0;               // kept when FFmpeg cannot guess a rate
    bool fragmented = false;         // a followed fragmented MP4 ('mvex' in its 'moov'), index off
    QString path;                    // of the last openInput, for reopening
    bool videoOnly = false;
    QString lastError;               // of the last failed (re)open
    ErrorKinds sendErrors;           // refusals of avcodec_send_packet already logged

    DecoderCtx() = default;
    DecoderCtx(const DecoderCtx &) = delete;
    DecoderCtx &operator=(const DecoderCtx &) = delete;
    ~DecoderCtx() { closeAll(); }

    // Empty on success, else the message to show.
    QString openInput(const QString &path, std::atomic<bool> *abortFlag, std::atomic<bool> *followFlag,
                      bool videoOnly);
    // Repositions at or before `seconds` and flushes the decoders (or, for a
    // fragmented recording, may reopen at a fragment: fresh decoders). False
    // when that failed; check isOpen() afterwards.
    bool seekTo(double seconds);
    // Fragmented recordings only: reopens with the demuxer starting at the
    // fragment that holds `seconds`. False when there is no such fragment
    // or the reopen failed (then isOpen() is false and lastError says why).
    bool reopenAtFragment(double seconds);
    // The fragment that holds `seconds`; none when the file is not a
    // followed fragmented MP4. reopenAt() opens the file starting there.
    Mp4Fragments::Fragment fragmentFor(double seconds) const;
    QString reopenAt(const Mp4Fragments::Fragment &fragment);
    bool isOpen() const { return fmt != nullptr; }
    void closeAll();
    // Hands the packet to the video (or audio) decoder. A refusal drops the
    // packet; each kind of refusal is logged once per file.
    bool sendPacket(AVCodecContext *codec);
    // Converts a decoded picture into `image` (allocated by the caller at the
    // picture's size, QImage::Format_RGB32) through the cached converter.
    // False when no converter can be made or the conversion failed.
    bool toRgb32(const AVFrame *source, QImage &image);

private:
    QString openFile(int64_t moovEnd, int64_t moofOffset);
    bool indexed(int64_t ts) const;
    QString openVideoDecoder();
    void openAudioDecoder();
    bool allocVideoContext(const AVCodec *codec);
};
