#include "growing_io.h"

#include <obs-module.h>

extern "C" {
#include <libavformat/avio.h>
#include <libavutil/error.h>
}

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// A writer appends every few milliseconds to a second; 20 ms keeps the
// delay small without spinning.
constexpr int kPollMs = 20;
// After this long at the live edge the wait is worth one log line.
constexpr int kWaitLogMs = 1000;

void applyOverlay(const GrowingIO *io, uint8_t *buf, int64_t n)
{
    const int64_t from = std::max(io->pos, io->overlayPos);
    const int64_t to = std::min(io->pos + n, io->overlayPos + io->overlayLen);
    for (int64_t at = from; at < to; ++at)
        buf[at - io->pos] = io->overlay[at - io->overlayPos];
}

bool sizeHidden(const GrowingIO *io)
{
    return io->fragmented && io->followFlag && io->followFlag->load();
}

} // namespace

extern "C" int zk_io_read(void *opaque, uint8_t *buf, int bufSize)
{
    auto *io = static_cast<GrowingIO *>(opaque);
    int waitedMs = 0;
    for (;;) {
        const ssize_t n = pread(io->fd, buf, static_cast<size_t>(bufSize), io->pos);
        if (n > 0) {
            if (waitedMs >= kWaitLogMs)
                blog(LOG_INFO, "[ZKPlayer] IO 恢复:等了 %d ms 后 pos=%lld 有数据", waitedMs,
                     static_cast<long long>(io->pos));
            if (io->overlayPos >= 0)
                applyOverlay(io, buf, n);
            io->pos += n;
            io->eofLogged = false;
            return static_cast<int>(n);
        }
        if (n < 0) {
            const int err = errno;
            if (err == EINTR)
                continue;
            blog(LOG_WARNING, "[ZKPlayer] IO 读错误 errno=%d pos=%lld", err, static_cast<long long>(io->pos));
            return AVERROR(err);
        }
        // Nothing at pos yet. A stop request wins over the end of the file;
        // a seek must not wait for the writer (its recording may be paused).
        if ((io->abortFlag && io->abortFlag->load()) || (io->wakeFlag && io->wakeFlag->load()))
            return AVERROR_EXIT;
        if (!io->followFlag || !io->followFlag->load()) {
            // The demuxer asks again on every pass at the end: log the arrival once.
            if (!io->eofLogged)
                blog(LOG_INFO, "[ZKPlayer] IO 返回 EOF(follow=0) pos=%lld", static_cast<long long>(io->pos));
            io->eofLogged = true;
            return AVERROR_EOF;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
        waitedMs += kPollMs;
        if (waitedMs == kWaitLogMs)
            blog(LOG_INFO, "[ZKPlayer] IO 在 live edge 等待写入 pos=%lld", static_cast<long long>(io->pos));
    }
}

extern "C" int64_t zk_io_seek(void *opaque, int64_t offset, int whence)
{
    auto *io = static_cast<GrowingIO *>(opaque);
    struct stat st;
    const int how = whence & ~AVSEEK_FORCE;
    if (how != AVSEEK_SIZE)
        io->eofLogged = false;
    switch (how) {
    case SEEK_SET:
        io->pos = offset;
        return io->pos;
    case SEEK_CUR:
        io->pos += offset;
        return io->pos;
    case SEEK_END:
        // A finished file's end; a fragmented one still being written has
        // none yet (see AVSEEK_SIZE).
        if (sizeHidden(io))
            return AVERROR(ENOSYS);
        if (fstat(io->fd, &st) != 0)
            return AVERROR(errno);
        io->pos = st.st_size + offset;
        return io->pos;
    case AVSEEK_SIZE:
        // A fragmented MP4 still being written has no size yet. Told the
        // size of the moment, FFmpeg cuts a packet that reaches past it
        // short (a writer that appends a fragment in pieces, as OBS's Hybrid
        // MP4 writer does, leaves half a picture there), and may then lose
        // its way. Other files keep theirs: an MP4 indexed at its end (or
        // not yet indexed) is read to its size while the header is parsed,
        // and would otherwise wait for the writer there.
        if (sizeHidden(io))
            return AVERROR(ENOSYS);
        if (fstat(io->fd, &st) != 0)
            return AVERROR(errno);
        return st.st_size;
    default:
        return -1;
    }
}
