#include "zk_picture.h"

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
}

Picture Picture::fromFrame(const AVFrame *frame)
{
    Picture picture;
    if (!frame || !frame->buf[0])
        return picture;
    AVFrame *ref = av_frame_clone(frame);
    if (ref)
        picture.m_frame.reset(ref, [](AVFrame *f) { av_frame_free(&f); });
    return picture;
}

Picture Picture::fromImage(const QImage &image)
{
    if (image.isNull())
        return {};
    // The frame's buffer keeps a copy of the image (shared, not the pixels)
    // alive for as long as any reference to the picture lives.
    auto *kept = new QImage(image.format() == QImage::Format_RGB32 ? image : image.convertToFormat(QImage::Format_RGB32));
    AVBufferRef *buffer = av_buffer_create(const_cast<uint8_t *>(kept->constBits()), size_t(kept->sizeInBytes()),
                                           [](void *opaque, uint8_t *) { delete static_cast<QImage *>(opaque); },
                                           kept, AV_BUFFER_FLAG_READONLY);
    AVFrame *frame = buffer ? av_frame_alloc() : nullptr;
    if (!frame) {
        if (buffer)
            av_buffer_unref(&buffer); // deletes the copy
        else
            delete kept;
        return {};
    }
    frame->buf[0] = buffer;
    frame->data[0] = buffer->data;
    frame->linesize[0] = int(kept->bytesPerLine());
    frame->width = kept->width();
    frame->height = kept->height();
    frame->format = AV_PIX_FMT_BGRA; // Format_RGB32's bytes on little-endian processors
    frame->color_range = AVCOL_RANGE_JPEG;
    Picture picture;
    picture.m_frame.reset(frame, [](AVFrame *f) { av_frame_free(&f); });
    return picture;
}

Picture Picture::black(QSize size)
{
    AVFrame *frame = av_frame_alloc();
    if (!frame)
        return {};
    Picture picture;
    picture.m_frame.reset(frame, [](AVFrame *f) { av_frame_free(&f); });
    frame->format = AV_PIX_FMT_YUV420P;
    frame->width = size.width();
    frame->height = size.height();
    frame->color_range = AVCOL_RANGE_MPEG;
    if (size.isEmpty() || av_frame_get_buffer(frame, 0) < 0)
        return {};
    const ptrdiff_t strides[4] = {frame->linesize[0], frame->linesize[1], frame->linesize[2], 0};
    if (av_image_fill_black(frame->data, strides, AV_PIX_FMT_YUV420P, AVCOL_RANGE_MPEG, frame->width, frame->height) < 0)
        return {};
    return picture;
}

bool Picture::isBt709() const
{
    if (!m_frame)
        return false;
    switch (m_frame->colorspace) {
    case AVCOL_SPC_BT709:
        return true;
    case AVCOL_SPC_UNSPECIFIED:
    case AVCOL_SPC_RESERVED:
        return m_frame->height >= 720;
    default: // BT.601 and what is close to it
        return false;
    }
}

bool Picture::isFullRange() const
{
    if (!m_frame)
        return false;
    const auto format = static_cast<AVPixelFormat>(m_frame->format);
    const AVPixFmtDescriptor *desc = av_pix_fmt_desc_get(format);
    if (desc && (desc->flags & AV_PIX_FMT_FLAG_RGB))
        return true;
    return m_frame->color_range == AVCOL_RANGE_JPEG || format == AV_PIX_FMT_YUVJ420P ||
           format == AV_PIX_FMT_YUVJ422P || format == AV_PIX_FMT_YUVJ444P;
}

PictureScaler::~PictureScaler()
{
    sws_freeContext(m_sws);
}

