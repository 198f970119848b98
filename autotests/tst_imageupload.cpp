#include "photopreparation.h"
#include "signinfixture.h"
#include "xclientprobe.h"

#include <QBuffer>
#include <QDir>
#include <QImage>
#include <QImageReader>
#include <QJsonArray>
#include <QJsonObject>
#include <QPainter>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QWebFrame>

#include <turbojpeg.h>

#include <limits>

// Photo uploads end to end against the simulated service, with generated
// JPEGs and a private temporary directory that must stay empty.
class TestImageUpload : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void sizeTable_data();
    void sizeTable();
    void targetSizeUnderAnyLimit_data();
    void targetSizeUnderAnyLimit();
    void stagesOfAnyLength();
    void jpgFilesOfEveryKind_data();
    void jpgFilesOfEveryKind();
    void upperCaseJpgIsReencoded();
    void otherFilesSentByteForByte_data();
    void otherFilesSentByteForByte();
    void stagesOfOneUpload();
    void metadata_data();
    void metadata();
    void unreadableFile();
    void emptyProgressCallbackName();
    void statusOnStageTwoStopsTheUpload();
    void replyWithoutStatus();
    void lastReplyWithoutResponse();
    void uploadsQueueUp_data();
    void uploadsQueueUp();

private:
    void upload(const QString &file, const QVariant &meta = QVariantMap(),
                const QString &progress = QStringLiteral("onProgress"));
    QString makeJpeg(int width, int height, const QString &name = QStringLiteral("photo.jpg"));
    QString makeFile(const QString &relativePath, const QByteArray &bytes);
    QList<ImportService::Call> stages() const;
    QJsonObject lastCallback() const { return f->page.received().last().toObject(); }

    QTemporaryDir tmp;      // TMPDIR while the tests run
    QTemporaryDir files;    // photos under test
    std::unique_ptr<SignInFixture> f;
    int expectedCallbacks = 0;
};

void TestImageUpload::initTestCase()
{
    QVERIFY(tmp.isValid());
    QVERIFY(files.isValid());
}

void TestImageUpload::init()
{
    qputenv("TMPDIR", tmp.path().toLocal8Bit());
    f.reset(new SignInFixture);
    QVERIFY(f->ready);
    QVERIFY(f->signedIn());
    expectedCallbacks = 1;
    f->service.clearCalls();
}

void TestImageUpload::cleanup()
{
    f.reset();
    const QStringList left = QDir(tmp.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries);
    QVERIFY2(left.isEmpty(), qPrintable("left in the temporary directory: " + left.join(' ')));
    qunsetenv("TMPDIR");
}

QString TestImageUpload::makeJpeg(int width, int height, const QString &name)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(QColor(40, 120, 200));
    const QString path = files.filePath(name);
    image.save(path, "JPEG", 50);
    return path;
}

QString TestImageUpload::makeFile(const QString &relativePath, const QByteArray &bytes)
{
    const QString path = files.filePath(relativePath);
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    file.open(QIODevice::WriteOnly);
    file.write(bytes);
    return path;
}

void TestImageUpload::upload(const QString &file, const QVariant &meta, const QString &progress)
{
    QString path = file;
    QVariant metadata = meta;
    QString ok = QStringLiteral("onOk");
    QString err = QStringLiteral("onErr");
    QString process = progress;
    f->client.uploadImage(path, metadata, ok, err, process);
}

QList<ImportService::Call> TestImageUpload::stages() const
{
    QList<ImportService::Call> result;
    for (const ImportService::Call &call : f->service.calls()) {
        if (call.method == QLatin1String("addPhoto"))
            result << call;
    }
    return result;
}

