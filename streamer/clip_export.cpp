#include "clip_export.h"

#include "decoder_ctx.h"
#include "stream_ctx.h"

#include <obs-module.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cmath>
#include <functional>

namespace {

// About what a recorder spends on a picture of a size (1080p at 30: 6 Mbit/s).
constexpr double kBitsPerPixel = 0.1;
// Times kept in a coarser unit than the demuxer's (a millisecond).
constexpr double kTimeSlackSec = 0.001;

QString stamp(double seconds)
{
    const qint64 ms = std::llround(seconds * 1000);
    return QString::asprintf("%02lld-%02lld-%02lld.%03lld", static_cast<long long>(ms / 3600000),
                             static_cast<long long>(ms / 60000 % 60), static_cast<long long>(ms / 1000 % 60),
                             static_cast<long long>(ms % 1000));
}

// The muxer for a clip's name: the source's container where FFmpeg writes it.
const char *muxerFor(const QString &path)
{
    const AVOutputFormat *format = av_guess_format(nullptr, path.toUtf8().constData(), nullptr);
    return format ? format->name : "matroska";
}

QString writeError(int code)
{
    return code == AVERROR(ENOSPC) ? QStringLiteral("磁盘已满") : QStringLiteral("写文件失败: ") + ffErr(code);
}

// Whether the packets of a clip's pictures, in the order they are decoded,
// make a stretch that decodes on its own and shows exactly the clip: the
// first of them the in picture and a key picture, and no picture outside
// the clip decoded between two of the clip's (one shown before the in point
// that the clip's next pictures refer to, one after the out point that the
// clip's last ones refer to). Fed the video packets in decode order.
class CutCheck {
public:
    enum class Verdict { Reading, Clean, Unclean };

    // A picture is the clip's when its time is within [first, last];
    // `frame`: a picture's length. Without `fromKey` only the end is told.
    CutCheck(double first, double last, double frame, bool fromKey)
        : m_first(first), m_last(last), m_frame(frame), m_fromKey(fromKey)
    {
    }
    Verdict verdict() const { return m_verdict; }
    // Whether the packet is one of the clip's pictures (to be copied).
    bool take(const DecoderCtx::PacketTimes &times)
    {
        if (m_verdict != Verdict::Reading)
            return false;
        if (std::isnan(times.pts)) { // no time to tell it by
            m_verdict = Verdict::Unclean;
            return false;
        }
        if (times.pts >= m_first && times.pts <= m_last) {
            const bool startsWell = !m_fromKey || (times.key && times.pts < m_first + m_frame);
            if (m_outside || (!m_started && !startsWell))
                m_verdict = Verdict::Unclean;
            m_started = true;
            return m_verdict == Verdict::Reading;
        }
        m_outside = m_started;
        // Past the next key picture's leading pictures, no more of the clip's come.
        if (times.pts > m_last && times.key && std::isnan(m_nextKey))
            m_nextKey = times.pts;
        else if (times.pts > m_nextKey)
            m_verdict = Verdict::Clean;
        return false;
    }
    // The file ends here.
    void end()
    {
        if (m_verdict == Verdict::Reading)
            m_verdict = m_started ? Verdict::Clean : Verdict::Unclean;
    }

private:
    double m_first, m_last, m_frame;
    bool m_fromKey;
    bool m_started = false, m_outside = false;
    double m_nextKey = NAN;
    Verdict m_verdict = Verdict::Reading;
};

} // namespace

ClipExport::ClipExport(QObject *parent) : QObject(parent) {}

ClipExport::~ClipExport()
{
    stop();
}

void ClipExport::stop()
{
    m_quiet = true;
    cancel();
    if (m_thread.joinable())
        m_thread.join();
    m_quiet = false;
}

QString ClipExport::targetFor(const QString &source, double in, const QString &label)
{
    const QFileInfo info(source);
    QString suffix = info.suffix().toLower();
    if (!av_guess_format(nullptr, source.toUtf8().constData(), nullptr))
        suffix = QStringLiteral("mkv");
    const QString base = info.dir().filePath(info.completeBaseName() + QLatin1Char(' ') + (label.isEmpty() ? stamp(in) : label));
    QString target = base + QLatin1Char('.') + suffix;
    for (int n = 2; QFileInfo::exists(target) || QFileInfo::exists(target + QStringLiteral(".part")); ++n)
        target = QStringLiteral("%1 (%2).%3").arg(base).arg(n).arg(suffix);
    return target;
}

