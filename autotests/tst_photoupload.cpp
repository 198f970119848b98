#include "photopreparation.h"
#include "signinfixture.h"

#include <QBuffer>
#include <QColorSpace>
#include <QDir>
#include <QJsonDocument>
#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>
#include <QPainter>
#include <QTemporaryDir>
#include <QWebFrame>

#include <turbojpeg.h>

#include <climits>

// Left half red, right half blue, coded by TurboJPEG as cameras code photos.
static QByteArray twoColours(int width, int height, int sampling = TJSAMP_420, int quality = 95)
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

// A JPEG's quantisation tables, and its baseline frame's components with their sampling.
static QByteArray codingOf(const QByteArray &jpeg)
{
    const int tables = jpeg.indexOf("\xff\xdb"), frame = jpeg.indexOf("\xff\xc0");
    return jpeg.mid(tables, frame - tables) + jpeg.mid(frame + 9, 10);
}

// exiftool, a reader and writer independent of ours, on a JPEG given on its standard input.
static QByteArray exiftool(const QStringList &arguments, const QByteArray &jpeg)
{
    QProcess exiftool;
    exiftool.start("exiftool", arguments + QStringList{"-"});
    exiftool.write(jpeg);
    exiftool.closeWriteChannel();
    exiftool.waitForFinished(60000);
    return exiftool.readAllStandardOutput();
}

static const QString stored = R"(onProgress[1,4] onProgress[2,4] onProgress[3,4] onProgress[4,4] onOk["1001"])";

static QString refused(const QString &code, const QString &text)
{
    return QStringLiteral(R"(onErr[{"error_type":"app","error_code":"%1","error_text":"%2"}])").arg(code, text);
}

// Photo uploads to the simulated service, with a private temporary
// directory that must stay empty.
class TestPhotoUpload : public QObject
{
    Q_OBJECT
    QTemporaryDir tmp; // TMPDIR while the tests run
    QTemporaryDir files;
    std::unique_ptr<SignInFixture> f;

    // Writes the file (null bytes: none); returns its path.
    QString write(const QString &name, const QByteArray &bytes)
    {
        QFile file(files.filePath(name));
        if (!bytes.isNull() && QDir().mkpath(QFileInfo(file).path()) && file.open(QFile::WriteOnly | QFile::Unbuffered))
            file.write(bytes);
        return file.fileName();
    }

    void upload(const QString &name, const QByteArray &bytes, QVariant meta = QVariant(),
                QString progress = "onProgress", QString ok = "onOk")
    {
        QString path = write(name, bytes), err = "onErr";
        f->client.uploadImage(path, meta, ok, err, progress);
    }

