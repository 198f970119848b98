#include "photofiles.h"
#include "photopreparation.h"

#include <QBuffer>
#include <QDir>
#include <QTest>

#include <climits>

Q_DECLARE_METATYPE(PhotoPreparation::Refusal)

// A JPEG's quantisation tables, and its baseline frame's components with their sampling.
static QByteArray codingOf(const QByteArray &jpeg)
{
    const int tables = jpeg.indexOf("\xff\xdb"), frame = jpeg.indexOf("\xff\xc0");
    return jpeg.mid(tables, frame - tables) + jpeg.mid(frame + 9, 10);
}

// Files prepared as the service's default limits ask, with no temporary
// directory to write in: an oversized photo must still go scaled.
class TestPhotoPreparation : public QObject
{
    Q_OBJECT
    QTemporaryDir files;

    // Writes the file (null bytes: none) and prepares it; the stages' text joined.
    QByteArray prepare(const QString &name, const QByteArray &bytes, PhotoPreparation::Result *result)
    {
        QFile file(files.filePath(name));
        if (!bytes.isNull() && QDir().mkpath(QFileInfo(file).path()) && file.open(QFile::WriteOnly))
            file.write(bytes);
        file.close();
        *result = PhotoPreparation::prepare(file.fileName(), UploadRestrictions());
        QString text;
        for (const QString &stage : result->stages)
            text += stage;
        return text.toLatin1();
    }

private slots:
    void initTestCase() { qputenv("TMPDIR", files.filePath("no such directory").toLocal8Bit()); }

    // One megapixel under a limit, unless that leaves none; three quarters
    // of a 512 MiB photo's text pass what an int holds.
    void limitsAndStagesOfAnySize()
    {
        const QSize photo(3000, 2000);
        for (const auto &[mpx, size] : {std::pair(INT_MIN, photo), {1, photo}, {2, QSize(1224, 816)}, {INT_MAX, photo}})
            QCOMPARE(PhotoPreparation::targetSize(photo, mpx), size);
        for (const qint64 length : {qint64(0), qint64(3), qint64(715827884), qint64(INT_MAX)}) {
            const auto bounds = PhotoPreparation::stageBounds(length);
            QVERIFY(bounds.front() == 0 && bounds.back() == length);
            for (int stage = 0; stage < PhotoPreparation::stageCount; ++stage)
                QVERIFY(quint64(bounds[stage + 1] - bounds[stage] - length / 4) <= 1);
        }
    }