bool ClipExport::start(const Request &request)
{
    if (m_running)
        return false;
    if (m_thread.joinable()) // the last export's thread, ended
        m_thread.join();
    m_abort = false;
    m_growing.clear();
    for (const Part &part : request.parts)
        if (part.growing)
            m_growing << part.source;
    m_follow = !m_growing.isEmpty();
    m_target = request.target;
    m_running = true;
    m_thread = std::thread([this, request] { run(request); });
    return true;
}

void ClipExport::cancel()
{
    m_abort = true;
}

void ClipExport::run(const Request &request)
{
    const QString partial = request.target + QStringLiteral(".part");
    int pictures = 0;
    bool copied = false;
    const QString error = write(request, partial, pictures, copied);
    // Checked last: a cancel that came while the file was finished still removes it.
    const bool keep = error.isEmpty() && !m_abort && QFile::rename(partial, request.target);
    if (!keep)
        QFile::remove(partial);
    m_running = false;
    if (m_quiet)
        return;
    if (keep) {
        blog(LOG_INFO, "[Zerka] 导出片段 %s (%d 段, %d 幅画面, %s)", request.target.toUtf8().constData(),
             int(request.parts.size()), pictures, copied ? "原样复制" : "重新编码");
        emit exported(request.target, pictures, copied);
    } else if (m_abort) {
        blog(LOG_INFO, "[Zerka] 导出片段已取消,未留下文件");
        emit cancelled();
    } else {
        const QString reason = error.isEmpty() ? QStringLiteral("改名失败: ") + request.target : error;
        blog(LOG_WARNING, "[Zerka] 导出片段失败: %s", reason.toUtf8().constData());
        emit failed(reason);
    }
}

// The file being written, and where the next part goes in it.
struct ClipExport::Output {
    StreamCtx enc;
    bool open = false;
    const char *muxer = nullptr;
    QString path;
    double at = 0.0;             // seconds: where the next part's first picture goes
    int64_t sent = 0;            // samples handed to the encoder
    QByteArray pending;          // sound waiting for a whole AAC frame
    bool sound = false;          // the file has a sound track (as its first part had)
    int pictures = 0;
    bool copied = false;         // packets copied as they were, nothing encoded
    double total = 0.0, done = 0.0; // seconds of pictures in all parts, and written
    int percent = -1;
};

void ClipExport::reportProgress(Output &out, double done)
{
    const int now = out.total > 0 ? qBound(0, int(100 * done / out.total), 100) : 100;
    if (now != out.percent && !m_quiet)
        emit progress(out.percent = now);
}

QString ClipExport::write(const Request &request, const QString &partial, int &pictures, bool &copied)
{
    Output out;
    out.muxer = muxerFor(request.target);
    out.path = partial;
    for (const Part &part : request.parts)
        out.total += part.out - part.in;
    // A clip whose ends fall on key pictures is copied as it is; a reel
    // joins stretches from anywhere and is always encoded.
    QString error = request.parts.size() == 1 ? copyPart(request.parts.front(), out) : QString();
    for (int i = 0; error.isEmpty() && !out.copied && i < request.parts.size(); ++i)
        error = writePart(request.parts.at(i), out);
    if (!error.isEmpty())
        return error;
    pictures = out.pictures;
    copied = out.copied;
    if (!out.open || pictures == 0)
        return QStringLiteral("入点到出点之间没有画面");
    int written = out.pending.isEmpty() ? 0 : out.enc.encodeAudio(out.pending, out.sent); // the rest, filled with silence
    if (written >= 0)
        written = out.enc.finish();
    return written < 0 ? writeError(out.enc.lastError() < 0 ? out.enc.lastError() : written) : QString();
}

