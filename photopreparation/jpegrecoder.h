#ifndef JPEGRECODER_H
#define JPEGRECODER_H

#include <QByteArray>
#include <QSize>

class QIODevice;

// Re-encodes a JPEG photo through TurboJPEG's planar YCbCr: the decoder
// scales in the DCT domain, the planes are scaled smoothly to the exact
// size, and the encoder takes them as they are. No RGB image of the photo
// ever exists; converting to and from one cost Qt's path most of its time.
class JpegRecoder
{
public:
    explicit JpegRecoder(QByteArray jpeg);
    ~JpegRecoder();
    JpegRecoder(const JpegRecoder &) = delete;
    JpegRecoder &operator=(const JpegRecoder &) = delete;

    // From the header alone; invalid when TurboJPEG cannot read it.
    QSize size() const { return photoSize; }
    enum class Outcome {
        Recoded,
        Damaged,     // decodes only with errors: cut short, corrupt data
        Unsupported, // CMYK, RGB-coded or unreadable data: nothing written, left to Qt's reader
    };
    // Writes the photo at `target` (at most size()) as a baseline JPEG at
    // `quality` with 4:2:0 chroma, as Qt writes colour (greyscale stays
    // greyscale), and lets go of the photo's bytes.
    Outcome recode(const QSize &target, int quality, QIODevice *out);

private:
    bool decodesWhole();

    QByteArray jpeg;
    void *decoder;
    QSize photoSize;
    int subsampling = -1;
    int colorspace = -1;
};

#endif
