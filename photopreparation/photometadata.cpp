#include "photometadata.h"

#include <QIODevice>
#include <QRegularExpression>
#include <QtEndian>

#include <exiv2/exiv2.hpp>

#include <algorithm>
#include <mutex>

struct PhotoMetadata::Blocks
{
    Exiv2::ExifData exif;
    QByteArray icc;
    QByteArray kept; // the XMP and IPTC segments, byte for byte as the photo has them
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

// Calls `each(marker, segment)` for every whole segment before the image
// data; returns where they end.
template<typename Each>
int forEachSegment(const QByteArray &jpeg, Each each)
{
    int at = 2;
    // Each segment is a marker and a big-endian length that counts itself.
    while (at + 4 <= jpeg.size() && jpeg.at(at) == '\xff' && jpeg.at(at + 1) != '\xda') {
        const int next = at + 2 + std::max((uchar(jpeg.at(at + 2)) << 8) | uchar(jpeg.at(at + 3)), 2);
        each(jpeg.at(at + 1), jpeg.mid(at, next - at));
        at = next;
    }
    return std::min(at, int(jpeg.size()));
}

bool isSegment(char marker, const QByteArray &segment, char wanted, const QByteArray &name)
{
    return marker == wanted && segment.mid(4, name.size()) == name;
}

const QByteArray exifName("Exif\0\0", 6);
const QByteArray xmpName("http://ns.adobe.com/xap/1.0/\0", 29);
const QByteArray extendedXmpName("http://ns.adobe.com/xmp/extension/\0", 35);
const QByteArray iptcName("Photoshop 3.0\0", 14);

// The photo without its Exif segments: one Exiv2 cannot decode makes it
// throw away every block, where the others would read well.
QByteArray withoutExif(const QByteArray &jpeg)
{
    QByteArray kept = jpeg.left(2);
    const int end = forEachSegment(jpeg, [&kept](char marker, const QByteArray &segment) {
        if (!isSegment(marker, segment, '\xe1', exifName))
            kept += segment;
    });
    return kept + jpeg.mid(end);
}

// The XMP packet's text with the pixel dimensions the copy's, each in either
// of the forms RDF allows; the rest as the photo's software wrote it.
QByteArray withDimensions(QByteArray packet, const QSize &size)
{
    const std::pair<const char *, int> dimensions[] = {{"exif:PixelXDimension", size.width()},
                                                       {"exif:PixelYDimension", size.height()},
                                                       {"tiff:ImageWidth", size.width()},
                                                       {"tiff:ImageLength", size.height()}};
    QString text = QString::fromUtf8(packet);
    for (const auto &[name, value] : dimensions) {
        const QString property = QRegularExpression::escape(QLatin1String(name));
        const QString number = QString::number(value);
        text.replace(QRegularExpression(property + QStringLiteral("(\\s*=\\s*[\"'])\\d+")),
                     name + QStringLiteral("\\1") + number);
        text.replace(QRegularExpression(QStringLiteral("(<") + property + QStringLiteral(">)\\s*\\d+\\s*<")),
                     QStringLiteral("\\1") + number + QLatin1Char('<'));
    }
    return text.toUtf8();
}

// The XMP and IPTC segments of `photo` as they are, after a start of image
// so that they read as a JPEG's head.
QByteArray keptSegments(const QByteArray &photo)
{
    QByteArray kept("\xff\xd8");
    forEachSegment(photo, [&kept](char marker, const QByteArray &segment) {
        if (isSegment(marker, segment, '\xe1', xmpName) || isSegment(marker, segment, '\xe1', extendedXmpName)
            || isSegment(marker, segment, '\xed', iptcName))
            kept += segment;
    });
    return kept;
}

// The kept segments, the main XMP packet's dimensions those of the copy.
QByteArray forCopy(const QByteArray &kept, const QSize &size)
{
    QByteArray segments;
    forEachSegment(kept, [&segments, size](char marker, const QByteArray &segment) {
        const QByteArray body = xmpName + withDimensions(segment.mid(4 + xmpName.size()), size);
        if (isSegment(marker, segment, '\xe1', xmpName) && body.size() + 2 <= 0xffff)
            segments += QByteArray("\xff\xe1") + char((body.size() + 2) >> 8) + char(body.size() + 2) + body;
        else
            segments += segment;
    });
    return segments;
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
            found->exif.clear(); // not a format Exiv2 reads, or broken beyond its repair
        }
    }
    if (!describesCopy(found->icc))
        found->icc.clear();
    found->kept = keptSegments(photo);
    if (!found->exif.empty() || !found->icc.isEmpty() || found->kept.size() > 2)
        blocks = std::move(found);
}

PhotoMetadata::~PhotoMetadata() = default;

bool PhotoMetadata::write(const QByteArray &copy, const QSize &size, QIODevice *out) const
{
    if (!blocks)
        return out->write(copy) == copy.size();
    QByteArray written = copy;
    if (!blocks->exif.empty() || !blocks->icc.isEmpty()) {
        Exiv2::ExifData exif = blocks->exif;
        Exiv2::ExifThumb(exif).erase(); // a small copy of the original, not of what is sent
        if (!exif.empty()) {
            exif["Exif.Photo.PixelXDimension"] = uint32_t(size.width());
            exif["Exif.Photo.PixelYDimension"] = uint32_t(size.height());
            for (const auto &[key, value] : {std::pair("Exif.Image.ImageWidth", size.width()),
                                             std::pair("Exif.Image.ImageLength", size.height())}) {
                if (exif.findKey(Exiv2::ExifKey(key)) != exif.end())
                    exif[key] = uint32_t(value);
            }
        }
        try {
            // In memory: a file would be read and written once more.
            auto image = Exiv2::ImageFactory::open(reinterpret_cast<const Exiv2::byte *>(copy.constData()),
                                                   long(copy.size()));
            image->setExifData(exif);
            if (!blocks->icc.isEmpty()) {
                Exiv2::DataBuf icc(reinterpret_cast<const Exiv2::byte *>(blocks->icc.constData()),
                                   long(blocks->icc.size()));
                image->setIccProfile(icc);
            }
            image->writeMetadata();
            Exiv2::BasicIo &io = image->io();
            io.open();
            written = QByteArray(reinterpret_cast<const char *>(io.mmap()), int(io.size()));
            io.munmap();
            io.close();
        } catch (const std::exception &) {
            written = copy; // as it went before there was metadata
        }
    }
    // XMP and IPTC go in as written, after the copy's other application segments.
    int at = 2;
    bool placed = false;
    forEachSegment(written, [&at, &placed](char marker, const QByteArray &segment) {
        placed = placed || uchar(marker) < 0xe0 || uchar(marker) > 0xef;
        if (!placed)
            at += segment.size();
    });
    written.insert(at, forCopy(blocks->kept, size));
    return out->write(written) == written.size();
}
