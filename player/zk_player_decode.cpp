// ZKPlayer's decode thread: reads and decodes into the bounded queues,
// performs requested seeks, and keeps a recording that is still being
// written playable (waits for its first data, reopens when the demuxer
// chokes at the writer's edge or after a run of read errors).

#include "decoder_ctx.h"
#include "zk_player.h"

#include <obs-module.h>

#include <QFileInfo>

#include <chrono>

namespace {

using std::chrono::milliseconds;

constexpr size_t kVideoHigh = 12;        // normal limit of waiting pictures
constexpr size_t kVideoFull = 36;        // limit while reading ahead to reach audio
constexpr double kAudioShortSec = 0.3;
constexpr double kAudioFullSec = 1.5;
constexpr int kMaxReadErrors = 20;       // the next one reopens the demuxer
constexpr int64_t kRecordingMinBytes = 65536;
constexpr qint64 kRecordingWaitMs = 10000;
constexpr int64_t kHealMinGrowth = 262144;  // reopen again only after the file grew this much
constexpr int64_t kHealRewind = 786432;     // resume demuxing this far before the break point
// Chunk ends are compared after a reopen; half a sample absorbs rounding.
constexpr double kHalfSampleSec = 0.5 / Pcm::kSampleRate;
// A step back decodes from a key picture up to the picture on screen; the
// sound before this much ahead of it is skipped, or the bounded sound
// queue could fill before the pictures get there.
constexpr double kStepBackSoundSec = 0.5;
// Two pictures closer than this are one time.
constexpr double kSameTimeSec = 0.0005;

} // namespace

bool ZKPlayer::waitForRecording()
{
    QElapsedTimer waited;
    waited.start();
    while (!m_stopRequested) {
        const QFileInfo info(m_path);
        if (info.exists() && info.size() > kRecordingMinBytes)
            break;
        if (waited.elapsed() > kRecordingWaitMs) {
            emit errorOccurred(QStringLiteral("等了 10 秒还没有录制数据: %1").arg(m_path));
            return false;
        }
        std::this_thread::sleep_for(milliseconds(100));
    }
    return !m_stopRequested;
}

bool ZKPlayer::mayRead() const
{
    const size_t pictures = m_videoQueue.size();
    const bool audioShort = m_hasAudio && m_queuedAudioSec < kAudioShortSec && !m_eof;
    if (pictures >= kVideoFull || m_queuedAudioSec >= kAudioFullSec)
        return false;
    return pictures < kVideoHigh || audioShort;
}

void ZKPlayer::waitOnQueue(int ms)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_cv.wait_for(lock, milliseconds(ms), [this] { return m_stopRequested || m_seekTarget >= 0; });
}

ZKPlayer::DecodeState::~DecodeState()
{
    dropHeld();
}

void ZKPlayer::DecodeState::dropHeld()
{
    av_frame_free(&held);
}

void ZKPlayer::DecodeState::landedAt(double target)
{
    videoSkipUntil = audioSkipUntil = decodePos = audioDecodePos = target;
    holdBefore = -1.0;
    dropHeld();
}

void ZKPlayer::DecodeState::resumeAfterReopen()
{
    // The video test keeps pictures from skip-until - 0.001 on, so the
    // margin must exceed that tolerance to drop the picture already queued.
    videoSkipUntil = decodePos + 0.002;
    // Audio runs ahead of the last picture (reordering, frame threads), so
    // it resumes where the audio already queued ends, not at the picture.
    audioSkipUntil = audioDecodePos >= 0 ? audioDecodePos : decodePos;
    drained = false;
    eofLogged = false;
    readErrors = 0;
}

void ZKPlayer::endThread()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_acceptsSeeks = false;
        m_seekTarget = -1.0;
        m_seekPending = false;
    }
    m_running = false;
}

