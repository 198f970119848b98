#ifndef PHOTOMETADATA_H
#define PHOTOMETADATA_H

#include <QByteArray>
#include <QSize>

#include <memory>

class QIODevice;

// A photo's Exif, IPTC and XMP blocks and its ICC profile, written into the
// re-encoded copy that is sent: the encoder writes none of them, and without
// them the copy loses its orientation, colours, copyright and captions.
// Exif and the profile go through Exiv2; XMP and IPTC are copied as they
// are, since Exiv2 re-serialising them drops properties and alters values.
class PhotoMetadata
{
public:
    // What `photo` carries; a missing or broken block reads as none.
    explicit PhotoMetadata(const QByteArray &photo);
    ~PhotoMetadata();

    bool isEmpty() const { return !blocks; }
    // Writes `copy`, the photo re-encoded as a JPEG of `size`, to `out` with
    // every block, its pixel dimensions the copy's (edited in the XMP
    // packet's text, the rest of it untouched) and without the
    // thumbnail; the copy alone when they cannot be written. False when
    // `out` could not take it all.
    bool write(const QByteArray &copy, const QSize &size, QIODevice *out) const;

private:
    struct Blocks;
    std::unique_ptr<Blocks> blocks;
};

#endif