QString ClipExport::copyPart(const Part &part, Output &out)
{
    using Packet = DecoderCtx::Packet;
    std::atomic<bool> finished{false};
    DecoderCtx dec;
    if (!dec.openInput(part.source, &m_abort, part.growing ? &m_follow : &finished, false).isEmpty())
        return QString(); // the encoding path says why
    const double frame = 1.0 / dec.fps();
    const double first = part.in - frame / 2, last = part.out + frame / 2;

    // Reads on until `check` has its verdict; false when cancelled.
    auto readUntilTold = [&](CutCheck &check, const std::function<void(Packet)> &each) {
        while (check.verdict() == CutCheck::Verdict::Reading) {
            Packet kind;
            const int ret = dec.readPacket(kind);
            if (m_abort)
                return false;
            if (ret < 0)
                check.end();
            else
                each(kind);
        }
        return true;
    };
    // The end first: most cuts that cannot be copied are told there, before
    // anything is written.
    CutCheck end(-HUGE_VAL, last, frame, false);
    if (!dec.seekTo(part.out))
        return QString();
    if (!readUntilTold(end, [&](Packet kind) {
            if (kind == Packet::Video)
                end.take(dec.packetTimes(kind));
        }))
        return QStringLiteral("已取消");
    if (end.verdict() != CutCheck::Verdict::Clean || !dec.seekTo(part.in))
        return QString();
    const AVStream *video = dec.stream(Packet::Video), *audio = dec.hasAudio() ? dec.stream(Packet::Audio) : nullptr;
    const QString error = out.enc.openCopy(out.path, out.muxer, video, audio);
    if (!error.isEmpty()) {
        blog(LOG_INFO, "[Zerka] 导出片段不能原样复制(%s),重新编码", error.toUtf8().constData());
        return QString();
    }
    // Both tracks move by the in point, the sound from the packet that holds
    // it (the muxer may move both by what it starts before the picture).
    const int64_t videoOffset = dec.streamTime(Packet::Video, part.in);
    const int64_t audioOffset = audio ? dec.streamTime(Packet::Audio, part.in) : 0;
    const double soundEnd = part.out + frame;
    bool soundDone = audio == nullptr;
    int written = 0;
    auto copySound = [&](const DecoderCtx::PacketTimes &times) {
        if (std::isnan(times.pts) || soundDone)
            return;
        soundDone = times.pts >= soundEnd;
        if (!soundDone && times.end > part.in + kTimeSlackSec && written >= 0)
            written = out.enc.writeCopy(dec.packet(), audio, audioOffset);
    };
    CutCheck cut(first, last, frame, true);
    if (!readUntilTold(cut, [&](Packet kind) {
            const DecoderCtx::PacketTimes times = dec.packetTimes(kind);
            if (kind == Packet::Video && cut.take(times)) {
                written = written < 0 ? written : out.enc.writeCopy(dec.packet(), video, videoOffset);
                ++out.pictures;
                reportProgress(out, times.pts - part.in);
            } else if (kind == Packet::Audio) {
                copySound(times);
            }
        }))
        return QStringLiteral("已取消");
    // The sound after the last picture, up to where it ends.
    while (cut.verdict() == CutCheck::Verdict::Clean && !soundDone && written >= 0) {
        Packet kind;
        if (dec.readPacket(kind) < 0 || m_abort)
            break;
        if (kind == Packet::Audio)
            copySound(dec.packetTimes(kind));
    }
    if (m_abort)
        return QStringLiteral("已取消");
    if (written < 0)
        return writeError(written);
    if (cut.verdict() != CutCheck::Verdict::Clean) {
        // The in point is not a key picture (or the pictures came in an
        // order the end's reading did not see): encoded after all, over
        // what was written.
        blog(LOG_INFO, "[Zerka] 导出片段的入点不在关键画面上,重新编码");
        out.enc.closeAll();
        out.pictures = 0;
        out.percent = -1;
        return QString();
    }
    out.open = out.copied = true;
    return QString();
}