void ZKPlayer::decodeLoop()
{
    DecoderCtx dec;
    dec.setWakeFlag(&m_seekWaiting);
    if (m_followLive && !waitForRecording()) {
        endThread();
        return;
    }
    const QString error = dec.openInput(m_path, &m_stopRequested, &m_followLive, m_videoOnly);
    if (!error.isEmpty()) {
        blog(LOG_ERROR, "[ZKPlayer] %s", error.toUtf8().constData());
        emit errorOccurred(error);
        endThread();
        return;
    }
    m_videoWidth = dec.width();
    m_videoHeight = dec.height();
    m_hasAudio = dec.hasAudio();
    if (dec.fps() > 1.0 && dec.fps() < 1000.0)
        m_frameSec = 1.0 / dec.fps();
    blog(LOG_INFO, "[ZKPlayer] 打开成功: %dx%d @ %.2ffps, 音频=%s", dec.width(), dec.height(), dec.fps(),
         dec.hasAudio() ? "有" : "无");
    if (!m_followLive && dec.durationSec() > 0)
        emit durationKnown(dec.durationSec());

    DecodeState st;
    if (m_startSec > 0.01) {
        if (dec.seekTo(m_startSec))
            st.landedAt(m_startSec);
        else if (reopened(dec, dec.isOpen()) == Pass::Exit)
            return endThread();
    }

    for (;;) {
        double seekNow = -1.0;
        double landBefore = -1.0;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            if (m_stopRequested)
                break;
            if (m_seekTarget >= 0) {
                seekNow = m_seekTarget;
                landBefore = m_seekLandBefore;
                m_seekTarget = m_seekLandBefore = -1.0;
                m_seekWaiting = false;
            } else if (!mayRead()) {
                m_cv.wait_for(lock, milliseconds(20),
                              [this] { return m_stopRequested || m_seekTarget >= 0 || mayRead(); });
                continue;
            }
        }
        if (seekNow >= 0) {
            if (performSeek(dec, st, seekNow, landBefore) == Pass::Exit)
                break;
            continue;
        }
        DecoderCtx::Packet kind;
        const int ret = dec.readPacket(kind);
        if (ret >= 0) {
            st.readErrors = 0;
            st.drained = st.eofLogged = false; // more data: the next end is a new arrival
            st.lastGoodByte = dec.bytePos();
            if (kind == DecoderCtx::Packet::Video)
                decodeVideo(dec, st);
            else if (kind == DecoderCtx::Packet::Audio)
                decodeAudio(dec, st);
            continue;
        }
        if (handleReadError(dec, st, ret) == Pass::Exit)
            break;
    }
    blog(LOG_INFO, "[ZKPlayer] 解码线程退出 @ %.1fs", st.decodePos);
    endThread();
}

ZKPlayer::Pass ZKPlayer::reopened(DecoderCtx &dec, bool ok)
{
    // A reopen inside a seek or a heal that failed leaves nothing to read.
    if (ok)
        return Pass::Continue;
    emit errorOccurred(dec.lastError());
    return Pass::Exit;
}

ZKPlayer::Pass ZKPlayer::performSeek(DecoderCtx &dec, DecodeState &st, double target, double landBefore)
{
    const bool ok = dec.seekTo(target);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        clearQueues();
        m_clockResetPending = true;
        m_eof = false;
        if (m_seekTarget < 0) // no newer request waiting
            m_seekPending = false;
    }
    st.drained = st.eofLogged = false;
    if (ok) {
        st.landedAt(target);
        blog(LOG_INFO, "[ZKPlayer] seek → %.1fs 完成", target);
    }
    if (landBefore >= 0) {
        // A step back: every picture up to the one on screen is decoded,
        // the last one before it is shown.
        st.videoSkipUntil = -1.0;
        st.holdBefore = landBefore;
        st.audioSkipUntil = qMax(0.0, landBefore - kStepBackSoundSec);
    }
    m_finishedReported = false;
    return reopened(dec, dec.isOpen());
}

