#include "planeresampler.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace {

constexpr int weightBits = 14;
constexpr int one = 1 << weightBits;
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

} // namespace

// Rows are combined first, into one row of the input's width, which is then
// narrowed: only one intermediate row ever exists.
void PlaneResampler::scale(const Plane &in, const Plane &out, double scaleX, double scaleY)
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
