#include "jpegrecoder.h"

#include "planeresampler.h"
#include "rawpipeline.h"

#include <QIODevice>

#include <turbojpeg.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>

namespace {

using Plane = PlaneResampler::Plane;

// The plane's padding beyond its pixels repeats the last column and row.
void padPlane(const Plane &plane, int paddedWidth, int paddedHeight)
{
    for (int y = 0; y < plane.height; ++y) {
        unsigned char *row = plane.row(y);
        std::fill(row + plane.width, row + paddedWidth, row[plane.width - 1]);
    }
    for (int y = plane.height; y < paddedHeight; ++y)
        std::memcpy(plane.row(y), plane.row(plane.height - 1), std::size_t(paddedWidth));
}

// Y, Cb and Cr (or Y alone) as TurboJPEG lays them out for an image of
// `width` x `height` with the given subsampling, in one block.
struct Planes
{
    int count = 0;
    int sampling = 0;
    Plane plane[3];
    std::unique_ptr<unsigned char[]> pixels;

    Planes(int width, int height, int sampling, int count)
        : count(count)
        , sampling(sampling)
    {
        std::size_t bytes = 0;
        for (int c = 0; c < count; ++c) {
            plane[c].width = plane[c].stride = tjPlaneWidth(c, width, sampling);
            plane[c].height = tjPlaneHeight(c, height, sampling);
            bytes += std::size_t(plane[c].stride) * plane[c].height;
        }
        pixels.reset(new (std::nothrow) unsigned char[bytes + PlaneResampler::slack]);
        for (int c = 0; c < count && pixels; ++c) {
            plane[c].data = c == 0 ? pixels.get() : plane[c - 1].row(plane[c - 1].height);
            data[c] = plane[c].data;
            strides[c] = plane[c].stride;
        }
    }
    bool isNull() const { return !pixels; }

    unsigned char *data[3] = {};
    int strides[3] = {};
};

// Each plane of `in` (an image of `inSize`) scaled to its plane in `out`
// (one of `outSize`): luma by the pixels that count, chroma by where its
// samples sit in each image.
void scalePlanes(const Planes &in, const QSize &inSize, const Planes &out, const QSize &outSize)
{
    for (int c = 0; c < out.count; ++c) {
        Plane from = in.plane[c];
        Plane to = out.plane[c];
        double inX = 1, inY = 1, outX = 1, outY = 1;
        if (c == 0) {
            from.width = inSize.width();
            from.height = inSize.height();
            to.width = outSize.width();
            to.height = outSize.height();
        } else {
            inX = tjMCUWidth[in.sampling] / 8;
            inY = tjMCUHeight[in.sampling] / 8;
            outX = tjMCUWidth[out.sampling] / 8;
            outY = tjMCUHeight[out.sampling] / 8;
        }
        PlaneResampler::scale(from, to, double(inSize.width()) / outSize.width() * outX / inX,
                              double(inSize.height()) / outSize.height() * outY / inY);
        padPlane(to, out.plane[c].width, out.plane[c].height);
    }
}

// The smallest DCT scaling of `photo` that still covers `target`.
tjscalingfactor scalingFactor(const QSize &photo, const QSize &target)
{
    int count = 0;
    const tjscalingfactor *factors = tjGetScalingFactors(&count);
    tjscalingfactor best{1, 1};
    const auto scaled = [photo](tjscalingfactor f) { return QSize(TJSCALED(photo.width(), f), TJSCALED(photo.height(), f)); };
    for (int i = 0; i < count; ++i) {
        const QSize size = scaled(factors[i]);
        if (factors[i].num <= factors[i].denom && size.width() >= target.width() && size.height() >= target.height()
            && qint64(size.width()) * size.height() < qint64(scaled(best).width()) * scaled(best).height())
            best = factors[i];
    }
    return best;
}

bool encode(const Planes &planes, const QSize &size, int quality, QIODevice *out)
{
    const unsigned long bound = tjBufSize(size.width(), size.height(), planes.sampling);
    if (bound == static_cast<unsigned long>(-1) || bound > unsigned(INT_MAX))
        return false;
    const tjhandle encoder = tjInitCompress();
    unsigned char *encoded = tjAlloc(int(bound)); // only the pages written count
    unsigned long encodedSize = bound;
    const bool encodedAll = encoder && encoded
        && tjCompressFromYUVPlanes(encoder, const_cast<const unsigned char **>(planes.data), size.width(),
                                   planes.strides, size.height(), planes.sampling, &encoded, &encodedSize,
                                   quality < 0 ? 75 : std::clamp(quality, 1, 100), TJFLAG_NOREALLOC) == 0;
    if (encodedAll)
        out->write(reinterpret_cast<const char *>(encoded), qint64(encodedSize));
    tjFree(encoded);
    if (encoder)
        tjDestroy(encoder);
    return encodedAll;
}


} // namespace

