#pragma once

// Everything FFmpeg needs to read one media file for one player: the
// growing-file byte source, the demuxer, the video decoder (VideoToolbox
// where the system has it, software otherwise), an optional audio decoder
// with a resampler to the player's PCM (48000 Hz, stereo, s16 interleaved),
// and the reusable packet and frames. It reads and decodes; its users get
// the kind of each packet, pictures and blocks of sound with their times,
// never FFmpeg's contexts. Lives on
// the decode thread's stack and is used by that thread only. closeAll() is
// the one release path, for a whole context as for a half-built one.
//
// A fragmented MP4 that is followed while it grows is opened with the
// demuxer's index off: FFmpeg's MP4 demuxer would otherwise index (and end
// at) the fragments present when the file was opened. It then reads each
// fragment as it arrives; a seek outside what it has read so far reopens
// the file with the demuxer starting at the fragment that holds the target.
// OBS's Hybrid MP4 is indexed anew when finished, and only that index takes
// the encoder's reordering delay away: read while it grows, its pictures
// would come that much later than their sound, so they are moved back by
// the first picture's delay, to the times they have once it is finished.

#include "growing_io.h"
#include "mp4_fragments.h"
#include "zk_media.h"

#include <QString>

#include <atomic>
#include <cmath>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswresample/swresample.h>
}

extern "C" enum AVPixelFormat zk_get_hw_format(AVCodecContext *ctx, const enum AVPixelFormat *formats);

class DecoderCtx {
public:
    // What the last readPacket() read.
    enum class Packet { Video, Audio, Other };

    DecoderCtx() = default;
    DecoderCtx(const DecoderCtx &) = delete;
    DecoderCtx &operator=(const DecoderCtx &) = delete;
    ~DecoderCtx() { closeAll(); }

    // Empty on success, else the message to show.
    QString openInput(const QString &path, std::atomic<bool> *abortFlag, std::atomic<bool> *followFlag,
                      bool videoOnly);
    // While set, a read waiting at a followed file's live edge gives up
    // (AVERROR_EXIT), so that a seek is taken at once; an open never does.
    void setWakeFlag(std::atomic<bool> *flag) { m_wakeFlag = flag; }
    // Repositions at or before `seconds` and flushes the decoders (or, for a
    // fragmented recording, may reopen at a fragment: fresh decoders). False
    // when that failed; check isOpen() afterwards.
    bool seekTo(double seconds);
    // The fragment that holds `seconds`; none when the file is not a
    // followed fragmented MP4. reopenAt() opens the file starting there.
    Mp4Fragments::Fragment fragmentFor(double seconds) const;
    QString reopenAt(const Mp4Fragments::Fragment &fragment);
    // Moves the demuxer's byte source to `offset`, for a demuxer that
    // resyncs on its own; a negative FFmpeg error when it could not.
    int64_t rewindTo(int64_t offset);
    void closeAll();

    // av_read_frame's result; on success `kind` says which decoder the
    // packet is for. The packet is kept until the next read.
    int readPacket(Packet &kind);
    // Hands the packet read last to the video (or audio) decoder. A refusal
    // drops the packet; each kind of refusal is logged once per file.
    bool sendVideo() { return sendPacket(m_vctx); }
    bool sendAudio() { return sendPacket(m_actx); }
    // The decoder's next picture (a hardware surface already downloaded),
    // valid until the next call; null when it has no more for now. `timed`
    // is false when the decoder gave the picture no time (`pts` is then 0).
    const AVFrame *receivePicture(bool &timed, double &pts);
    // The decoder's next block of sound in the engines' PCM, timed the same
    // way; false when it has no more for now.
    bool receiveSound(QByteArray &pcm, bool &timed, double &pts);
    // The packet read last, as the demuxer gave it (for copying it
    // elsewhere), its stream, and its times on the clock the pictures and
    // the sound are given on (NAN where the demuxer gave none).
    struct PacketTimes {
        double pts = NAN, end = NAN; // end: pts plus the packet's duration
        bool key = false;
    };
    const AVPacket *packet() const { return m_pkt; }
    const AVStream *stream(Packet kind) const;
    PacketTimes packetTimes(Packet kind) const;
    // `seconds` on that clock in the stream's own unit.
    int64_t streamTime(Packet kind, double seconds) const;
    // The next sends tell the decoders the stream has ended: threaded and
    // reordering decoders then give up what they still hold.
    void endOfStream();
    // Empties both decoders, ready for data from anywhere in the file.
    void flush();

    bool isOpen() const { return m_fmt != nullptr; }
    QString lastError() const { return m_lastError; } // of the last failed (re)open
    int width() const { return m_vctx ? m_vctx->width : 0; }
    int height() const { return m_vctx ? m_vctx->height : 0; }
    double fps() const { return m_fps; }               // 30 when FFmpeg cannot guess a rate
    bool hasAudio() const { return m_actx != nullptr; }
    double durationSec() const;                        // where the file's times end, as the container states them; 0 when unknown
    int64_t videoBitRate() const;                      // bit/s as the file states it (or the whole file's); 0 when unknown
    bool isFragmented() const { return m_fragmented; } // a followed fragmented MP4, index off
    int64_t bytePos() const { return m_io.pos; }       // where the byte source reads next
    int64_t fileSize() const;                          // as the file is now; -1 when unknown

private:
    QString openFile(int64_t moovEnd, int64_t moofOffset);
    bool reopenAtFragment(double seconds);
    bool seekNear(double seconds);
    double firstPictureTime(); // of the next picture decoded (HUGE_VAL: none); consumes what it reads
    bool seeksByIndex() const; // the demuxer lands at or before a target (with the margin)
    bool indexed(int64_t ts) const;
    QString openVideoDecoder();
    void openAudioDecoder();
    bool allocVideoContext(const AVCodec *codec);
    bool sendPacket(AVCodecContext *codec);

    AVFormatContext *m_fmt = nullptr;
    AVIOContext *m_avio = nullptr;    // over m_io; owns its (possibly swapped) buffer
    GrowingIO m_io;
    AVCodecContext *m_vctx = nullptr;
    AVCodecContext *m_actx = nullptr; // null when the file has no usable audio
    AVBufferRef *m_hwDevice = nullptr;
    SwrContext *m_swr = nullptr;
    AVPacket *m_pkt = nullptr;
    AVFrame *m_frame = nullptr;
    AVFrame *m_swFrame = nullptr;     // download target for hardware surfaces
    int m_videoIdx = -1;
    int m_audioIdx = -1;
    double m_videoTb = 0.0;
    double m_audioTb = 0.0;
    double m_fps = 30.0;
    double m_videoShift = 0.0;        // taken off every picture's time (see the top)
    bool m_fragmented = false;        // 'mvex' in its 'moov', followed: index off
    QString m_path;                   // of the last openInput, for reopening
    bool m_videoOnly = false;
    QString m_lastError;
    std::atomic<bool> *m_wakeFlag = nullptr;
    ErrorKinds m_sendErrors;          // refusals of avcodec_send_packet already logged
};