// A JPEG's frame type, each component's sampling and its quantisation
// tables, read from its markers up to the scan.
static QByteArray codingOf(const QByteArray &jpeg)
{
    QByteArray coding;
    for (int at = 2; at + 4 <= jpeg.size() && uchar(jpeg[at]) == 0xff;) {
        const uchar marker = uchar(jpeg[at + 1]);
        const int length = uchar(jpeg[at + 2]) << 8 | uchar(jpeg[at + 3]);
        const QByteArray body = jpeg.mid(at + 4, length - 2);
        if (marker == 0xdb)
            coding += " DQT " + body.toHex();
        if (marker >= 0xc0 && marker <= 0xcf && marker != 0xc4 && marker != 0xc8 && marker != 0xcc) {
            coding += " SOF" + QByteArray::number(marker - 0xc0);
            for (int c = 0; c < uchar(body.at(5)); ++c)
                coding += ' ' + QByteArray::number(uchar(body.at(7 + 3 * c)), 16);
        }
        if (marker == 0xda)
            break;
        at += 2 + length;
    }
    return coding;
}

void TestImageUpload::sizeTable_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<QString>("refusal"); // empty: accepted
    QTest::addColumn<QSize>("sent");

    QTest::newRow("24.0 MP, the limit") << 6000 << 4000 << "" << QSize(6000, 4000);
    QTest::newRow("6016 x 4016") << 6016 << 4016 << "" << QSize(5869, 3918);
    QTest::newRow("8000 x 6000") << 8000 << 6000 << "" << QSize(5537, 4153);
    QTest::newRow("4000 x 8000 portrait") << 4000 << 8000 << "" << QSize(3391, 6782);
    QTest::newRow("ratio exactly 4") << 4096 << 1024 << "" << QSize(4096, 1024);
    QTest::newRow("ratio just over 4") << 4097 << 1024 << "123" << QSize();
    QTest::newRow("ratio 4.1") << 8200 << 2000 << "123" << QSize();
    QTest::newRow("3.998 MP") << 1999 << 2000 << "122" << QSize();
    QTest::newRow("too low, too long: 122 first") << 5000 << 1000 << "122" << QSize();
    QTest::newRow("too narrow") << 1000 << 5000 << "122" << QSize();
}

void TestImageUpload::sizeTable()
{
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(QString, refusal);
    QFETCH(QSize, sent);

    upload(makeJpeg(width, height));
    if (!refusal.isEmpty()) {
        QVERIFY(f->page.waitForCallbacks(expectedCallbacks + 1));
        const QString text = refusal == QLatin1String("122") ? QStringLiteral("Too small dimensions")
                                                            : QStringLiteral("Wrong aspect ratio");
        QCOMPARE(lastCallback(), (QJsonObject{{"cb", "onErr"},
                                              {"args", QJsonArray{QJsonObject{{"error_type", "app"},
                                                                              {"error_code", refusal},
                                                                              {"error_text", text}}}}}));
        QCOMPARE(stages().size(), 0);
        return;
    }
    QVERIFY(f->page.waitForCallbacks(expectedCallbacks + 5, 60000));
    QCOMPARE(lastCallback(), (QJsonObject{{"cb", "onOk"}, {"args", QJsonArray{"1001"}}}));
    const ImportService::Photo photo = f->service.photos().value(0);
    QCOMPARE(photo.ext, QStringLiteral(".jpg"));
    QCOMPARE(QImage::fromData(photo.bytes, "JPEG").size(), sent);
    QByteArray byQt;
    QBuffer buffer(&byQt);
    buffer.open(QIODevice::WriteOnly);
    QImage(16, 16, QImage::Format_RGB32).save(&buffer, "JPEG", 90);
    QCOMPARE(codingOf(photo.bytes), codingOf(byQt)); // baseline, 4:2:0, quality 90's tables
}

void TestImageUpload::targetSizeUnderAnyLimit_data()
{
    QTest::addColumn<int>("maxMpx");
    QTest::addColumn<QSize>("photo");
    QTest::addColumn<QSize>("sent");
    QTest::newRow("a service's most negative limit") << std::numeric_limits<int>::min() << QSize(3000, 2000) << QSize(3000, 2000);
    QTest::newRow("a limit of 1 leaves no area to aim at") << 1 << QSize(3000, 2000) << QSize(3000, 2000);
    QTest::newRow("a limit of 2 aims at 1 MP") << 2 << QSize(3000, 2000) << QSize(1224, 816);
    QTest::newRow("the largest limit") << std::numeric_limits<int>::max() << QSize(3000, 2000) << QSize(3000, 2000);
}