    // Each row's tag is its file's name.
    void preparedFiles_data()
    {
        using Refusal = PhotoPreparation::Refusal;
        QTest::addColumn<QByteArray>("bytes"); // null: no such file
        QTest::addColumn<Refusal>("error");
        QTest::addColumn<QString>("ext");
        QTest::addColumn<QSize>("sent"); // invalid: the file's own bytes
        const Refusal none = Refusal::None, small = Refusal::TooSmall, ratio = Refusal::WrongAspectRatio;
        QTest::newRow("24.0 MP, the limit.jpg") << twoColours(6000, 4000) << none << ".jpg" << QSize(6000, 4000);
        QTest::newRow("6016 x 4016.jpg") << twoColours(6016, 4016) << none << ".jpg" << QSize(5869, 3918);
        QTest::newRow("8000 x 6000.jpg") << twoColours(8000, 6000) << none << ".jpg" << QSize(5537, 4153);
        QTest::newRow("4000 x 8000.jpg") << twoColours(4000, 8000) << none << ".jpg" << QSize(3391, 6782);
        QTest::newRow("ratio exactly 4.jpg") << twoColours(4096, 1024) << none << ".jpg" << QSize(4096, 1024);
        QTest::newRow("UPPER CASE.JPG") << twoColours(2501, 2001) << none << ".jpg" << QSize(2501, 2001);
        const char *const samplings[] = {"4:4:4.jpg", "4:2:2.jpg", "", "grey.jpg", "4:4:0.jpg", "4:1:1.jpg"};
        for (const int s : {TJSAMP_444, TJSAMP_422, TJSAMP_440, TJSAMP_411, TJSAMP_GRAY})
            QTest::newRow(samplings[s]) << twoColours(6400, 4800, s) << none << ".jpg" << QSize(5537, 4153);
        QTest::newRow("grey, as it is.jpg") << twoColours(3000, 2000, TJSAMP_GRAY) << none << ".jpg" << QSize(3000, 2000);
        QByteArray png;
        QBuffer buffer(&png);
        QImage::fromData(twoColours(6400, 4800)).save(&buffer, "PNG");
        QTest::newRow("PNG inside.jpg") << png << none << ".jpg" << QSize(5537, 4153);
        QTest::newRow("CMYK.jpg") << inCmyk(twoColours(6400, 4800)) << none << ".jpg" << QSize(5537, 4153);
        const Refusal broken = Refusal::Damaged;
        QTest::newRow("cut at 60 %.jpg") << damaged(twoColours(3000, 2000), 0.6) << broken << ".jpg" << QSize();
        QTest::newRow("8000 x 6000, corrupt data.jpg")
            << damaged(twoColours(8000, 6000), 1, 64) << broken << ".jpg" << QSize();
        QTest::newRow("CMYK, cut at 60 %.jpg")
            << damaged(inCmyk(twoColours(3000, 2000)), 0.6) << broken << ".jpg" << QSize();
        QTest::newRow("cut in its header.jpg") << twoColours(2400, 1800).left(100) << small << ".jpg" << QSize();
        QTest::newRow("ratio just over 4.jpg") << twoColours(4097, 1024) << ratio << ".jpg" << QSize();
        QTest::newRow("3.998 MP.jpg") << twoColours(1999, 2000) << small << ".jpg" << QSize();
        QTest::newRow("too low, too long: 122 first.jpg") << twoColours(5000, 1000) << small << ".jpg" << QSize();
        QTest::newRow("too narrow.jpg") << twoColours(1000, 5000) << small << ".jpg" << QSize();
        QTest::newRow("unreadable.jpeg") << QByteArray() << Refusal::CannotReadFile << ".jpeg" << QSize();
        QTest::newRow("tiny, not checked.jpeg") << twoColours(10, 10) << none << ".jpeg" << QSize();
        QTest::newRow("scan.PNG") << QByteArray("\x89PNG not really", 15) << none << ".png" << QSize();
        QTest::newRow("no extension") << QByteArray(1000, 'z') << none << "" << QSize();
        QTest::newRow("My.Photos/IMG_1") << QByteArray("data") << none << ".photos/img_1" << QSize();
        QTest::newRow("empty.bin") << QByteArray("") << none << ".bin" << QSize();
    }