QString ClipExport::writePart(const Part &part, Output &out)
{
    std::atomic<bool> finished{false};
    DecoderCtx dec;
    QString error = dec.openInput(part.source, &m_abort, part.growing ? &m_follow : &finished, false);
    if (!error.isEmpty())
        return QStringLiteral("读不了源文件: ") + error;
    if (!dec.seekTo(part.in))
        return QStringLiteral("源文件里找不到入点");

    // A picture belongs to the part when its time is within half a picture
    // of the points (a time kept in a coarser unit than the player's).
    const double frame = 1.0 / dec.fps();
    const double first = part.in - frame / 2, last = part.out + frame / 2;

    if (!out.open) {
        StreamCtx::Format format;
        format.width = dec.width();
        format.height = dec.height();
        format.rate = av_d2q(dec.fps(), 1001000);
        // About the source's rate, but never so little that the encoder starts
        // on grey (a source of still pictures states next to nothing).
        const double usual = kBitsPerPixel * dec.width() * dec.height() * dec.fps();
        format.kbps = int(std::max(double(dec.videoBitRate()), usual / 2) / 1000);
        format.sound = out.sound = dec.hasAudio();
        format.live = false;
        error = out.enc.openFile(out.path, out.muxer, format);
        if (!error.isEmpty())
            return error;
        out.open = true;
    }

    bool picturesDone = false, soundDone = !out.sound || !dec.hasAudio(); // silence fills a part without sound
    // The part runs from its first picture to the end of its last, its
    // sound with it: parts follow one another on the pictures' own grid.
    double start = NAN, lastPts = NAN;
    int64_t soundLength = 0;        // at most this much; at the end, exactly the pictures'
    QByteArray pcm;
    QVector<std::pair<double, QByteArray>> early; // sound decoded before the first picture
    int64_t soundAt = 0;            // samples of this part placed
    constexpr int kBlock = 1024;    // AAC's frame
    constexpr int kBlockBytes = kBlock * Pcm::kBytesPerFrame;
    // Silence where the source has none (a gap, a part without sound).
    auto silence = [&](int64_t samples) {
        out.pending.append(QByteArray(samples * Pcm::kBytesPerFrame, '\0'));
        soundAt += samples;
    };
    // The file's samples before this part: its sample k is the file's base + k.
    const int64_t base = out.sent + out.pending.size() / Pcm::kBytesPerFrame;
    // The sound is encoded only as far as the pictures have gone (to the end
    // of the last one), so that what comes after the part's last picture
    // (a file that ends early: the rest of a split file) is left out.
    auto pictureEnd = [&]() -> int64_t {
        return std::isnan(lastPts) ? int64_t(0) : std::llround((lastPts + frame - start) * Pcm::kSampleRate);
    };
    auto flushSound = [&](int64_t upTo) -> int {
        for (; out.pending.size() >= kBlockBytes && out.sent + kBlock <= base + upTo; out.sent += kBlock) {
            if (out.enc.encodeAudio(out.pending.left(kBlockBytes), out.sent) < 0)
                return -1;
            out.pending.remove(0, kBlockBytes);
        }
        return 0;
    };
    // A block of sound at `pts`: silence fills a gap, what the part already
    // has or what comes before it is left out.
    auto place = [&](double pts, const QByteArray &block) {
        const int64_t at = std::llround((pts - start) * Pcm::kSampleRate);
        const int64_t samples = block.size() / Pcm::kBytesPerFrame;
        if (at > soundAt)
            silence(qMin(at, soundLength) - soundAt);
        const int64_t from = soundAt - at;
        const int64_t take = qMin(samples - from, soundLength - soundAt);
        if (take > 0 && from >= 0) {
            out.pending.append(block.constData() + from * Pcm::kBytesPerFrame, take * Pcm::kBytesPerFrame);
            soundAt += take;
        }
        soundDone = soundAt >= soundLength;
    };
    auto takePictures = [&]() -> int {
        bool timed = false;
        double pts = 0;
        while (const AVFrame *picture = dec.receivePicture(timed, pts)) {
            if (!timed || pts < first)
                continue;
            if (pts > last) {
                picturesDone = true;
                continue;
            }
            if (std::isnan(start)) {
                start = pts;
                soundLength = std::llround((last + frame - start) * Pcm::kSampleRate);
                for (const auto &[at, block] : early)
                    place(at, block);
                early.clear();
            }
            const int64_t ms = std::llround((out.at + pts - start) * 1000);
            if (out.enc.encodePicture(Picture::fromFrame(picture), ms) < 0)
                return -1;
            lastPts = pts;
            ++out.pictures;
            reportProgress(out, out.done + pts - part.in);
        }
        return 0;
    };
    auto takeSound = [&]() -> int {
        bool timed = false;
        double pts = 0;
        while (dec.receiveSound(pcm, timed, pts)) {
            if (!timed || soundDone)
                continue;
            if (std::isnan(start))
                early.append({pts, pcm});
            else
                place(pts, pcm);
            if (flushSound(pictureEnd()) < 0)
                return -1;
        }
        return 0;
    };

    int failed = 0;
    while (failed == 0 && !(picturesDone && soundDone)) {
        DecoderCtx::Packet kind;
        const int ret = dec.readPacket(kind);
        if (m_abort)
            return QStringLiteral("已取消");
        if (ret < 0) {
            // The end of what there is (or a file that cannot be read on):
            // the decoders give up what they hold.
            dec.endOfStream();
            if (dec.sendVideo())
                failed = takePictures();
            if (failed == 0 && dec.hasAudio() && out.sound && dec.sendAudio())
                failed = takeSound();
            break;
        }
        if (kind == DecoderCtx::Packet::Video && dec.sendVideo())
            failed = takePictures();
        else if (kind == DecoderCtx::Packet::Audio && out.sound && dec.sendAudio())
            failed = takeSound();
    }
    // The part ends with its last picture (sooner than asked where its file
    // ends first), its sound with it: what came after is still pending.
    soundLength = pictureEnd();
    if (soundAt > soundLength) {
        out.pending.chop((soundAt - soundLength) * Pcm::kBytesPerFrame);
        soundAt = soundLength;
    }
    // The next part starts where this one's sound ends: no gap, no overlap.
    if (failed == 0 && out.sound) {
        silence(soundLength - soundAt);
        failed = flushSound(soundLength);
    }
    if (failed < 0)
        return writeError(out.enc.lastError());
    out.at += double(soundLength) / Pcm::kSampleRate;
    out.done += part.out - part.in;
    return QString();
}
