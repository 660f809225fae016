#pragma once

// Everything FFmpeg needs to read one media file for one player: the
// growing-file byte source, the demuxer, the video decoder (VideoToolbox
// where the system has it, software otherwise), an optional audio decoder
// with a resampler to the player's PCM (48000 Hz, stereo, s16 interleaved),
// the picture converter and the reusable packet and frames. Lives on the
// decode thread's stack and is used by that thread only. closeAll() is the
// one release path, for a whole context as for a half-built one.

#include "growing_io.h"

#include <QImage>
#include <QString>

#include <atomic>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

QString avErrStr(int code);

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

    DecoderCtx() = default;
    DecoderCtx(const DecoderCtx &) = delete;
    DecoderCtx &operator=(const DecoderCtx &) = delete;
    ~DecoderCtx() { closeAll(); }

    // Empty on success, else the message to show.
    QString openInput(const QString &path, std::atomic<bool> *abortFlag, std::atomic<bool> *followFlag,
                      bool videoOnly);
    bool seekTo(double seconds);
    void closeAll();
    // Converts a decoded picture into `image` (allocated by the caller at the
    // picture's size, QImage::Format_RGB32) through the cached converter.
    // False when no converter can be made for the picture's format.
    bool toRgb32(const AVFrame *source, QImage &image);

private:
    QString openVideoDecoder();
    void openAudioDecoder();
    bool allocVideoContext(const AVCodec *codec);
};
