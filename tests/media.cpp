#include "media.h"

#include "test_support.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <csignal>

namespace {

const QStringList kPicture{"-f", "lavfi", "-i", "testsrc2=size=320x240:rate=30"};
const QStringList kTone{"-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000"};
const QStringList kH264{"-c:v", "libx264", "-preset", "veryfast", "-g", "30", "-pix_fmt", "yuv420p"};
const QStringList kAac{"-c:a", "aac", "-ac", "2", "-ar", "48000"};

bool ffmpeg(const QStringList &args, const QString &out)
{
    const QString partial = out + ".part" + QFileInfo(out).suffix().prepend('.');
    QStringList all{"-v", "error", "-y"};
    all << args << partial;
    if (TestSupport::run("ffmpeg", all, nullptr, 300000) != 0)
        return false;
    QFile::remove(out);
    return QFile::rename(partial, out);
}

bool writeBytes(const QString &out, const QByteArray &bytes)
{
    QFile file(out);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray readAll(const QString &in)
{
    QFile file(in);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool make(const QString &name, const QString &out)
{
    const QString suffix = QFileInfo(name).suffix();
    if (name == "av20.mp4")
        return ffmpeg(kPicture + kTone + QStringList{"-t", "20"} + kH264 + kAac + QStringList{"-movflags", "+faststart"}, out);
    if (name == "tone1k.mp4")
        return ffmpeg(kPicture + QStringList{"-f", "lavfi", "-i", "sine=frequency=1000:sample_rate=48000,volume=16dB", "-t", "20"} +
                              kH264 + kAac,
                      out);
    if (name.startsWith("av.")) {
        QStringList extra;
        if (suffix == "ts")
            extra << "-f" << "mpegts";
        return ffmpeg(kPicture + kTone + QStringList{"-t", "3"} + kH264 + kAac + extra, out);
    }
    if (name.startsWith("tail")) { // tail0.6.mp4: 2.5 s of pictures, the sound ends 0.6 s before them
        const double tail = name.mid(4, name.size() - 8).toDouble();
        const QString tone = QString("sine=frequency=440:sample_rate=48000:duration=%1").arg(2.5 - tail);
        return ffmpeg(QStringList{"-f", "lavfi", "-i", "testsrc2=size=320x240:rate=30:duration=2.5", "-f", "lavfi", "-i", tone} +
                              kH264 + kAac,
                      out);
    }
    if (name == "vfr.mp4") // pictures a recorder skipped: gaps of 2 and 4 picture times
        return ffmpeg(kPicture + kTone + QStringList{"-t", "5", "-vf", "select='not(between(n,31,33))*not(eq(n,45))'",
                                                     "-fps_mode", "passthrough"} + kH264 + kAac, out);
    if (name == "noise.mp4") // pictures that do not compress
        return ffmpeg({"-f", "lavfi", "-i", "nullsrc=s=640x360:r=30,geq=random(1)*255:128:128", "-t", "4", "-c:v",
                       "libx264", "-preset", "ultrafast", "-qp", "20"}, out);
    if (name == "short.mp4")
        return ffmpeg(kPicture + QStringList{"-t", "2"} + kH264, out);
    if (name == "no_pts.h264")
        return ffmpeg(kPicture + QStringList{"-t", "2"} + kH264 + QStringList{"-f", "h264"}, out);
    if (name == "audio_only.m4a")
        return ffmpeg(kTone + QStringList{"-t", "2"} + kAac, out);
    if (name == "bad_audio.avi" || name == "no_decoder.avi") { // a codec tag no decoder knows
        const bool audio = name == "bad_audio.avi";
        return ffmpeg(kPicture + kTone + QStringList{"-t", "2", "-c:v", "mjpeg", "-c:a", "pcm_s16le", "-strict", "-1",
                                                    audio ? "-tag:a" : "-tag:v", audio ? "0x9999" : "ZZZZ"},
                      out);
    }
    if (name == "sync.mkv") {
        const QString click = "if(lt(mod(t\\,1)\\,0.005)\\,0.9*sin(2*PI*1000*t)\\,0)";
        return ffmpeg({"-f", "lavfi", "-i",
                       "color=c=black:s=320x240:r=30,drawbox=x=0:y=0:w=iw:h=ih:color=white:t=fill:"
                       "enable='lt(mod(t,1),0.03)'",
                       "-f", "lavfi", "-i", QString("aevalsrc=%1|%1:s=48000").arg(click), "-t", "60", "-c:v",
                       "libx264", "-preset", "veryfast", "-g", "30", "-pix_fmt", "yuv420p", "-c:a", "aac", "-b:a",
                       "192k"},
                      out);
    }
    if (name.startsWith("bars")) { // colour bars: HD as BT.709 (tagged or not), SD as BT.601, full range
        const bool sd = name == "bars601.mp4", full = name == "barsfull.mp4", tagged = name != "barshd.mp4" && !sd;
        QStringList args{"-f", "lavfi", "-i", sd ? "smptebars=size=640x480:rate=30" : "smptehdbars=size=1280x720:rate=30",
                         "-t", "1", "-vf",
                         QString("scale=out_color_matrix=%1:out_range=%2,format=yuv420p").arg(sd ? "bt601" : "bt709", full ? "pc" : "tv")};
        args << kH264;
        if (tagged)
            args << "-colorspace" << "bt709" << "-color_primaries" << "bt709" << "-color_trc" << "bt709";
        if (full)
            args << "-color_range" << "pc";
        return ffmpeg(args, out);
    }
    if (name == "sync3.mp4")
        return ffmpeg({"-i", Media::path("sync.mkv"), "-t", "2.98", "-c", "copy"}, out); // without the flash at 3 s
    if (name == "empty.mp4")
        return writeBytes(out, QByteArray());
    if (name == "truncated.mp4") {
        const QByteArray whole = readAll(Media::path("av20.mp4"));
        return !whole.isEmpty() && writeBytes(out, whole.left(whole.size() * 4 / 10));
    }
    if (name == "corrupt.mp4") {
        QByteArray data = readAll(Media::path("av20.mp4"));
        QRandomGenerator random(7);
        for (int i = data.size() / 2; i < data.size() / 2 + 60000 && i < data.size(); ++i)
            data[i] = char(random.bounded(256));
        return !data.isEmpty() && writeBytes(out, data);
    }
    if (name == "garbage.mp4") {
        QByteArray data(200000, Qt::Uninitialized);
        QRandomGenerator random(11);
        for (char &c : data)
            c = char(random.bounded(256));
        return writeBytes(out, data);
    }
    return false;
}

} // namespace

namespace Media {

QString path(const QString &name)
{
    QDir dir(ZK_MEDIA_DIR);
    dir.mkpath(".");
    const QString out = dir.filePath(name);
    if (!QFileInfo::exists(out) && !make(name, out))
        qWarning("could not make test media %s", qPrintable(name));
    return out;
}

Writer::Writer(const QString &file, const QString &container)
{
    QStringList args{"-hide_banner", "-loglevel", "error", "-nostdin", "-y", "-re"};
    // A constant 2 Mbit/s so that the writer's 256 KiB buffer reaches the
    // file about once a second, as a real recording's does.
    args << kPicture << "-re" << kTone << kH264 << "-b:v" << "2M" << "-minrate" << "2M" << "-maxrate" << "2M"
         << "-bufsize" << "1M" << "-x264-params" << "nal-hrd=cbr" << kAac;
    if (container == "fmp4")
        args << "-movflags" << "+frag_keyframe+empty_moov+default_base_moof" << "-f" << "mp4";
    else
        args << "-f" << "matroska";
    m_process.start("ffmpeg", args << file);
    m_process.waitForStarted();
}

void Writer::finish()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    kill(pid_t(pid()), SIGCONT); // in case a test left it stalled
    kill(pid_t(pid()), SIGINT);
    if (!m_process.waitForFinished(10000))
        m_process.kill();
    m_process.waitForFinished();
}

} // namespace Media
