#include "jpegrecoder.h"

#include <QIODevice>

#include <turbojpeg.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace {

constexpr int weightBits = 14;
constexpr int one = 1 << weightBits;
constexpr int slack = 16; // bytes past a plane's end that vector loads may touch

struct Plane
{
    unsigned char *data = nullptr;
    int width = 0;  // of the pixels that count; the stride may pad them
    int height = 0;
    int stride = 0;
    unsigned char *row(int y) const { return data + std::ptrdiff_t(y) * stride; }
};

// For each output sample, fixed-point weights of `count` input samples from
// `first`: a triangle widened by the reduction, so that shrinking averages
// every input sample it passes over. Rows of weights are padded with zeros
// to `stride` (4 or 8 when that is enough), the width vector code takes.
struct Taps
{
    int count = 0;
    int stride = 0;
    bool identity = false;
    std::vector<int> first;
    std::vector<std::int16_t> weights;

    Taps(int inSize, int outSize, double scale) // input samples per output sample
        : identity(inSize == outSize && scale == 1.0)
    {
        const double support = std::max(scale, 1.0);
        count = std::min(int(std::ceil(2 * support)) + 1, inSize);
        stride = count <= 4 ? 4 : count <= 8 ? 8 : count;
        first.resize(outSize);
        weights.assign(std::size_t(outSize) * stride, 0);
        std::vector<double> w(count);
        for (int i = 0; i < outSize; ++i) {
            const double center = (i + 0.5) * scale;
            const int lo = std::max(0, int(std::floor(center - support)));
            const int start = std::min(lo, inSize - count);
            double sum = 0;
            for (int k = 0; k < count; ++k) {
                w[k] = std::max(0.0, 1.0 - std::abs(start + k + 0.5 - center) / support);
                sum += w[k];
            }
            if (sum <= 0) { // past the edge: the nearest sample
                std::fill(w.begin(), w.end(), 0.0);
                w[std::clamp(int(center) - start, 0, count - 1)] = sum = 1;
            }
            std::int16_t *out = &weights[std::size_t(i) * stride];
            int total = 0;
            int largest = 0;
            for (int k = 0; k < count; ++k) {
                out[k] = std::int16_t(std::lround(w[k] / sum * one));
                total += out[k];
                if (out[k] > out[largest])
                    largest = k;
            }
            out[largest] += one - total; // sums to exactly one: flat areas stay flat
            first[i] = start;
        }
    }
};

inline unsigned char clamped(int accumulated)
{
    return static_cast<unsigned char>(std::clamp((accumulated + one / 2) >> weightBits, 0, 255));
}

// out[x] = sum of w[k] * lines[k][x]
void combineRows(const unsigned char *const *lines, const std::int16_t *w, int count, int width, unsigned char *out)
{
    int x = 0;
#ifdef __SSE2__
    const __m128i zero = _mm_setzero_si128();
    const __m128i half = _mm_set1_epi32(one / 2);
    for (; x + 16 <= width; x += 16) {
        __m128i sum[4] = {half, half, half, half};
        for (int k = 0; k < count; k += 2) {
            const bool pair = k + 1 < count;
            const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(lines[k] + x));
            const __m128i b = pair ? _mm_loadu_si128(reinterpret_cast<const __m128i *>(lines[k + 1] + x)) : zero;
            const __m128i weights = _mm_set1_epi32(int(std::uint16_t(w[k])) | int(pair ? w[k + 1] : 0) << 16);
            const __m128i low = _mm_unpacklo_epi8(a, b);
            const __m128i high = _mm_unpackhi_epi8(a, b);
            sum[0] = _mm_add_epi32(sum[0], _mm_madd_epi16(_mm_unpacklo_epi8(low, zero), weights));
            sum[1] = _mm_add_epi32(sum[1], _mm_madd_epi16(_mm_unpackhi_epi8(low, zero), weights));
            sum[2] = _mm_add_epi32(sum[2], _mm_madd_epi16(_mm_unpacklo_epi8(high, zero), weights));
            sum[3] = _mm_add_epi32(sum[3], _mm_madd_epi16(_mm_unpackhi_epi8(high, zero), weights));
        }
        const __m128i first = _mm_packs_epi32(_mm_srai_epi32(sum[0], weightBits), _mm_srai_epi32(sum[1], weightBits));
        const __m128i second = _mm_packs_epi32(_mm_srai_epi32(sum[2], weightBits), _mm_srai_epi32(sum[3], weightBits));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + x), _mm_packus_epi16(first, second));
    }
#endif
    for (; x < width; ++x) {
        int sum = 0;
        for (int k = 0; k < count; ++k)
            sum += w[k] * lines[k][x];
        out[x] = clamped(sum);
    }
}