bool PictureScaler::convert(const Picture &picture, uint8_t *const planes[], const int strides[], int width,
                            int height, AVPixelFormat format, int method)
{
    const AVFrame *source = picture.frame();
    // Drawn with the nearest pixel at a fraction of the height, only the
    // rows it reads are handed over, by stepping over the others: the
    // scaler otherwise reads every row of the picture (1080 for a monitor's
    // 135). Each plane steps by the same count, so chroma rows stay with
    // their luma rows within one drawn row.
    const int step = method == SWS_POINT ? qMax(1, source->height / qMax(1, height)) : 1;
    const int srcHeight = source->height / step;
    int srcStrides[AV_NUM_DATA_POINTERS] = {};
    for (int i = 0; i < AV_NUM_DATA_POINTERS; ++i)
        srcStrides[i] = source->linesize[i] * step;
    const Setup setup{source->width, srcHeight, source->format, width, height, format, method,
                      picture.isBt709(), picture.isFullRange()};
    if (!(setup == m_setup) || !m_sws) {
        m_sws = sws_getCachedContext(m_sws, source->width, srcHeight, static_cast<AVPixelFormat>(source->format),
                                     width, height, format, method, nullptr, nullptr, nullptr);
        if (!m_sws) {
            m_setup = Setup();
            return false;
        }
        // Read the source's YUV as it was made; RGB comes out full range,
        // YUV as BT.709 limited range (what the stream says it carries).
        const AVPixFmtDescriptor *out = av_pix_fmt_desc_get(format);
        const bool rgbOut = out && (out->flags & AV_PIX_FMT_FLAG_RGB);
        sws_setColorspaceDetails(m_sws, sws_getCoefficients(setup.bt709 ? SWS_CS_ITU709 : SWS_CS_ITU601),
                                 setup.fullRange ? 1 : 0, sws_getCoefficients(SWS_CS_ITU709), rgbOut ? 1 : 0, 0,
                                 1 << 16, 1 << 16);
        m_setup = setup;
    }
    return sws_scale(m_sws, source->data, srcStrides, 0, srcHeight, planes, strides) > 0;
}

QImage PictureScaler::toImage(const Picture &picture, QSize size)
{
    QImage image;
    toImage(picture, size, image);
    return image;
}

void PictureScaler::toImage(const Picture &picture, QSize size, QImage &image)
{
    if (picture.isNull() || size.isEmpty()) {
        image = QImage();
        return;
    }
    if (image.size() != size || image.format() != QImage::Format_RGB32 || !image.isDetached())
        image = QImage(size, QImage::Format_RGB32);
    // A failed conversion leaves the image's memory as it was: not a picture.
    if (image.isNull() || !toRgb(picture, image.bits(), int(image.bytesPerLine()), size))
        image = QImage();
}

bool PictureScaler::drawInto(const Picture &picture, QImage &image, const QRect &rect)
{
    const QImage::Format format = image.format();
    if (picture.isNull() || rect.isEmpty() || !image.rect().contains(rect) ||
        (format != QImage::Format_RGB32 && format != QImage::Format_ARGB32 &&
         format != QImage::Format_ARGB32_Premultiplied))
        return false;
    // The memory the image's painter writes to: bits() would detach an
    // image shared with another from it.
    uint8_t *bits = const_cast<uint8_t *>(image.constBits()) + rect.top() * image.bytesPerLine() + rect.left() * 4;
    return toRgb(picture, bits, int(image.bytesPerLine()), rect.size());
}

bool PictureScaler::toRgb(const Picture &picture, uint8_t *bits, int stride, QSize size)
{
    uint8_t *planes[4] = {bits, nullptr, nullptr, nullptr};
    const int strides[4] = {stride, 0, 0, 0};
    const bool smaller = size.width() < picture.size().width() && size.height() < picture.size().height();
    // BGRA in memory is RGB32 on little-endian processors; the alpha byte
    // comes out opaque.
    return convert(picture, planes, strides, size.width(), size.height(), AV_PIX_FMT_BGRA,
                   smaller ? SWS_POINT : SWS_BILINEAR);
}

bool PictureScaler::scaleInto(const Picture &picture, AVFrame *frame)
{
    if (picture.isNull())
        return false;
    return convert(picture, frame->data, frame->linesize, frame->width, frame->height,
                   static_cast<AVPixelFormat>(frame->format), SWS_BILINEAR);
}
