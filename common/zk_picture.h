#pragma once

// A picture as the engines pass it around: FFmpeg's reference-counted
// frame in the pixel format it was made in (the decoder's YUV; a still's
// RGB32), shared by reference. Handing a picture to every output copies a
// pointer, never pixels: the stream encodes the decoder's YUV as it is, the
// host gets it as it is, and what has to draw RGB converts at the size it
// draws, through a PictureScaler of its own.

#include <QImage>
#include <QSize>

#include <memory>

extern "C" {
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

class Picture {
public:
    Picture() = default;
    // A new reference to `frame`'s buffers; null when it has none (or no
    // memory for the reference).
    static Picture fromFrame(const AVFrame *frame);
    // A still: the image's pixels in RGB32 (converted first when they are
    // not), shared with the image rather than copied.
    static Picture fromImage(const QImage &image);
    // Black, in the decoder's usual YUV (limited range).
    static Picture black(QSize size);

    bool isNull() const { return !m_frame; }
    QSize size() const { return m_frame ? QSize(m_frame->width, m_frame->height) : QSize(); }
    const AVFrame *frame() const { return m_frame.get(); }
    // The same picture (the same frame), not merely the same pixels.
    bool operator==(const Picture &other) const { return m_frame == other.m_frame; }
    bool operator!=(const Picture &other) const { return m_frame != other.m_frame; }

    // How its YUV is to be read: as the file says, else as HD and SD video
    // is made (BT.709 from 720 lines up, BT.601 below); limited range
    // unless the file says full.
    bool isBt709() const;
    bool isFullRange() const;

private:
    std::shared_ptr<AVFrame> m_frame;
};

// Converts pictures for one user (one thread at a time), keeping its
// converter between pictures.
class PictureScaler {
public:
    PictureScaler() = default;
    PictureScaler(const PictureScaler &) = delete;
    PictureScaler &operator=(const PictureScaler &) = delete;
    ~PictureScaler();

    // The picture stretched to `size`, RGB32; null when it cannot be
    // converted. Made smaller, each pixel is the nearest one (as a painter
    // draws an image): what it costs follows the size drawn, not the
    // picture's, which a filter over the whole picture would not.
    QImage toImage(const Picture &picture, QSize size);
    // The same into `image`, whose memory is reused when it is already that
    // size and nobody else holds it (a full-screen picture is 8 MB: a new
    // one each time costs the kernel its pages again); null when it cannot
    // be converted.
    void toImage(const Picture &picture, QSize size, QImage &image);
    // The picture stretched into `rect` of `image` (RGB32 or ARGB32), in
    // the memory a painter on the image writes to, opaque: a window's own
    // memory, say, with nothing kept in between. False when it cannot be
    // converted.
    bool drawInto(const Picture &picture, QImage &image, const QRect &rect);
    // The picture stretched into `frame` (allocated and writable, its
    // format and size), YUV written as BT.709 limited range. False when it
    // cannot be converted.
    bool scaleInto(const Picture &picture, AVFrame *frame);

private:
    bool convert(const Picture &picture, uint8_t *const planes[], const int strides[], int width, int height,
                 AVPixelFormat format, int method);
    bool toRgb(const Picture &picture, uint8_t *bits, int stride, QSize size);

    SwsContext *m_sws = nullptr;
    // What m_sws was made for, its colours included.
    struct Setup {
        int srcWidth = 0, srcHeight = 0, srcFormat = -1, width = 0, height = 0, format = -1, method = 0;
        bool bt709 = false, fullRange = false;
        bool operator==(const Setup &o) const
        {
            return srcWidth == o.srcWidth && srcHeight == o.srcHeight && srcFormat == o.srcFormat &&
                   width == o.width && height == o.height && format == o.format && method == o.method &&
                   bt709 == o.bt709 &&
                   fullRange == o.fullRange;
        }
    } m_setup;
};
