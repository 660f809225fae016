#pragma once

// Finds the fragments of a fragmented MP4 recording (ISO base media file
// format) by walking its top-level boxes with pread: where the 'moov' ends
// and which 'moof' holds a given decode time of a track. The walk stops at
// the first box the writer has not finished, so a growing file is safe.
// Used on the decode thread to start the demuxer at a chosen fragment.

#include <cstdint>

namespace Mp4Fragments {

// True when the file's 'moov' announces fragments (holds an 'mvex').
bool isFragmented(int fd);
// True when the file keeps room after its 'ftyp' for the header of the
// finished file (a 16-byte 'free' box before the 'moov'): OBS's Hybrid MP4,
// which indexes the whole file anew when the recording ends.
bool reindexedWhenFinished(int fd);

struct Fragment {
    int64_t moofOffset = -1; // -1: none found
    int64_t moovEnd = -1;    // where the box after the 'moov' starts
};

// The last fragment whose decode time for `trackId` is at or before
// `decodeTime` (in the track's time scale), else the first fragment.
Fragment find(int fd, uint32_t trackId, int64_t decodeTime);

} // namespace Mp4Fragments