    // Once as many callbacks after sign-in's as `expected` holds have come,
    // and a stray later one would have too: they read "name[arguments] ...".
    // Only the last stage of an upload carries the metadata; each stage
    // carries the token after the one before, and the client holds the one
    // after the last. The simulated service checks their numbers and order.
    void checkUpload(const QString &expected, int stages) const
    {
        f->page.waitForCallbacks(2 + expected.count("] "), 60000);
        QTest::qWait(150);
        const auto script = "received.slice(1).map(function (c) { return c.cb + JSON.stringify(c.args); }).join(' ')";
        QCOMPARE(f->page.frame()->evaluateJavaScript(script).toString(), expected);
        QStringList tokens;
        for (const ImportService::Call &call : f->service.calls()) {
            if (call.method != QLatin1String("addPhoto"))
                continue;
            QCOMPARE(call.params.value(1).toMap().contains("title"), call.params.value(1).toMap().value("part") == 3);
            QVERIFY(tokens.isEmpty() || call.token == SignInFixture::renewed(tokens.last()));
            tokens << call.token;
        }
        QCOMPARE(tokens.size(), stages);
        QVERIFY(tokens.isEmpty() || f->client.session().token() == SignInFixture::renewed(tokens.last()));
    }

private slots:
    void init()
    {
        qputenv("TMPDIR", tmp.path().toLocal8Bit());
        f.reset(new SignInFixture);
        QVERIFY(f->ready && f->signedIn());
    }
    void cleanup()
    {
        f.reset();
        QVERIFY(QDir(tmp.path()).isEmpty()); // no temporary JPEG left behind
    }

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
    void sentFiles_data()
    {
        QTest::addColumn<QByteArray>("bytes"); // null: no such file
        QTest::addColumn<QString>("outcome");
        QTest::addColumn<QString>("ext");
        QTest::addColumn<QSize>("sent"); // invalid: the file's own bytes
        const QString small = refused("122", "Too small dimensions"), ratio = refused("123", "Wrong aspect ratio");
        QTest::newRow("24.0 MP, the limit.jpg") << twoColours(6000, 4000) << stored << ".jpg" << QSize(6000, 4000);
        QTest::newRow("6016 x 4016.jpg") << twoColours(6016, 4016) << stored << ".jpg" << QSize(5869, 3918);
        QTest::newRow("8000 x 6000.jpg") << twoColours(8000, 6000) << stored << ".jpg" << QSize(5537, 4153);
        QTest::newRow("4000 x 8000.jpg") << twoColours(4000, 8000) << stored << ".jpg" << QSize(3391, 6782);
        QTest::newRow("ratio exactly 4.jpg") << twoColours(4096, 1024) << stored << ".jpg" << QSize(4096, 1024);
        QTest::newRow("UPPER CASE.JPG") << twoColours(2500, 2000) << stored << ".jpg" << QSize(2500, 2000);
        const char *const samplings[] = {"4:4:4.jpg", "4:2:2.jpg", "", "grey.jpg", "4:4:0.jpg", "4:1:1.jpg"};
        for (const int s : {TJSAMP_444, TJSAMP_422, TJSAMP_440, TJSAMP_411, TJSAMP_GRAY})
            QTest::newRow(samplings[s]) << twoColours(6400, 4800, s) << stored << ".jpg" << QSize(5537, 4153);
        QByteArray png;
        QBuffer buffer(&png);
        QImage::fromData(twoColours(6400, 4800)).save(&buffer, "PNG");
        QTest::newRow("PNG inside.jpg") << png << stored << ".jpg" << QSize(5537, 4153);
        QTest::newRow("cut in its header.jpg") << twoColours(2400, 1800).left(100) << small << "" << QSize();
        QTest::newRow("ratio just over 4.jpg") << twoColours(4097, 1024) << ratio << "" << QSize();
        QTest::newRow("3.998 MP.jpg") << twoColours(1999, 2000) << small << "" << QSize();
        QTest::newRow("too low, too long: 122 first.jpg") << twoColours(5000, 1000) << small << "" << QSize();
        QTest::newRow("too narrow.jpg") << twoColours(1000, 5000) << small << "" << QSize();
        QTest::newRow("unreadable.jpeg") << QByteArray() << refused("121", "Cannot read file") << "" << QSize();
        QTest::newRow("tiny, not checked.jpeg") << twoColours(10, 10) << stored << ".jpeg" << QSize();
        QTest::newRow("scan.PNG") << QByteArray("\x89PNG not really", 15) << stored << ".png" << QSize();
        QTest::newRow("no extension") << QByteArray(1000, 'z') << stored << "" << QSize();
        QTest::newRow("My.Photos/IMG_1") << QByteArray("data") << stored << ".photos/img_1" << QSize();
        QTest::newRow("empty.bin") << QByteArray("") << stored << ".bin" << QSize();
        QTest::newRow("three bytes.bin") << QByteArray("abc") << stored << ".bin" << QSize();
    }

