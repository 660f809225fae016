#include "clip_export.h"

#include "decoder_ctx.h"
#include "stream_ctx.h"

#include <obs-module.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cmath>

namespace {

// About what a recorder spends on a picture of a size (1080p at 30: 6 Mbit/s).
constexpr double kBitsPerPixel = 0.1;

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

QString ClipExport::targetFor(const QString &source, double in)
{
    const QFileInfo info(source);
    QString suffix = info.suffix().toLower();
    if (!av_guess_format(nullptr, source.toUtf8().constData(), nullptr))
        suffix = QStringLiteral("mkv");
    const QString base = info.dir().filePath(info.completeBaseName() + QLatin1Char(' ') + stamp(in));
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
    m_follow = request.growing;
    m_source = request.source;
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
    const QString error = write(request, partial, pictures);
    // Checked last: a cancel that came while the file was finished still removes it.
    const bool keep = error.isEmpty() && !m_abort && QFile::rename(partial, request.target);
    if (!keep)
        QFile::remove(partial);
    m_running = false;
    if (m_quiet)
        return;
    if (keep) {
        blog(LOG_INFO, "[Zerka] 导出片段 %s (%.3f–%.3f s, %d 幅画面)", request.target.toUtf8().constData(), request.in,
             request.out, pictures);
        emit exported(request.target, pictures);
    } else if (m_abort) {
        blog(LOG_INFO, "[Zerka] 导出片段已取消,未留下文件");
        emit cancelled();
    } else {
        const QString reason = error.isEmpty() ? QStringLiteral("改名失败: ") + request.target : error;
        blog(LOG_WARNING, "[Zerka] 导出片段失败: %s", reason.toUtf8().constData());
        emit failed(reason);
    }
}

QString ClipExport::write(const Request &request, const QString &partial, int &pictures)
{
    DecoderCtx dec;
    QString error = dec.openInput(request.source, &m_abort, &m_follow, false);
    if (!error.isEmpty())
        return QStringLiteral("读不了源文件: ") + error;
    if (!dec.seekTo(request.in))
        return QStringLiteral("源文件里找不到入点");

    // A picture belongs to the clip when its time is within half a picture
    // of the points (a time kept in a coarser unit than the player's).
    const double frame = 1.0 / dec.fps();
    const double first = request.in - frame / 2, last = request.out + frame / 2;
    // The sound runs to the end of the last picture.
    const int64_t soundLength = std::llround((request.out + frame - request.in) * Pcm::kSampleRate);

    StreamCtx::Format format;
    format.width = dec.width();
    format.height = dec.height();
    format.rate = av_d2q(dec.fps(), 1001000);
    // About the source's rate, but never so little that the encoder starts
    // on grey (a source of still pictures states next to nothing).
    const double usual = kBitsPerPixel * dec.width() * dec.height() * dec.fps();
    format.kbps = int(std::max(double(dec.videoBitRate()), usual / 2) / 1000);
    format.sound = dec.hasAudio();
    format.live = false;
    StreamCtx enc;
    error = enc.openFile(partial, muxerFor(request.target), format);
    if (!error.isEmpty())
        return error;

    bool picturesDone = false, soundDone = !dec.hasAudio();
    int percent = -1;
    QByteArray pcm, pending;       // the sound decoded, and what waits for a whole AAC frame
    int64_t soundAt = 0, sent = 0; // samples of the clip placed, and sent to the encoder
    constexpr int kBlock = 1024;   // AAC's frame
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
            const int64_t ms = std::llround((pts - request.in) * 1000);
            if (enc.encodePicture(Picture::fromFrame(picture), ms) < 0)
                return enc.lastError();
            ++pictures;
            const int now = request.out > request.in ? int(100 * (pts - request.in) / (request.out - request.in)) : 100;
            if (now != percent && !m_quiet)
                emit progress(percent = qBound(0, now, 100));
        }
        return 0;
    };
    auto takeSound = [&]() -> int {
        bool timed = false;
        double pts = 0;
        while (dec.receiveSound(pcm, timed, pts)) {
            if (!timed || soundDone)
                continue;
            // Where the block starts in the clip: silence fills a gap, what
            // the clip already has or what comes before it is left out.
            const int64_t at = std::llround((pts - request.in) * Pcm::kSampleRate);
            const int64_t samples = pcm.size() / Pcm::kBytesPerFrame;
            if (at > soundAt) {
                const int64_t gap = qMin(at, soundLength) - soundAt;
                pending.append(QByteArray(gap * Pcm::kBytesPerFrame, '\0'));
                soundAt += gap;
            }
            const int64_t from = soundAt - at;
            const int64_t take = qMin(samples - from, soundLength - soundAt);
            if (take > 0 && from >= 0) {
                pending.append(pcm.constData() + from * Pcm::kBytesPerFrame, take * Pcm::kBytesPerFrame);
                soundAt += take;
            }
            soundDone = soundAt >= soundLength;
            for (; pending.size() >= kBlock * Pcm::kBytesPerFrame; sent += kBlock) {
                if (enc.encodeAudio(pending.left(kBlock * Pcm::kBytesPerFrame), sent) < 0)
                    return enc.lastError();
                pending.remove(0, kBlock * Pcm::kBytesPerFrame);
            }
        }
        return 0;
    };

    int written = 0;
    while (written == 0 && !(picturesDone && soundDone)) {
        DecoderCtx::Packet kind;
        const int ret = dec.readPacket(kind);
        if (m_abort)
            return QStringLiteral("已取消");
        if (ret < 0) {
            // The end of what there is (or a file that cannot be read on):
            // the decoders give up what they hold.
            dec.endOfStream();
            if (dec.sendVideo())
                written = takePictures();
            if (written == 0 && dec.hasAudio() && dec.sendAudio())
                written = takeSound();
            break;
        }
        if (kind == DecoderCtx::Packet::Video && dec.sendVideo())
            written = takePictures();
        else if (kind == DecoderCtx::Packet::Audio && dec.sendAudio())
            written = takeSound();
    }
    if (written == 0 && !pending.isEmpty())
        written = enc.encodeAudio(pending, sent) < 0 ? enc.lastError() : 0; // the rest, filled with silence
    if (written < 0)
        return writeError(written);
    if (pictures == 0)
        return QStringLiteral("入点到出点之间没有画面");
    written = enc.finish();
    return written < 0 ? writeError(written) : QString();
}
