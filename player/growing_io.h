#pragma once

// A byte source for the demuxer over a file that may still be growing.
// Reads use explicit offsets; while the player follows a recording, a read
// that finds no bytes waits for the writer instead of reporting the end.
// Both callbacks run only on the player's decode thread.
//
// An overlay can replace a few bytes of the file as the demuxer sees them:
// the decoder context uses it to put a 'free' box header after an MP4's
// 'moov', so that the demuxer skips straight to a chosen fragment.

#include <atomic>
#include <cstdint>

struct GrowingIO {
    int fd = -1;                               // opened read-only by DecoderCtx; -1 when closed
    int64_t pos = 0;                           // offset of the next read (never the descriptor's own offset)
    std::atomic<bool> *abortFlag = nullptr;    // the player's stop request: a waiting read gives up
    std::atomic<bool> *followFlag = nullptr;   // set: an empty read waits for the writer
    std::atomic<bool> *wakeFlag = nullptr;     // set: a waiting read gives up (a seek is waiting)
    bool fragmented = false;                   // a fragmented MP4: while followed, its size is not told
    bool eofLogged = false;                    // the end was logged; again only after data or a seek
    int64_t overlayPos = -1;                   // file offset of the overlay; -1 = none
    int overlayLen = 0;
    uint8_t overlay[16] = {};
};

extern "C" {
// Bytes read (> 0), AVERROR_EOF (end, not following), AVERROR_EXIT (stop
// requested, or a seek waiting, while no data was there) or AVERROR(errno).
int zk_io_read(void *opaque, uint8_t *buf, int bufSize);
// New position, the current file size for AVSEEK_SIZE, or a negative error.
int64_t zk_io_seek(void *opaque, int64_t offset, int whence);
}
