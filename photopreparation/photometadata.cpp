#include "photometadata.h"

#include <QIODevice>
#include <QtEndian>

#include <exiv2/exiv2.hpp>

#include <algorithm>
#include <mutex>

struct PhotoMetadata::Blocks
{
    Exiv2::ExifData exif;
    Exiv2::IptcData iptc;
    Exiv2::XmpData xmp;
    QByteArray icc;
};

namespace {

// Exiv2 reports every broken block on stderr, and its XMP parser must be
// set up before two threads may use it.
void setUpExiv2()
{
    static std::once_flag once;
    std::call_once(once, [] {
        Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
        Exiv2::XmpParser::initialize();
    });
}

// A profile whose header gives its own length, for RGB or grey data: the
// copy's pixels are one or the other (Qt's reader turns CMYK into RGB), and
// Exiv2 refuses to write a profile of another length.
bool describesCopy(const QByteArray &icc)
{
    const QByteArray space = icc.mid(16, 4);
    return icc.size() >= 20 && qFromBigEndian<quint32>(icc.constData()) == quint32(icc.size())
        && (space == "RGB " || space == "GRAY");
}

// The photo without its Exif segments: one Exiv2 cannot decode makes it
// throw away every block, where the others would read well.
QByteArray withoutExif(const QByteArray &jpeg)
{
    QByteArray kept = jpeg.left(2);
    int at = 2;
    // Each segment is a marker and a big-endian length that counts itself.
    while (at + 4 <= jpeg.size() && jpeg.at(at) == '\xff' && jpeg.at(at + 1) != '\xda') {
        const int next = at + 2 + std::max((uchar(jpeg.at(at + 2)) << 8) | uchar(jpeg.at(at + 3)), 2);
        if (jpeg.at(at + 1) != '\xe1' || jpeg.mid(at + 4, 6) != QByteArray("Exif\0\0", 6))
            kept += jpeg.mid(at, next - at);
        at = next;
    }
    return kept + jpeg.mid(at);
}

template<typename Data, typename Key>
void updateIfPresent(Data &data, const char *key, int value)
{
    if (data.findKey(Key(key)) != data.end())
        data[key] = uint32_t(value);
}

} // namespace

PhotoMetadata::PhotoMetadata(const QByteArray &photo)
{
    setUpExiv2();
    auto found = std::make_unique<Blocks>();
    const auto read = [&found](const QByteArray &jpeg) {
        // Reads the bytes in place.
        auto image = Exiv2::ImageFactory::open(reinterpret_cast<const Exiv2::byte *>(jpeg.constData()),
                                               long(jpeg.size()));
        image->readMetadata();
        found->exif = image->exifData();
        found->iptc = image->iptcData();
        found->xmp = image->xmpData();
        if (image->iccProfileDefined()) {
            const Exiv2::DataBuf *icc = image->iccProfile();
            found->icc = QByteArray(reinterpret_cast<const char *>(icc->pData_), int(icc->size_));
        }
    };
    try {
        read(photo);
    } catch (const std::exception &) {
        try {
            read(withoutExif(photo));
        } catch (const std::exception &) {
            return; // not a format Exiv2 reads, or broken beyond its repair: none
        }
    }
    if (!describesCopy(found->icc))
        found->icc.clear();
    if (!found->exif.empty() || !found->iptc.empty() || !found->xmp.empty() || !found->icc.isEmpty())
        blocks = std::move(found);
}

PhotoMetadata::~PhotoMetadata() = default;

bool PhotoMetadata::write(const QByteArray &copy, const QSize &size, QIODevice *out) const
{
    if (!blocks)
        return out->write(copy) == copy.size();
    Exiv2::ExifData exif = blocks->exif;
    Exiv2::XmpData xmp = blocks->xmp;
    Exiv2::ExifThumb(exif).erase(); // a small copy of the original, not of what is sent
    if (!exif.empty()) {
        exif["Exif.Photo.PixelXDimension"] = uint32_t(size.width());
        exif["Exif.Photo.PixelYDimension"] = uint32_t(size.height());
        updateIfPresent<Exiv2::ExifData, Exiv2::ExifKey>(exif, "Exif.Image.ImageWidth", size.width());
        updateIfPresent<Exiv2::ExifData, Exiv2::ExifKey>(exif, "Exif.Image.ImageLength", size.height());
    }
    updateIfPresent<Exiv2::XmpData, Exiv2::XmpKey>(xmp, "Xmp.exif.PixelXDimension", size.width());
    updateIfPresent<Exiv2::XmpData, Exiv2::XmpKey>(xmp, "Xmp.exif.PixelYDimension", size.height());
    updateIfPresent<Exiv2::XmpData, Exiv2::XmpKey>(xmp, "Xmp.tiff.ImageWidth", size.width());
    updateIfPresent<Exiv2::XmpData, Exiv2::XmpKey>(xmp, "Xmp.tiff.ImageLength", size.height());
    try {
        // In memory: a file would be read and written once more.
        auto image = Exiv2::ImageFactory::open(reinterpret_cast<const Exiv2::byte *>(copy.constData()),
                                               long(copy.size()));
        image->setExifData(exif);
        image->setIptcData(blocks->iptc);
        image->setXmpData(xmp);
        if (!blocks->icc.isEmpty()) {
            Exiv2::DataBuf icc(reinterpret_cast<const Exiv2::byte *>(blocks->icc.constData()),
                               long(blocks->icc.size()));
            image->setIccProfile(icc);
        }
        image->writeMetadata();
        Exiv2::BasicIo &written = image->io();
        written.open();
        const qint64 size = written.size();
        const bool complete = out->write(reinterpret_cast<const char *>(written.mmap()), size) == size;
        written.munmap();
        written.close();
        return complete;
    } catch (const std::exception &) {
        return out->write(copy) == copy.size(); // as it went before there was metadata
    }
}