ZKPlayer::Pass ZKPlayer::handleReadError(DecoderCtx &dec, DecodeState &st, int ret)
{
    if (ret == AVERROR_EXIT) // the reader saw the stop request
        return Pass::Continue;
    if (ret == AVERROR_EOF) {
        if (m_followLive)
            return selfHeal(dec, st);
        // The thread stays at the end until a seek or a stop: say so once.
        if (!st.eofLogged)
            blog(LOG_INFO, "[ZKPlayer] av_read_frame → EOF (follow=0),播放收尾");
        st.eofLogged = true;
        drainDecoders(dec, st);
        queueHeld(st); // a step back from the file's end
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_eof = true;
        }
        waitOnQueue(100);
        return Pass::Continue;
    }
    if (++st.readErrors <= kMaxReadErrors) {
        waitOnQueue(20);
        return Pass::Continue;
    }
    return reopenAfterErrors(dec, st, ret);
}

ZKPlayer::Pass ZKPlayer::selfHeal(DecoderCtx &dec, DecodeState &st)
{
    // The demuxer of a file still being written can give up before the
    // reader's live edge; reopen and resume just after the last picture.
    const int64_t size = dec.fileSize();
    if (st.lastHealSize >= 0 && size >= 0 && size - st.lastHealSize < kHealMinGrowth) {
        waitOnQueue(200);
        return Pass::Continue;
    }
    st.lastHealSize = size;
    // A fragmented MP4 resumes at the start of the fragment that holds the
    // break point, where its demuxer can parse; other containers resync on
    // their own a little before it.
    const Mp4Fragments::Fragment fragment = dec.fragmentFor(st.decodePos);
    const int64_t rewind = fragment.moofOffset >= 0            ? fragment.moofOffset
                           : st.lastGoodByte > kHealRewind ? st.lastGoodByte - kHealRewind
                                                           : 0;
    blog(LOG_WARNING, "[ZKPlayer] 解复用器被写入端噎住(EOF@follow),自愈:断点 %.2fs/字节 %lld,重开并回退到字节 %lld",
         st.decodePos, static_cast<long long>(st.lastGoodByte), static_cast<long long>(rewind));
    const QString error = fragment.moofOffset >= 0 ? dec.reopenAt(fragment)
                                                   : dec.openInput(m_path, &m_stopRequested, &m_followLive, m_videoOnly);
    if (!error.isEmpty()) {
        emit errorOccurred(error);
        return Pass::Exit;
    }
    if (fragment.moofOffset < 0 && rewind > 0) {
        const int64_t moved = dec.rewindTo(rewind);
        if (moved < 0) {
            blog(LOG_WARNING, "[ZKPlayer] 自愈回退到字节 %lld 失败(%s),改为 seek → %.2fs",
                 static_cast<long long>(rewind), avErrStr(int(moved)).toUtf8().constData(), st.decodePos);
            dec.seekTo(st.decodePos);
        }
    }
    st.resumeAfterReopen();
    blog(LOG_INFO, "[ZKPlayer] 自愈重开完成,从 %.2fs 继续", st.decodePos);
    return reopened(dec, dec.isOpen());
}

ZKPlayer::Pass ZKPlayer::reopenAfterErrors(DecoderCtx &dec, DecodeState &st, int ret)
{
    blog(LOG_WARNING, "[ZKPlayer] 连续读错 %d 次(%s),重开解复用器 @ %.1fs", st.readErrors,
         avErrStr(ret).toUtf8().constData(), st.decodePos);
    const QString error = dec.openInput(m_path, &m_stopRequested, &m_followLive, m_videoOnly);
    if (!error.isEmpty()) {
        emit errorOccurred(error);
        return Pass::Exit;
    }
    // Back to the last picture; whatever the seek lands on, nothing
    // already queued is queued again.
    dec.seekTo(st.decodePos);
    st.resumeAfterReopen();
    return reopened(dec, dec.isOpen());
}

