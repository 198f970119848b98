#ifndef PLANERESAMPLER_H
#define PLANERESAMPLER_H

#include <cstddef>

// Scales one plane of 8-bit samples (luma, or one chroma) to another size
// with a triangle filter, in 14-bit fixed point, SSE2 where the build has it.
class PlaneResampler
{
public:
    static constexpr int slack = 16; // bytes past a plane's end that vector loads may touch

    struct Plane
    {
        unsigned char *data = nullptr;
        int width = 0; // of the pixels that count; the stride may pad them
        int height = 0;
        int stride = 0;
        unsigned char *row(int y) const { return data + std::ptrdiff_t(y) * stride; }
    };

    // Fills out.width x out.height samples of `out`, each covering `scaleX` x
    // `scaleY` samples of `in`, which has `slack` readable bytes past its end.
    static void scale(const Plane &in, const Plane &out, double scaleX, double scaleY);
};

#endif
