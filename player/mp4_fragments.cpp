#include "mp4_fragments.h"

#include <cstring>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// A 'moof' holds sample tables only; anything larger is not one we wrote.
constexpr int64_t kMaxMoofBytes = 8 * 1024 * 1024;

uint32_t be32(const uint8_t *p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

uint64_t be64(const uint8_t *p)
{
    return uint64_t(be32(p)) << 32 | be32(p + 4);
}

bool isType(const uint8_t *p, const char *type)
{
    return memcmp(p, type, 4) == 0;
}

struct Box {
    int64_t size = 0;   // whole box, header included
    int header = 8;
    uint8_t type[4] = {};
};

// A box header from `head` (`got` bytes of it at hand) in a container with
// `left` bytes from the header on; false when the header or the box does
// not fit (for a growing file: not written whole yet).
bool decodeHeader(const uint8_t *head, int64_t got, int64_t left, Box &box)
{
    if (got < 8)
        return false;
    box.size = be32(head);
    memcpy(box.type, head + 4, 4);
    box.header = 8;
    if (box.size == 1) {
        if (got < 16)
            return false;
        box.size = int64_t(be64(head + 8));
        box.header = 16;
    } else if (box.size == 0) {
        box.size = left; // runs to the end
    }
    return box.size >= box.header && box.size <= left;
}

bool parseHeader(const uint8_t *at, int64_t avail, Box &box)
{
    return decodeHeader(at, avail, avail, box);
}

// The decode time of `trackId` in one 'moof', or -1.
int64_t moofDecodeTime(const uint8_t *moof, int64_t size, uint32_t trackId)
{
    Box box;
    for (int64_t at = 8; parseHeader(moof + at, size - at, box); at += box.size) {
        if (!isType(box.type, "traf"))
            continue;
        const uint8_t *traf = moof + at;
        uint32_t track = 0;
        int64_t time = -1;
        Box child;
        for (int64_t in = box.header; parseHeader(traf + in, box.size - in, child); in += child.size) {
            const uint8_t *body = traf + in + child.header;
            const int64_t bodySize = child.size - child.header;
            if (isType(child.type, "tfhd") && bodySize >= 8)
                track = be32(body + 4);
            else if (isType(child.type, "tfdt") && bodySize >= 8)
                time = body[0] == 1 && bodySize >= 12 ? int64_t(be64(body + 4)) : int64_t(be32(body + 4));
        }
        if (track == trackId)
            return time;
    }
    return -1;
}

// A top-level box at `pos`; false when its header or its body is not yet
// in the file (`left` bytes from `pos` to the end).
bool readHeader(int fd, int64_t pos, int64_t left, Box &box)
{
    uint8_t head[16];
    return decodeHeader(head, pread(fd, head, sizeof(head), pos), left, box);
}

} // namespace

namespace Mp4Fragments {

bool isFragmented(int fd)
{
    struct stat st;
    if (fstat(fd, &st) != 0)
        return false;
    Box box;
    for (int64_t pos = 0; readHeader(fd, pos, st.st_size - pos, box); pos += box.size) {
        if (!isType(box.type, "moov"))
            continue;
        Box child;
        const int64_t end = pos + box.size;
        for (int64_t at = pos + box.header; readHeader(fd, at, end - at, child); at += child.size)
            if (isType(child.type, "mvex"))
                return true;
        return false;
    }
    return false;
}

bool reindexedWhenFinished(int fd)
{
    struct stat st;
    Box ftyp, room;
    return fstat(fd, &st) == 0 && readHeader(fd, 0, st.st_size, ftyp) && isType(ftyp.type, "ftyp") &&
           readHeader(fd, ftyp.size, st.st_size - ftyp.size, room) && isType(room.type, "free") && room.size == 16;
}

Fragment find(int fd, uint32_t trackId, int64_t decodeTime)
{
    Fragment found;
    struct stat st;
    if (fstat(fd, &st) != 0)
        return found;
    const int64_t fileSize = st.st_size;
    std::vector<uint8_t> moof;
    Box box;
    for (int64_t pos = 0; readHeader(fd, pos, fileSize - pos, box); pos += box.size) {
        if (isType(box.type, "moov"))
            found.moovEnd = pos + box.size;
        if (!isType(box.type, "moof") || found.moovEnd < 0 || box.size > kMaxMoofBytes)
            continue;
        moof.resize(size_t(box.size));
        if (pread(fd, moof.data(), moof.size(), pos) != ssize_t(moof.size()))
            break;
        const int64_t time = moofDecodeTime(moof.data(), box.size, trackId);
        if (time < 0)
            continue;
        if (found.moofOffset >= 0 && time > decodeTime)
            break;
        found.moofOffset = pos;
    }
    return found;
}

} // namespace Mp4Fragments
