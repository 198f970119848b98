#include "photofiles.h"
#include "signinfixture.h"

#include <QTemporaryDir>
#include <QWebFrame>

static const QString stored = R"(onProgress[1,4] onProgress[2,4] onProgress[3,4] onProgress[4,4] onOk["1001"])";

static QString refused(const QString &code, const QString &text)
{
    return QStringLiteral(R"(onErr[{"error_type":"app","error_code":"%1","error_text":"%2"}])").arg(code, text);
}

// Photo uploads to the simulated service: what it stores, and what the page hears.
class TestPhotoUpload : public QObject
{
    Q_OBJECT
    QTemporaryDir files;
    std::unique_ptr<SignInFixture> f;

    // Writes the file and uploads it.
    void upload(const QString &name, const QByteArray &bytes, QVariant meta = QVariant(),
                QString progress = "onProgress", QString ok = "onOk")
    {
        QFile file(files.filePath(name));
        QVERIFY(file.open(QFile::WriteOnly) && file.write(bytes) == bytes.size());
        file.close();
        QString path = file.fileName(), err = "onErr";
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
        f.reset(new SignInFixture);
        QVERIFY(f->ready && f->signedIn());
    }
    void cleanup() { f.reset(); }

    // Each row's tag is its file's name.
    void sentFiles_data()
    {
        QTest::addColumn<QByteArray>("bytes"); // null: no such file
        QTest::addColumn<QString>("outcome");
        QTest::addColumn<QString>("ext");
        QTest::addColumn<QSize>("sent"); // invalid: the file's own bytes
        QTest::addColumn<QStringList>("received"); // the metadata blocks, as the simulated service names them
        const QStringList none, every{"Exif", "IPTC", "XMP", "ICC"};
        QTest::newRow("24.0 MP, the limit.jpg") << twoColours(6000, 4000) << stored << ".jpg" << QSize(6000, 4000)
                                                << none;
        QTest::newRow("a camera's, scaled.jpg") << withEveryBlock(twoColours(8000, 6000)) << stored << ".jpg"
                                                << QSize(5537, 4153) << every;
        QTest::newRow("3.998 MP.jpg") << twoColours(1999, 2000) << refused("122", "Too small dimensions") << ""
                                      << QSize() << none;
        QTest::newRow("cut at 60 %.jpg")
            << damaged(twoColours(3000, 2000), 0.6) << refused("126", "Damaged photo") << "" << QSize() << none;
        QTest::newRow("scan.PNG") << QByteArray("\x89PNG not really", 15) << stored << ".png" << QSize() << none;
    }

    // A ".jpg" photo is stored as written anew, with its metadata, any other
    // file as it is. A second upload while the first is being prepared runs
    // after it, with its own callbacks.
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
        QCOMPARE(QImage::fromData(first, "JPEG").size(), sent);
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
