#pragma once

// Test media, made with the FFmpeg command-line tool the first time a test
// asks for them and kept in the build tree. Names:
//   av20.mp4      20 s, 320x240 30 fps H.264 + 48 kHz stereo AAC, a key frame every second
//   tone1k.mp4    20 s like av20.mp4, with a 1000 Hz tone peaking at -4 dBFS (av20's at -21): told apart by ear and meter
//   av.mp4 .mkv .mov .flv .ts   3 s, the same streams in each container
//   tail0.6.mp4 tail2.mp4   2.5 s of pictures whose sound ends 0.6 or 2 s before them
//   vfr.mp4       5 s like av20.mp4, pictures 31 to 33 and 45 left out (their times kept)
//   short.mp4     2 s, video only
//   noise.mp4     4 s of 640x360 noise, video only
//   no_pts.h264   raw H.264 elementary stream: no timestamps at all
//   audio_only.m4a
//   bad_audio.avi video whose audio codec tag no decoder knows
//   no_decoder.avi video codec tag no decoder knows
//   empty.mp4     0 bytes
//   truncated.mp4 the first 40 % of av20.mp4 (index at the front)
//   corrupt.mp4   av20.mp4 with a run of garbage in the middle
//   garbage.mp4   random bytes
//   sync.mkv      60 s: a white picture and a 5 ms click at every whole second, black and silent between
//   sync3.mp4     the first 3 s of it, in MP4

#include <QProcess>
#include <QString>

namespace Media {

QString path(const QString &name);

// `ffmpeg -re` writing a growing recording of test picture and tone
// (320x240, 30 fps, a key frame every second) to `file` ("mkv" or "fmp4")
// for the length of a scope; finish() (SIGINT) lets it finish the file.
class Writer {
public:
    Writer(const QString &file, const QString &container);
    ~Writer() { finish(); }
    qint64 pid() const { return m_process.processId(); }
    void finish();

private:
    QProcess m_process;
};

} // namespace Media