void TestImageUpload::targetSizeUnderAnyLimit()
{
    QFETCH(int, maxMpx);
    QFETCH(QSize, photo);
    QTEST(PhotoPreparation::targetSize(photo, maxMpx), "sent");
}

// Three quarters of a 512 MiB photo's text pass what an int holds.
void TestImageUpload::stagesOfAnyLength()
{
    for (const qint64 length : {qint64(0), qint64(3), qint64(715827884), qint64(std::numeric_limits<int>::max())}) {
        const auto bounds = PhotoPreparation::stageBounds(length);
        QCOMPARE(bounds.front(), qint64(0));
        QCOMPARE(bounds.back(), length);
        for (int stage = 0; stage < PhotoPreparation::stageCount; ++stage)
            QVERIFY2(bounds[stage + 1] - bounds[stage] == length / 4 || bounds[stage + 1] - bounds[stage] == length / 4 + 1,
                     qPrintable(QString::number(length)));
    }
}

void TestImageUpload::upperCaseJpgIsReencoded()
{
    const QString path = makeJpeg(2500, 2000, QStringLiteral("IMG_1.JPG"));
    upload(path);
    QVERIFY(f->page.waitForCallbacks(expectedCallbacks + 5));
    const ImportService::Photo photo = f->service.photos().value(0);
    QCOMPARE(photo.ext, QStringLiteral(".jpg"));
    QFile original(path);
    QVERIFY(original.open(QIODevice::ReadOnly));
    QVERIFY(photo.bytes != original.readAll()); // written anew at the service's quality
    QCOMPARE(QImage::fromData(photo.bytes, "JPEG").size(), QSize(2500, 2000));
}

void TestImageUpload::otherFilesSentByteForByte_data()
{
    QTest::addColumn<QString>("relativePath");
    QTest::addColumn<QString>("ext");
    QTest::addColumn<QByteArray>("bytes");

    QByteArray smallJpeg;
    {
        QBuffer buffer(&smallJpeg);
        buffer.open(QIODevice::WriteOnly);
        QImage(10, 10, QImage::Format_RGB32).save(&buffer, "JPEG"); // far below every limit
    }
    QTest::newRow(".jpeg, not checked") << "tiny.jpeg" << ".jpeg" << smallJpeg;
    QTest::newRow(".png") << "scan.PNG" << ".png" << QByteArray("\x89PNG not really", 15);
    QTest::newRow("no extension") << "noext" << "" << QByteArray(1000, 'z');
    QTest::newRow("dot in a folder name") << "My.Photos/IMG_1" << ".photos/img_1" << QByteArray("data");
    QTest::newRow("empty file") << "empty.bin" << ".bin" << QByteArray();
    QTest::newRow("three bytes") << "three.bin" << ".bin" << QByteArray("abc");
}

void TestImageUpload::otherFilesSentByteForByte()
{
    QFETCH(QString, relativePath);
    QFETCH(QString, ext);
    QFETCH(QByteArray, bytes);
    QVERIFY2(!files.path().contains(QLatin1Char('.')), "the folder itself must not hold a dot");

    upload(makeFile(relativePath, bytes));
    QVERIFY(f->page.waitForCallbacks(expectedCallbacks + 5));
    QCOMPARE(lastCallback().value("cb").toString(), QStringLiteral("onOk"));
    const ImportService::Photo photo = f->service.photos().value(0);
    QCOMPARE(photo.ext, ext);
    QCOMPARE(photo.bytes, bytes);
    const QString text = QString::fromLatin1(bytes.toBase64());
    for (const ImportService::Call &stage : stages())
        QCOMPARE(stage.params.value(1).toMap().value("data").toString().size(), text.size() / 4);
}