JpegRecoder::JpegRecoder(QByteArray bytes)
    : jpeg(std::move(bytes))
    , decoder(tjInitDecompress())
{
    int width = 0;
    int height = 0;
    if (decoder && !jpeg.isEmpty()
        && tjDecompressHeader3(decoder, reinterpret_cast<const unsigned char *>(jpeg.constData()),
                               static_cast<unsigned long>(jpeg.size()), &width, &height, &subsampling, &colorspace) == 0
        && width > 0 && height > 0)
        photoSize = QSize(width, height);
}

JpegRecoder::~JpegRecoder()
{
    if (decoder)
        tjDestroy(decoder);
}

JpegRecoder::Outcome JpegRecoder::recode(const QSize &target, int quality, QIODevice *out)
{
    if (photoSize.isValid() && colorspace != TJCS_YCbCr && colorspace != TJCS_GRAY)
        return decodesWhole() ? Outcome::Unsupported : Outcome::Damaged;
    if (!photoSize.isValid() || target.isEmpty() || subsampling < 0 || subsampling >= TJ_NUMSAMP)
        return Outcome::Unsupported;
    const bool grey = colorspace == TJCS_GRAY || subsampling == TJSAMP_GRAY;
    const int sampling = grey ? TJSAMP_GRAY : TJSAMP_420;
    if (target == photoSize && subsampling == sampling) {
        // Nothing to scale: decoded and encoded at once, on two threads.
        const auto piped = RawPipeline::recode(jpeg, quality < 0 ? 75 : std::clamp(quality, 1, 100), out);
        if (piped != RawPipeline::Outcome::Unsupported) {
            jpeg = QByteArray();
            return piped == RawPipeline::Outcome::Damaged ? Outcome::Damaged : Outcome::Recoded;
        }
    }
    const tjscalingfactor factor = scalingFactor(photoSize, target);
    const QSize decodedSize(TJSCALED(photoSize.width(), factor), TJSCALED(photoSize.height(), factor));
    Planes decoded(decodedSize.width(), decodedSize.height(), subsampling, grey ? 1 : 3);
    if (decoded.isNull())
        return Outcome::Unsupported;
    if (tjDecompressToYUVPlanes(decoder, reinterpret_cast<const unsigned char *>(jpeg.constData()),
                                static_cast<unsigned long>(jpeg.size()), decoded.data, decodedSize.width(),
                                decoded.strides, decodedSize.height(), 0)
        != 0) {
        // A warning still gives an image, grey where the data ran out: never one to send.
        return tjGetErrorCode(decoder) == TJERR_WARNING ? Outcome::Damaged : Outcome::Unsupported;
    }
    jpeg = QByteArray(); // the photo is in the planes now
    if (decodedSize == target && subsampling == sampling)
        return encode(decoded, target, quality, out) ? Outcome::Recoded : Outcome::Unsupported;
    Planes scaled(target.width(), target.height(), sampling, decoded.count);
    if (scaled.isNull())
        return Outcome::Unsupported;
    scalePlanes(decoded, decodedSize, scaled, target);
    decoded.pixels.reset();
    return encode(scaled, target, quality, out) ? Outcome::Recoded : Outcome::Unsupported;
}

// Qt's reader decodes CMYK and RGB-coded photos and says nothing of a
// warning; an eighth of the size still reads every coefficient, cheaply.
bool JpegRecoder::decodesWhole()
{
    const tjscalingfactor eighth{1, 8};
    const int width = TJSCALED(photoSize.width(), eighth), height = TJSCALED(photoSize.height(), eighth);
    const bool cmyk = colorspace == TJCS_CMYK || colorspace == TJCS_YCCK;
    std::unique_ptr<unsigned char[]> pixels(new (std::nothrow) unsigned char[std::size_t(width) * height * 4]);
    return !pixels
        || tjDecompress2(decoder, reinterpret_cast<const unsigned char *>(jpeg.constData()),
                         static_cast<unsigned long>(jpeg.size()), pixels.get(), width, 0, height,
                         cmyk ? TJPF_CMYK : TJPF_RGBX, 0)
            == 0
        || tjGetErrorCode(decoder) != TJERR_WARNING;
}
