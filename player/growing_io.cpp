#include "growing_io.h"

#include <obs-module.h>

extern "C" {
#include <libavformat/avio.h>
#include <libavutil/error.h>
}

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
            io->pos += n;
            return static_cast<int>(n);
        }
        if (n < 0) {
            const int err = errno;
            if (err == EINTR)
                continue;
            blog(LOG_WARNING, "[ZKPlayer] IO 读错误 errno=%d pos=%lld", err, static_cast<long long>(io->pos));
            return AVERROR(err);
        }
        // Nothing at pos yet. A stop request wins over the end of the file.
        if (io->abortFlag && io->abortFlag->load())
            return AVERROR_EXIT;
        if (!io->followFlag || !io->followFlag->load()) {
            blog(LOG_INFO, "[ZKPlayer] IO 返回 EOF(follow=0) pos=%lld", static_cast<long long>(io->pos));
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
    switch (whence & ~AVSEEK_FORCE) {
    case SEEK_SET:
        io->pos = offset;
        return io->pos;
    case SEEK_CUR:
        io->pos += offset;
        return io->pos;
    case SEEK_END:
        // The size is read afresh every time: the file may have grown.
        if (fstat(io->fd, &st) != 0)
            return AVERROR(errno);
        io->pos = st.st_size + offset;
        return io->pos;
    case AVSEEK_SIZE:
        if (fstat(io->fd, &st) != 0)
            return AVERROR(errno);
        return st.st_size;
    default:
        return -1;
    }
}