void TestImageUpload::stagesOfOneUpload()
{
    upload(makeFile(QStringLiteral("doc.txt"), QByteArray(4000, 'q')));
    QVERIFY(f->page.waitForCallbacks(expectedCallbacks + 5));
    const QList<ImportService::Call> calls = stages();
    QCOMPARE(calls.size(), 4);
    const QString uniq = calls.at(0).params.value(1).toMap().value("uniq").toString();
    QVERIFY(QRegularExpression(QStringLiteral("^[0-9a-f]{32}$")).match(uniq).hasMatch());
    for (int part = 0; part < 4; ++part) {
        const QVariantMap record = calls.at(part).params.value(1).toMap();
        QCOMPARE(record.value("uniq").toString(), uniq);
        QCOMPARE(record.value("part"), QVariant(part));
        QCOMPARE(record.value("last"), QVariant(part == 3 ? 1 : 0));
        QCOMPARE(record.contains("title"), part == 3);
        QVERIFY2(calls.at(part).accepted, qPrintable(calls.at(part).note)); // each on the token chain
        if (part > 0)
            QCOMPARE(calls.at(part).token, SignInFixture::renewed(calls.at(part - 1).token));
    }
    QCOMPARE(XClientProbe::sessionId(f->client), SignInFixture::renewed(calls.at(3).token));
    const QJsonArray received = f->page.received();
    for (int step = 1; step <= 4; ++step)
        QCOMPARE(received.at(step).toObject(), (QJsonObject{{"cb", "onProgress"}, {"args", QJsonArray{step, 4}}}));
}

void TestImageUpload::metadata_data()
{
    QTest::addColumn<QVariant>("meta");
    QTest::addColumn<QStringList>("sent"); // title, desc, keywords
    QTest::newRow("keywords as a list") << QVariant(QVariantMap{{"title", "Harbour"}, {"desc", "it's dawn"},
                                                                {"keywords", QStringList{"sea", "sky", "boat"}}})
                                        << QStringList{"Harbour", "it's dawn", "sea|sky|boat"};
    QTest::newRow("keywords as one text") << QVariant(QVariantMap{{"keywords", "sea, sky"}})
                                          << QStringList{"", "", "sea, sky"};
    QTest::newRow("meta without members") << QVariant(QVariantMap()) << QStringList{"", "", ""};
    QTest::newRow("meta that is no map") << QVariant(QStringLiteral("title")) << QStringList{"", "", ""};
}

void TestImageUpload::metadata()
{
    QFETCH(QVariant, meta);
    QFETCH(QStringList, sent);
    upload(makeFile(QStringLiteral("meta.bin"), "1234"), meta);
    QVERIFY(f->page.waitForCallbacks(expectedCallbacks + 5));
    const ImportService::Photo photo = f->service.photos().value(0);
    QCOMPARE((QStringList{photo.title, photo.desc, photo.keywords}), sent);
}

void TestImageUpload::unreadableFile()
{
    upload(files.filePath(QStringLiteral("missing.jpeg")));
    QVERIFY(f->page.waitForCallbacks(expectedCallbacks + 1));
    QCOMPARE(lastCallback().value("args").toArray().at(0).toObject(),
             (QJsonObject{{"error_type", "app"}, {"error_code", "121"}, {"error_text", "Cannot read file"}}));
    QCOMPARE(stages().size(), 0);
}

void TestImageUpload::emptyProgressCallbackName()
{
    upload(makeFile(QStringLiteral("quiet.bin"), "12345678"), QVariantMap(), QString());
    QVERIFY(f->page.waitForCallbacks(expectedCallbacks + 1));
    QCOMPARE(lastCallback(), (QJsonObject{{"cb", "onOk"}, {"args", QJsonArray{"1001"}}}));
    QCOMPARE(stages().size(), 4);
}

