#include "fault_pread.h"

#include <atomic>
#include <cerrno>

#include <sys/syscall.h>
#include <unistd.h>

namespace {

std::atomic<int> g_toFail{0};
std::atomic<int> g_errno{0};
std::atomic<int> g_failed{0};

} // namespace

namespace FaultPread {

void failNext(int count, int err)
{
    g_errno = err;
    g_toFail = count;
}

int pending()
{
    return g_toFail;
}

int failedCalls()
{
    return g_failed;
}

} // namespace FaultPread

extern "C" ssize_t pread(int fd, void *buf, size_t count, off_t offset)
{
    int left = g_toFail.load();
    while (left > 0) {
        if (g_toFail.compare_exchange_weak(left, left - 1)) {
            ++g_failed;
            errno = g_errno;
            return -1;
        }
    }
    return syscall(SYS_pread64, fd, buf, count, offset);
}
