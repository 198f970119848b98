#include "photopreparation.h"
#include "signinfixture.h"
#include "xclientprobe.h"

#include <QBuffer>
#include <QDir>
#include <QImage>
#include <QImageReader>
#include <QJsonArray>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

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

QTEST_MAIN(TestImageUpload)
#include "tst_imageupload.moc"