    // A ".jpg" photo is checked, then written anew as a baseline JPEG at the
    // service's quality, 4:2:0 unless grey, shrunk when too large, each half
    // keeping its colour; any other file goes as it is. A second upload while
    // the first is being prepared runs after it, with its own callbacks.
    void sentFiles()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, outcome);
        QFETCH(QString, ext);
        QFETCH(QSize, sent);
        upload(QTest::currentDataTag(), bytes,
               QVariantMap{{"title", "Harbour"}, {"desc", "it's dawn"}, {"keywords", QStringList{"sea", "sky"}}});
        upload("second.bin", "second", QVariantMap{{"keywords", "sea, sky"}}, QString(), "onOther");
        const bool storedFirst = outcome == stored;
        checkUpload(outcome + QStringLiteral(R"( onOther["%1"])").arg(storedFirst ? 1002 : 1001), storedFirst ? 8 : 4);
        QStringList photos;
        for (const ImportService::Photo &photo : f->service.photos())
            photos << photo.ext << photo.title << photo.desc << photo.keywords;
        const QStringList second{".bin", "", "", "sea, sky"};
        QCOMPARE(photos, (storedFirst ? QStringList{ext, "Harbour", "it's dawn", "sea|sky"} + second : second));
        QCOMPARE(f->service.photos().last().bytes, QByteArray("second"));
        const QByteArray first = f->service.photos().value(0).bytes;
        QCOMPARE(first == bytes, storedFirst && !sent.isValid()); // a photo is written anew, another file sent as it is
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
        QTest::addColumn<QString>("tags"); // of those asked for, all the copy has
        QTest::addColumn<QStringList>("received"); // as the simulated service names them
        const QString icc = write("p3.icc", QColorSpace(QColorSpace::DisplayP3).iccProfile());
        const QByteArray every = exiftool(
            {"-o", "-", "-n", "-Orientation=6", "-GPSLatitude=48.8584", "-GPSLatitudeRef=N", "-Artist=Ana",
             "-Copyright=(c) Ana", "-DateTimeOriginal=2026:05:04 03:02:01", "-ExifImageWidth=8000",
             "-XMP-exif:ExifImageWidth=8000", "-IPTC:Caption-Abstract=Harbour", "-IPTC:Keywords=sea",
             "-IPTC:Keywords=sky", "-XMP-dc:Title=Dawn", "-XMP-dc:Creator=Ana", "-ICC_Profile<=" + icc,
             "-ThumbnailImage<=" + write("thumbnail.jpg", twoColours(160, 120))},
            twoColours(8000, 6000));
        QTest::newRow("every block, scaled")
            << every
            << "Composite:GPSLatitude=48.8584 EXIF:Artist=Ana EXIF:Copyright=(c) Ana EXIF:DateTimeOriginal=2026:05:04 "
               "03:02:01 EXIF:ExifImageWidth=5537 EXIF:GPSLatitude=48.8584 EXIF:Orientation=6 File:ImageWidth=5537 "
               "ICC_Profile:ProfileDescription=Display P3 IPTC:Caption-Abstract=Harbour IPTC:Keywords=sea|sky "
               "XMP:Creator=Ana XMP:ExifImageWidth=5537 XMP:Title=Dawn"
            << QStringList{"Exif", "IPTC", "XMP", "ICC"};
        // An Exif block whose TIFF header is garbage, before an XMP block.
        const QByteArray broken("\xff\xd8\xff\xe1\0\x12" "Exif\0\0XX\x2a\0\xff\xff\xff\x7f\0\0", 22);
        const QByteArray withXmp = exiftool({"-o", "-", "-XMP-dc:Title=Dawn"}, twoColours(3000, 2000));
        QTest::newRow("broken Exif") << broken + withXmp.mid(2) << "File:ImageWidth=3000 XMP:Title=Dawn"
                                     << QStringList{"XMP"};
        QTest::newRow("none") << twoColours(3000, 2000) << "File:ImageWidth=3000" << QStringList();
    }

    void metadata()
    {
        QFETCH(QByteArray, bytes);
        upload("photo.jpg", bytes);
        checkUpload(stored, 4);
        const QByteArray read = exiftool({"-j", "-n", "-a", "-G", "-ImageWidth", "-Orientation", "-Artist",
                                          "-Copyright", "-DateTimeOriginal", "-ExifImageWidth", "-Keywords",
                                          "-Caption-Abstract", "-Creator", "-Title", "-ProfileDescription",
                                          "-GPSLatitude", "-ThumbnailImage"},
                                         f->service.photos().value(0).bytes);
        QStringList tags;
        const QJsonObject found = QJsonDocument::fromJson(read).array().at(0).toObject();
        for (auto it = found.begin(); it != found.end(); ++it) {
            const QVariant value = it.value().toVariant();
            const QString text = value.type() == QVariant::List ? value.toStringList().join('|') : value.toString();
            if (it.key() != "SourceFile")
                tags << it.key() + '=' + text;
        }
        QTEST(tags.join(' '), "tags"); // in the order of their names
        QTEST(f->service.photos().value(0).metadata, "received");
    }

    // Replies that end uploads, one after another: a status on stage three,
    // none, and the last reply without a response.
    void repliesThatEndUploads()
    {
        const auto endedBy = [this](const QVariantMap &reply, int stage, const QString &outcome) {
            f->service.injectFault("addPhoto", {FaultGate::FaultKind::Reply, 0, {}, reply, stage});
            upload("stages.bin", QByteArray(300, 'h'));
            checkUpload(outcome, stage + 1); // the stage answered is sent, and no later one
            f->page.frame()->evaluateJavaScript("received.length = 1;");
            f->service.clearCalls();
        };
        endedBy({{"status", 500}, {"statusMessage", "Disk full"}}, 2,
                "onProgress[1,4] onProgress[2,4] " + refused("500", "Disk full"));
        endedBy({{"output", QVariantList()}}, 0, refused("", ""));
        endedBy({{"status", 200}, {"output", QVariantList{QVariantMap()}}}, 3, QString(stored).replace("1001", ""));
    }
};

QTEST_MAIN(TestPhotoUpload)
#include "tst_photoupload.moc"
