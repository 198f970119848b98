#ifndef PHOTOFILES_H
#define PHOTOFILES_H

#include <QColorSpace>
#include <QImage>
#include <QPainter>
#include <QProcess>
#include <QTemporaryDir>

#include <turbojpeg.h>

// Left half red, right half blue, coded by TurboJPEG as cameras code photos.
inline QByteArray twoColours(int width, int height, int sampling = TJSAMP_420, int quality = 95)
{
    QImage image(width, height, QImage::Format_RGBX8888);
    image.fill(QColor(200, 40, 40));
    QPainter(&image).fillRect(width / 2, 0, width - width / 2, height, QColor(40, 60, 220));
    const tjhandle encoder = tjInitCompress();
    unsigned char *data = nullptr;
    unsigned long size = 0;
    tjCompress2(encoder, image.constBits(), width, 0, height, TJPF_RGBX, &data, &size, sampling, quality, 0);
    const QByteArray jpeg(reinterpret_cast<const char *>(data), int(size));
    tjFree(data);
    tjDestroy(encoder);
    return jpeg;
}

// The photo as a camera's file that was damaged: cut short at `cut` of its
// length, or with `corrupt` bytes of garbage in the middle of its data.
inline QByteArray damaged(const QByteArray &jpeg, double cut, int corrupt = 0)
{
    QByteArray bytes = jpeg.left(int(jpeg.size() * cut));
    return bytes.replace(bytes.size() / 2, corrupt, QByteArray(corrupt, '\x5a'));
}

// The photo coded in CMYK, as print work is: TurboJPEG decodes it, but only
// Qt's reader turns it into RGB.
inline QByteArray inCmyk(const QByteArray &jpeg)
{
    const QImage image = QImage::fromData(jpeg).convertToFormat(QImage::Format_RGBX8888);
    QByteArray cmyk(image.sizeInBytes(), '\0');
    for (int i = 0; i < cmyk.size(); ++i) // stored inverted, as Adobe's software does and Qt's reader expects
        cmyk[i] = char(i % 4 == 3 ? 255 : image.constBits()[i]);
    const tjhandle encoder = tjInitCompress();
    unsigned char *data = nullptr;
    unsigned long size = 0;
    tjCompress2(encoder, reinterpret_cast<const unsigned char *>(cmyk.constData()), image.width(), 0, image.height(),
                TJPF_CMYK, &data, &size, TJSAMP_420, 95, 0);
    const QByteArray coded(reinterpret_cast<const char *>(data), int(size));
    tjFree(data);
    tjDestroy(encoder);
    return coded;
}

// exiftool, a reader and writer independent of ours, on a JPEG given on its standard input.
inline QByteArray exiftool(const QStringList &arguments, const QByteArray &jpeg)
{
    QProcess exiftool;
    exiftool.start("exiftool", arguments + QStringList{"-"});
    exiftool.write(jpeg);
    exiftool.closeWriteChannel();
    exiftool.waitForFinished(60000);
    return exiftool.readAllStandardOutput();
}

// The photo with what a camera and a photographer put in it: Exif (GPS, a
// turned orientation, a thumbnail, a pixel width that is not the photo's),
// IPTC, XMP and an ICC profile.
inline QByteArray withEveryBlock(const QByteArray &jpeg)
{
    QTemporaryDir dir;
    QFile icc(dir.filePath("p3.icc")), thumbnail(dir.filePath("thumbnail.jpg"));
    if (!icc.open(QFile::WriteOnly) || !thumbnail.open(QFile::WriteOnly))
        return QByteArray();
    icc.write(QColorSpace(QColorSpace::DisplayP3).iccProfile());
    thumbnail.write(twoColours(160, 120));
    icc.close();
    thumbnail.close();
    return exiftool({"-o", "-", "-n", "-Orientation=6", "-GPSLatitude=48.8584", "-GPSLatitudeRef=N", "-Artist=Ana",
                     "-Copyright=(c) Ana", "-DateTimeOriginal=2026:05:04 03:02:01", "-ExifImageWidth=8000",
                     "-XMP-exif:ExifImageWidth=8000", "-IPTC:Caption-Abstract=Harbour", "-IPTC:Keywords=sea",
                     "-IPTC:Keywords=sky", "-XMP-dc:Title=Dawn", "-XMP-dc:Creator=Ana",
                     "-ICC_Profile<=" + icc.fileName(), "-ThumbnailImage<=" + thumbnail.fileName()},
                    jpeg);
}

// The photo with XMP and IPTC as a camera and a photographer's software
// write them, not as exiftool would: many exif: properties in the packet's
// attributes, and a time without a zone in IPTC.
inline QByteArray withCameraPackets(const QByteArray &jpeg)
{
    const QByteArray packet = R"(<?xpacket begin="" id="W5M0MpCehiHzreSzNTczkc9d"?>
<x:xmpmeta xmlns:x="adobe:ns:meta/"><rdf:RDF xmlns:rdf="http://www.w3.org/1999/02/22-rdf-syntax-ns#">
<rdf:Description rdf:about="" xmlns:exif="http://ns.adobe.com/exif/1.0/" xmlns:tiff="http://ns.adobe.com/tiff/1.0/"
 exif:ExposureTime="1/250" exif:FNumber="56/10" exif:FocalLength="350/10" exif:ExposureProgram="3"
 exif:ExposureBiasValue="-1/3" exif:MeteringMode="5" exif:Flash="16" exif:WhiteBalance="0"
 exif:FocalLengthIn35mmFilm="35" exif:DateTimeOriginal="2026-05-04T03:02:01" exif:PixelXDimension="8000"
 exif:PixelYDimension = '6000' tiff:ImageWidth="8000" tiff:Make="Vendalux"><tiff:ImageLength> 6000 </tiff:ImageLength>
</rdf:Description></rdf:RDF></x:xmpmeta>
<?xpacket end="w"?>)";
    const auto segment = [](char marker, const QByteArray &body) {
        return QByteArray("\xff") + marker + char((body.size() + 2) >> 8) + char(body.size() + 2) + body;
    };
    const QByteArray record("\x1c\x02\x3c\x00\x06" "143947" "\x1c\x02\x37\x00\x08" "20260504", 24);
    const QByteArray resource = QByteArray("8BIM\x04\x04\0\0\0\0\0\x18", 12) + record;
    return jpeg.left(2) + segment('\xe1', QByteArray("http://ns.adobe.com/xap/1.0/\0", 29) + packet)
        + segment('\xed', QByteArray("Photoshop 3.0\0", 14) + resource) + jpeg.mid(2);
}

#endif
