#pragma once

// Everything one encoded output needs: the muxer (FLV to an RTMP server,
// or a file), the H.264 and AAC encoders, the resampler from the player's
// PCM, the picture converter, and one reusable video frame, audio frame and
// packet; or only the muxer, for a file of packets copied from another.
// Built anew for every connection attempt (or exported clip) and
// used by one thread only. closeAll() is the one release path, for a whole
// context as for a half-built one.

#include "zk_media.h"
#include "zk_picture.h"

#include <QString>

#include <cstdint>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswresample/swresample.h>
}

class StreamCtx {
public:
    StreamCtx() = default;
    StreamCtx(const StreamCtx &) = delete;
    StreamCtx &operator=(const StreamCtx &) = delete;
    ~StreamCtx() { closeAll(); }

    // What is encoded. The stream: 1080p at 30, low latency, its rate capped.
    struct Format {
        int width = 1920, height = 1080;
        AVRational rate{30, 1};
        int kbps = 4000;
        bool sound = true; // an AAC track
        bool live = true;  // for a server: no reordering, the rate capped
    };

    // Empty on success, else the message to show. Every blocking call of
    // the connection (connect, handshake, writes, closing) asks `interrupt`.
    QString open(const QString &url, int kbps, const AVIOInterruptCB &interrupt);
    // A file written by `muxer` (FFmpeg's name: "mp4", "matroska"...).
    QString openFile(const QString &path, const char *muxer, const Format &format);
    // A file of packets copied from another file, not encoded: a stream for
    // each of `video` and `audio` (null: none), with their parameters and
    // time bases. Refused when the muxer cannot hold one of them.
    QString openCopy(const QString &path, const char *muxer, const AVStream *video, const AVStream *audio);
    // Writes a copy of `packet` (of `from`, the stream given to openCopy)
    // moved `offset` earlier in that stream's unit: 0, or the failed
    // write's error.
    int writeCopy(const AVPacket *packet, const AVStream *from, int64_t offset);
    // Sends a picture (null: black, the program has none yet): 1 encoded, 0
    // skipped (no converter), -1 the write failed. A 1080p BT.709 picture in
    // the encoder's format goes as it is; any other is converted first
    // (scaled to fill the frame, whatever its aspect ratio), once however
    // often it is sent again (a repeat).
    int encodePicture(const Picture &picture, int64_t ms);
    // One AAC frame's worth of the engines' PCM (1024 samples), stamped
    // `samples` (48 kHz units): 1 sent, 0 skipped, -1 the write failed.
    int encodeAudio(const QByteArray &pcm, int64_t samples);
    int64_t bytesSent() const { return m_bytesSent; } // all packets handed to the muxer
    // The end of a file: what the encoders still hold, the trailer, the
    // file closed. 0, or the first error (a full disk shows here).
    int finish();
    int lastError() const { return m_writeError; } // the write that failed (after a -1)
    void closeAll();

private:
    AVFormatContext *fmt = nullptr;
    AVCodecContext *vctx = nullptr;
    AVCodecContext *actx = nullptr;
    AVStream *vst = nullptr;
    AVStream *ast = nullptr;
    const AVStream *m_copiedVideo = nullptr; // the sources of a copy's streams
    const AVStream *m_copiedAudio = nullptr;
    SwrContext *swr = nullptr;
    AVFrame *vframe = nullptr;
    AVFrame *aframe = nullptr;
    AVPacket *pkt = nullptr;
    Format m_format;
    ErrorKinds sendErrors;  // refusals of avcodec_send_frame already logged
    bool opened = false;    // the stream header has been written
    int64_t m_bytesSent = 0;
    int m_writeError = 0;

    AVFrame *m_passed = nullptr; // a reference to the picture sent as it is
    PictureScaler m_scaler;      // any other picture into vframe
    Picture m_scaledFrom;        // the picture in vframe; null = none
    Picture m_black;

    bool passesAsIs(const Picture &picture) const;
    // 0, or the first failed write's error. A frame the encoder refuses is skipped.
    int encodeWrite(AVCodecContext *codec, AVFrame *frame, AVStream *stream);
    QString create(const char *muxer, const QString &url, const Format &format);
    QString writeFileHeader(const QString &path);
    QString openVideoEncoder();
    QString openAudioEncoder();
    QString createStreams();
    QString allocFrames();
    QString connect(const QString &url, const AVIOInterruptCB &interrupt);
};
