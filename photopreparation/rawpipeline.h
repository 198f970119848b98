#ifndef RAWPIPELINE_H
#define RAWPIPELINE_H

#include <QByteArray>

class QIODevice;

// Re-encodes a 4:2:0 or grey JPEG at its own size through libjpeg's raw
// data: one thread decodes rows of blocks while the caller's encodes those
// already decoded, with no colour conversion or resampling between. On two
// cores this is what keeps a full-size photo's preparation under a
// `djpeg | cjpeg` of it, which decodes and encodes at once in two processes.
class RawPipeline
{
public:
    enum class Outcome {
        Recoded,
        Damaged,     // decoded only with warnings: cut short, corrupt data
        Unsupported, // not 4:2:0 YCbCr or grey, or not decodable at all: nothing written
    };
    static Outcome recode(const QByteArray &jpeg, int quality, QIODevice *out);
};

#endif