void TestImageUpload::statusOnStageTwoStopsTheUpload()
{
    f->service.injectFault(QStringLiteral("addPhoto"),
                           FaultGate::InjectedFault(FaultGate::FaultKind::Status, 500, "Disk full", {}, 2));
    upload(makeFile(QStringLiteral("half.bin"), QByteArray(300, 'h')));
    QVERIFY(f->page.waitForCallbacks(expectedCallbacks + 3));
    QTest::qWait(200); // a stray stage 3 would arrive now
    const QJsonArray received = f->page.received();
    QCOMPARE(received.size(), expectedCallbacks + 3);
    QCOMPARE(received.at(1).toObject().value("args").toArray(), (QJsonArray{1, 4}));
    QCOMPARE(received.at(2).toObject().value("args").toArray(), (QJsonArray{2, 4}));
    QCOMPARE(lastCallback().value("args").toArray().at(0).toObject(),
             (QJsonObject{{"error_type", "app"}, {"error_code", "500"}, {"error_text", "Disk full"}}));
    QCOMPARE(stages().size(), 3);
    QCOMPARE(XClientProbe::sessionId(f->client), SignInFixture::renewed(stages().last().token));
}

void TestImageUpload::replyWithoutStatus()
{
    f->service.injectFault(QStringLiteral("addPhoto"),
                           FaultGate::InjectedFault(FaultGate::FaultKind::Reply, 0, {}, QVariantMap{{"output", QVariantList()}}));
    upload(makeFile(QStringLiteral("nostatus.bin"), "abcd"));
    QVERIFY(f->page.waitForCallbacks(expectedCallbacks + 1));
    QCOMPARE(lastCallback().value("args").toArray().at(0).toObject(),
             (QJsonObject{{"error_type", "app"}, {"error_code", ""}, {"error_text", ""}}));
}

void TestImageUpload::lastReplyWithoutResponse()
{
    f->service.injectFault(QStringLiteral("addPhoto"),
                           FaultGate::InjectedFault(FaultGate::FaultKind::Reply, 0, {},
                                                    QVariantMap{{"status", 200}, {"output", QVariantList{QVariantMap()}}}, 3));
    upload(makeFile(QStringLiteral("noresponse.bin"), "abcd"));
    QVERIFY(f->page.waitForCallbacks(expectedCallbacks + 5));
    QCOMPARE(lastCallback(), (QJsonObject{{"cb", "onOk"}, {"args", QJsonArray{""}}}));
}

// Left half one colour, right half another, coded by TurboJPEG as cameras code photos.
static QByteArray twoColourJpeg(int subsampling)
{
    const int width = 2400, height = 1800;
    QImage image(width, height, QImage::Format_RGB888);
    image.fill(QColor(200, 40, 40));
    QPainter(&image).fillRect(width / 2, 0, width / 2, height, QColor(40, 60, 220));
    tjhandle encoder = tjInitCompress();
    unsigned char *jpeg = nullptr;
    unsigned long size = 0;
    const bool grey = subsampling == TJSAMP_GRAY;
    const QImage source = grey ? image.convertToFormat(QImage::Format_Grayscale8) : image;
    tjCompress2(encoder, source.constBits(), width, source.bytesPerLine(), height, grey ? TJPF_GRAY : TJPF_RGB,
                &jpeg, &size, subsampling, 95, 0);
    const QByteArray bytes(reinterpret_cast<const char *>(jpeg), int(size));
    tjFree(jpeg);
    tjDestroy(encoder);
    return bytes;
}

void TestImageUpload::jpgFilesOfEveryKind_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("refusal"); // 0: accepted
    QTest::addColumn<QColor>("left"); // invalid: not compared
    QTest::addColumn<QColor>("right");

    const QColor red(200, 40, 40), blue(40, 60, 220);
    const QColor redGrey = QColor(qGray(red.rgb()), qGray(red.rgb()), qGray(red.rgb()));
    const QColor blueGrey = QColor(qGray(blue.rgb()), qGray(blue.rgb()), qGray(blue.rgb()));
    QTest::newRow("4:4:4") << twoColourJpeg(TJSAMP_444) << 0 << red << blue;
    QTest::newRow("4:2:2") << twoColourJpeg(TJSAMP_422) << 0 << red << blue;
    QTest::newRow("4:2:0") << twoColourJpeg(TJSAMP_420) << 0 << red << blue;
    QTest::newRow("4:4:0") << twoColourJpeg(TJSAMP_440) << 0 << red << blue;
    QTest::newRow("4:1:1") << twoColourJpeg(TJSAMP_411) << 0 << red << blue;
    QTest::newRow("greyscale") << twoColourJpeg(TJSAMP_GRAY) << 0 << redGrey << blueGrey;
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    QImage::fromData(twoColourJpeg(TJSAMP_444)).save(&buffer, "PNG");
    QTest::newRow("PNG inside: Qt reads it") << png << 0 << red << blue;
    QTest::newRow("text inside: 0 x 0") << QByteArray("not a photo") << 122 << QColor() << QColor();
    QTest::newRow("cut inside its header") << twoColourJpeg(TJSAMP_420).left(100) << 122 << QColor() << QColor();
}