    // A ".jpg" photo is checked, then written anew as a baseline JPEG at the
    // service's quality, 4:2:0 unless grey, shrunk when too large, each half
    // keeping its colour; any other file goes as it is. The four stages are
    // a quarter of the text each, and together all of it.
    void preparedFiles()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QSize, sent);
        PhotoPreparation::Result result;
        const QByteArray text = prepare(QTest::currentDataTag(), bytes, &result);
        QTEST(result.error, "error");
        QCOMPARE(result.errorString.isEmpty(), result.error == PhotoPreparation::Refusal::None); // why, in words
        QTEST(result.extension, "ext");
        for (const QString &stage : result.stages)
            QVERIFY(qAbs(stage.size() - text.size() / 4) <= 1);
        const QByteArray first = QByteArray::fromBase64(text, QByteArray::AbortOnBase64DecodingErrors);
        QCOMPARE(first.toBase64(), text);
        if (result.error != PhotoPreparation::Refusal::None)
            QVERIFY(text.isEmpty());
        else
            QCOMPARE(first == bytes, !sent.isValid()); // a photo is written anew, another file sent as it is
        if (!sent.isValid())
            return;
        const QImage original = QImage::fromData(bytes), image = QImage::fromData(first, "JPEG");
        QCOMPARE(image.size(), sent);
        QCOMPARE(codingOf(first), codingOf(twoColours(16, 16, image.isGrayscale() ? TJSAMP_GRAY : TJSAMP_420, 90)));
        for (const double at : {0.25, 0.75}) { // the middle of each half
            const QColor a = original.pixelColor(original.width() * at, original.height() / 2);
            const QColor b = image.pixelColor(image.width() * at, image.height() / 2);
            QVERIFY(std::max({qAbs(a.red() - b.red()), qAbs(a.green() - b.green()), qAbs(a.blue() - b.blue())}) <= 12);
        }
    }

    // A photo keeps what the photographer put in it (its pixels as stored,
    // under their orientation), and the metadata describes the copy.
    void metadata_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("tags"); // of those asked for, all the copy has, in exiftool's order
        QTest::newRow("every block, scaled")
            << withEveryBlock(twoColours(8000, 6000))
            << "-File:ImageWidth=5537 -EXIF:Orientation=6 -EXIF:Artist=Ana -EXIF:Copyright=(c) Ana "
               "-EXIF:DateTimeOriginal=2026:05:04 03:02:01 -EXIF:ExifImageWidth=5537 -IPTC:Keywords=sea, sky "
               "-IPTC:Caption-Abstract=Harbour -XMP:Creator=Ana -XMP:Title=Dawn "
               "-ICC_Profile:ProfileDescription=Display P3 -EXIF:GPSLatitude=48.8584 -Composite:GPSLatitude=48.8584 "
               "-XMP:ExifImageWidth=5537";
        // An Exif block whose TIFF header is garbage, before an XMP block.
        const QByteArray broken("\xff\xd8\xff\xe1\0\x12" "Exif\0\0XX\x2a\0\xff\xff\xff\x7f\0\0", 22);
        const QByteArray withXmp = exiftool({"-o", "-", "-XMP-dc:Title=Dawn"}, twoColours(3000, 2000));
        QTest::newRow("broken Exif") << broken + withXmp.mid(2) << "-File:ImageWidth=3000 -XMP:Title=Dawn";
        QTest::newRow("none") << twoColours(3000, 2000) << "-File:ImageWidth=3000";
        QTest::newRow("a camera's XMP and IPTC, scaled")
            << withCameraPackets(twoColours(8000, 6000))
            << "-File:ImageWidth=5537 -XMP:ExposureTime=0.004 -XMP:FNumber=5.6 -XMP:FocalLength=35 "
               "-XMP:ExposureProgram=3 -XMP:ExposureCompensation=-0.333333333333333 -XMP:MeteringMode=5 "
               "-XMP:Flash=16 -XMP:WhiteBalance=0 -XMP:FocalLengthIn35mmFormat=35 "
               "-XMP:DateTimeOriginal=2026:05:04 03:02:01 -XMP:ExifImageWidth=5537 -XMP:ExifImageHeight=4153 "
               "-XMP:ImageWidth=5537 -XMP:Make=Vendalux -XMP:ImageHeight=4153 -IPTC:TimeCreated=14:39:47 "
               "-IPTC:DateCreated=2026:05:04";
    }

    void metadata()
    {
        QFETCH(QByteArray, bytes);
        PhotoPreparation::Result result;
        const QByteArray sent = QByteArray::fromBase64(prepare("photo.jpg", bytes, &result));
        const QByteArray read = exiftool({"-args", "-n", "-a", "-G", "-File:ImageWidth", "-Orientation", "-Artist",
                                          "-Copyright", "-EXIF:DateTimeOriginal", "-EXIF:ExifImageWidth", "-Keywords",
                                          "-Caption-Abstract", "-Creator", "-Title", "-ProfileDescription",
                                          "-GPSLatitude", "-ThumbnailImage", "-XMP-exif:all", "-XMP-tiff:all",
                                          "-TimeCreated", "-DateCreated"},
                                         sent);
        QTEST(QString(read).trimmed().replace(QLatin1Char('\n'), QLatin1Char(' ')), "tags");
    }
};

QTEST_MAIN(TestPhotoPreparation)
#include "tst_photopreparation.moc"