// out[x] = sum of taps.weights[x][k] * in[taps.first[x] + k]; `in` has slack.
void narrowRow(const unsigned char *in, const Taps &taps, int width, unsigned char *out)
{
    const std::int16_t *w = taps.weights.data();
    const int *first = taps.first.data();
    int x = 0;
#ifdef __SSE2__
    const __m128i zero = _mm_setzero_si128();
    const __m128i half = _mm_set1_epi32(one / 2);
    const auto load4 = [in](int at) {
        std::int32_t bytes;
        std::memcpy(&bytes, in + at, 4);
        return _mm_cvtsi32_si128(bytes);
    };
    const auto store4 = [out, half, zero](int at, __m128i sums) {
        const __m128i packed = _mm_packs_epi32(_mm_srai_epi32(_mm_add_epi32(sums, half), weightBits), zero);
        const std::int32_t bytes = _mm_cvtsi128_si32(_mm_packus_epi16(packed, zero));
        std::memcpy(out + at, &bytes, 4);
    };
    if (taps.stride == 4) {
        for (; x + 4 <= width; x += 4, w += 16) {
            // Two outputs a register: their four samples each, times their weights.
            const __m128i s01 = _mm_unpacklo_epi8(_mm_unpacklo_epi32(load4(first[x]), load4(first[x + 1])), zero);
            const __m128i s23 = _mm_unpacklo_epi8(_mm_unpacklo_epi32(load4(first[x + 2]), load4(first[x + 3])), zero);
            const __m128i p01 = _mm_madd_epi16(s01, _mm_loadu_si128(reinterpret_cast<const __m128i *>(w)));
            const __m128i p23 = _mm_madd_epi16(s23, _mm_loadu_si128(reinterpret_cast<const __m128i *>(w + 8)));
            const __m128 even = _mm_shuffle_ps(_mm_castsi128_ps(p01), _mm_castsi128_ps(p23), _MM_SHUFFLE(2, 0, 2, 0));
            const __m128 odd = _mm_shuffle_ps(_mm_castsi128_ps(p01), _mm_castsi128_ps(p23), _MM_SHUFFLE(3, 1, 3, 1));
            store4(x, _mm_add_epi32(_mm_castps_si128(even), _mm_castps_si128(odd)));
        }
    } else if (taps.stride == 8) {
        for (; x + 4 <= width; x += 4, w += 32) {
            __m128i p[4];
            for (int i = 0; i < 4; ++i) {
                const __m128i samples = _mm_unpacklo_epi8(
                    _mm_loadl_epi64(reinterpret_cast<const __m128i *>(in + first[x + i])), zero);
                p[i] = _mm_madd_epi16(samples, _mm_loadu_si128(reinterpret_cast<const __m128i *>(w + 8 * i)));
            }
            // Transposed, so that each lane adds up one output's four partial sums.
            const __m128i t01 = _mm_unpacklo_epi32(p[0], p[1]);
            const __m128i t23 = _mm_unpacklo_epi32(p[2], p[3]);
            const __m128i u01 = _mm_unpackhi_epi32(p[0], p[1]);
            const __m128i u23 = _mm_unpackhi_epi32(p[2], p[3]);
            const __m128i sums = _mm_add_epi32(_mm_add_epi32(_mm_unpacklo_epi64(t01, t23), _mm_unpackhi_epi64(t01, t23)),
                                               _mm_add_epi32(_mm_unpacklo_epi64(u01, u23), _mm_unpackhi_epi64(u01, u23)));
            store4(x, sums);
        }
    }
#endif
    for (; x < width; ++x) {
        const std::int16_t *weights = taps.weights.data() + std::size_t(x) * taps.stride;
        const unsigned char *s = in + first[x];
        int sum = 0;
        for (int k = 0; k < taps.count; ++k)
            sum += weights[k] * s[k];
        out[x] = clamped(sum);
    }
}

// Rows are combined first, into one row of the input's width, which is then
// narrowed: only one intermediate row ever exists.
void scalePlane(const Plane &in, const Plane &out, double scaleX, double scaleY)
{
    const Taps across(in.width, out.width, scaleX);
    const Taps down(in.height, out.height, scaleY);
    std::vector<unsigned char> combined(std::size_t(in.width) + slack);
    std::vector<const unsigned char *> lines(down.count);
    for (int y = 0; y < out.height; ++y) {
        const unsigned char *source = in.row(y);
        if (!down.identity) {
            for (int k = 0; k < down.count; ++k)
                lines[k] = in.row(down.first[y] + k);
            combineRows(lines.data(), &down.weights[std::size_t(y) * down.stride], down.count, in.width,
                        combined.data());
            source = combined.data();
        }
        if (across.identity)
            std::memcpy(out.row(y), source, std::size_t(out.width));
        else
            narrowRow(source, across, out.width, out.row(y));
    }
}

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
        pixels.reset(new (std::nothrow) unsigned char[bytes + slack]);
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
        scalePlane(from, to, double(inSize.width()) / outSize.width() * outX / inX,
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

// A warning leaves a decoded image, as Qt's reader keeps one.
bool succeeded(int status, tjhandle handle)
{
    return status == 0 || tjGetErrorCode(handle) == TJERR_WARNING;
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

bool JpegRecoder::recode(const QSize &target, int quality, QIODevice *out)
{
    if (!photoSize.isValid() || target.isEmpty() || subsampling < 0 || subsampling >= TJ_NUMSAMP
        || (colorspace != TJCS_YCbCr && colorspace != TJCS_GRAY))
        return false;
    const bool grey = colorspace == TJCS_GRAY || subsampling == TJSAMP_GRAY;
    const int sampling = grey ? TJSAMP_GRAY : TJSAMP_420;
    const tjscalingfactor factor = scalingFactor(photoSize, target);
    const QSize decodedSize(TJSCALED(photoSize.width(), factor), TJSCALED(photoSize.height(), factor));
    Planes decoded(decodedSize.width(), decodedSize.height(), subsampling, grey ? 1 : 3);
    if (decoded.isNull()
        || !succeeded(tjDecompressToYUVPlanes(decoder, reinterpret_cast<const unsigned char *>(jpeg.constData()),
                                              static_cast<unsigned long>(jpeg.size()), decoded.data,
                                              decodedSize.width(), decoded.strides, decodedSize.height(), 0),
                      decoder))
        return false;
    jpeg = QByteArray(); // the photo is in the planes now
    if (decodedSize == target && subsampling == sampling)
        return encode(decoded, target, quality, out);
    Planes scaled(target.width(), target.height(), sampling, decoded.count);
    if (scaled.isNull())
        return false;
    scalePlanes(decoded, decodedSize, scaled, target);
    decoded.pixels.reset();
    return encode(scaled, target, quality, out);
}