void ZKPlayer::drainDecoders(DecoderCtx &dec, DecodeState &st)
{
    // Threaded and reordering decoders hold the last few pictures until told
    // the stream has ended; without this a finished file loses its tail.
    // Once per arrival at the end; the decoders are left ready for whatever
    // comes next (a seek, or a file that grew).
    if (st.drained)
        return;
    st.drained = true;
    dec.endOfStream();
    decodeVideo(dec, st);
    if (dec.hasAudio())
        decodeAudio(dec, st);
    dec.flush();
}

void ZKPlayer::decodeVideo(DecoderCtx &dec, DecodeState &st)
{
    if (!dec.sendVideo())
        return; // the packet is dropped
    bool timed = false;
    double pts = 0.0;
    while (const AVFrame *picture = dec.receivePicture(timed, pts))
        queuePicture(st, picture, timed ? pts : st.decodePos + m_frameSec);
}

void ZKPlayer::queuePicture(DecodeState &st, const AVFrame *source, double pts)
{
    st.decodePos = pts;
    if (st.videoSkipUntil >= 0 && pts < st.videoSkipUntil - 0.001)
        return;
    st.videoSkipUntil = -1.0;
    if (st.holdBefore >= 0) {
        if (pts < st.holdBefore - kSameTimeSec) {
            // Perhaps the picture before: kept (by reference) until a later one comes.
            st.dropHeld();
            st.held = av_frame_clone(source);
            st.heldPts = pts;
            return;
        }
        queueHeld(st);
    }
    queueFrame(st, source, pts);
}

void ZKPlayer::queueHeld(DecodeState &st)
{
    st.holdBefore = -1.0;
    if (st.held)
        queueFrame(st, st.held, st.heldPts);
    st.dropHeld();
}

void ZKPlayer::queueFrame(DecodeState &st, const AVFrame *source, double pts)
{
    m_videoWidth = source->width;
    m_videoHeight = source->height;
    // The decoder's own picture, by reference: whoever shows it converts
    // what they draw, at the size they draw it.
    Picture picture = Picture::fromFrame(source);
    if (picture.isNull()) {
        if (!st.warnedPicture) {
            blog(LOG_WARNING, "[ZKPlayer] 画面 %dx%d 无法引用,丢弃该帧", source->width, source->height);
            st.warnedPicture = true;
        }
        return;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_videoQueue.push_back({std::move(picture), pts});
}

void ZKPlayer::decodeAudio(DecoderCtx &dec, DecodeState &st)
{
    if (!dec.sendAudio())
        return;
    QByteArray pcm;
    bool timed = false;
    double pts = 0.0;
    while (dec.receiveSound(pcm, timed, pts))
        queueSound(st, std::move(pcm), timed, pts);
}

void ZKPlayer::queueSound(DecodeState &st, QByteArray &&pcm, bool timed, double pts)
{
    // A time may be below zero (an encoder's priming before the start):
    // it is a time all the same, cut and skipped like any other.
    const double duration = double(pcm.size() / Pcm::kBytesPerFrame) / Pcm::kSampleRate;
    const double end = pts + duration; // as decoded, before any cut: compared again after a reopen
    if (st.audioSkipUntil >= 0 && timed) {
        if (st.audioSkipUntil >= end - kHalfSampleSec)
            return; // wholly before the target
        if (st.audioSkipUntil > pts) {
            const qsizetype cut = Pcm::bytesFor(st.audioSkipUntil - pts);
            if (cut >= pcm.size())
                return;
            if (cut > 0) {
                pcm.remove(0, cut);
                pts = st.audioSkipUntil;
            }
        }
        st.audioSkipUntil = -1.0;
    }
    if (timed)
        st.audioDecodePos = end;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_audioQueue.push_back({std::move(pcm), pts});
    m_queuedAudioSec += duration;
}