// Every kind shrunk to 1 MP by a limit of 2 MP: the exact size, and each
// half keeps its colour, chroma included.
void TestImageUpload::jpgFilesOfEveryKind()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, refusal);
    QFETCH(QColor, left);
    QFETCH(QColor, right);
    UploadRestrictions limits;
    limits.max_mpx = 2;
    const PhotoPreparation::Result result = PhotoPreparation::prepare(makeFile(QStringLiteral("kind.jpg"), bytes), limits);
    QCOMPARE(int(result.error), refusal);
    if (refusal)
        return;
    QString text;
    for (const QString &stage : result.stages)
        text += stage;
    const QImage sent = QImage::fromData(QByteArray::fromBase64(text.toLatin1()), "JPEG");
    QCOMPARE(sent.size(), PhotoPreparation::targetSize(QSize(2400, 1800), 2));
    const auto near = [](QColor a, QColor b) {
        return qAbs(a.red() - b.red()) <= 12 && qAbs(a.green() - b.green()) <= 12 && qAbs(a.blue() - b.blue()) <= 12;
    };
    const QColor leftSent = sent.pixelColor(sent.width() / 4, sent.height() / 2);
    const QColor rightSent = sent.pixelColor(sent.width() * 3 / 4, sent.height() / 2);
    QVERIFY2(near(leftSent, left), qPrintable(leftSent.name()));
    QVERIFY2(near(rightSent, right), qPrintable(rightSent.name()));
}

void TestImageUpload::uploadsQueueUp_data()
{
    QTest::addColumn<int>("firstWidth");
    QTest::addColumn<QString>("firstOutcome");
    QTest::newRow("the first accepted") << 2500 << "onOk";
    QTest::newRow("the first refused") << 1500 << "onErr";
}

// A second upload while the first photo is being prepared runs after the
// first has ended, with its own callbacks.
void TestImageUpload::uploadsQueueUp()
{
    QFETCH(int, firstWidth);
    QFETCH(QString, firstOutcome);
    f->page.frame()->evaluateJavaScript(QStringLiteral("var onOk2 = recorder('onOk2'), onProgress2 = recorder('onProgress2');"));
    upload(makeJpeg(firstWidth, 2000));
    QString second = makeFile(QStringLiteral("second.bin"), "second");
    QVariant meta;
    QString ok = QStringLiteral("onOk2"), err = QStringLiteral("onErr"), progress = QStringLiteral("onProgress2");
    f->client.uploadImage(second, meta, ok, err, progress);
    const int firstCallbacks = firstOutcome == QLatin1String("onOk") ? 5 : 1;
    QVERIFY(f->page.waitForCallbacks(expectedCallbacks + firstCallbacks + 5));
    QStringList order;
    for (const QJsonValue &callback : f->page.received())
        order << callback.toObject().value("cb").toString();
    QStringList expected{"onOk"};
    if (firstOutcome == QLatin1String("onOk"))
        expected << "onProgress" << "onProgress" << "onProgress" << "onProgress";
    expected << firstOutcome << "onProgress2" << "onProgress2" << "onProgress2" << "onProgress2" << "onOk2";
    QCOMPARE(order, expected);
    const QList<ImportService::Photo> photos = f->service.photos();
    QCOMPARE(photos.size(), firstCallbacks == 5 ? 2 : 1);
    QCOMPARE(photos.last().bytes, QByteArray("second"));
}

QTEST_MAIN(TestImageUpload)
#include "tst_imageupload.moc"
