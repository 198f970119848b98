#include "signinfixture.h"
#include "xclientprobe.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

// Releases: checked, uploaded and attached against the simulated service;
// every kind of answer through the one reply slot.
class TestReleases : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void outcomes_data();
    void outcomes();
    void uploadExtensions_data();
    void uploadExtensions();
    void emptyFileSendsEmptyData();
    void attachToUnknownPhotoIsRefused();
    void twoRequestsOutstanding();

private:
    QJsonObject lastCallback() const { return f->page.received().last().toObject(); }
    ImportService::Call lastCall() const { return f->service.calls().last(); }

    std::unique_ptr<SignInFixture> f;
    QTemporaryDir files;
    int callbacks = 0;
};

void TestReleases::init()
{
    f.reset(new SignInFixture);
    QVERIFY(f->ready);
    QVERIFY(f->signedIn());
    callbacks = 1;
}

void TestReleases::cleanup()
{
    f.reset();
}

void TestReleases::outcomes_data()
{
    QTest::addColumn<QVariantMap>("reply");
    QTest::addColumn<QJsonObject>("callback");

    auto ok = [](const QJsonArray &args) { return QJsonObject{{"cb", "onOk"}, {"args", args}}; };
    auto err = [](const QString &code, const QString &text) {
        return QJsonObject{{"cb", "onErr"}, {"args", QJsonArray{QJsonObject{{"error_type", "app"},
                                                                           {"error_code", code},
                                                                           {"error_text", text}}}}};
    };
    QTest::newRow("empty output") << QVariantMap{{"status", "200"}, {"output", QVariantList()}} << ok({});
    QTest::newRow("no output") << QVariantMap{{"status", "200"}} << ok({});
    QTest::newRow("no response member") << QVariantMap{{"status", "200"}, {"output", QVariantList{QVariantMap{{"x", 1}}}}} << ok({});
    QTest::newRow("response") << QVariantMap{{"status", "200"}, {"output", QVariantList{QVariantMap{{"response", "7"}}}}} << ok({"7"});
    QTest::newRow("empty response") << QVariantMap{{"status", "200"}, {"output", QVariantList{QVariantMap{{"response", ""}}}}} << ok({""});
    QTest::newRow("response with quotes and breaks")
        << QVariantMap{{"status", "200"}, {"output", QVariantList{QVariantMap{{"response", "it's\\ \"x\"\nnext"}}}}}
        << ok({"it's\\ \"x\"\nnext"});
    QTest::newRow("integer 200") << QVariantMap{{"status", 200}} << ok({});
    QTest::newRow("200 with a blank") << QVariantMap{{"status", "200 "}, {"statusMessage", "odd"}} << err("200 ", "odd");
    QTest::newRow("404") << QVariantMap{{"status", "404"}, {"statusMessage", "No such release"}} << err("404", "No such release");
    QTest::newRow("no status") << QVariantMap{{"output", QVariantList()}} << err("", "");
}

void TestReleases::outcomes()
{
    QFETCH(QVariantMap, reply);
    QFETCH(QJsonObject, callback);
    f->service.injectFault(QStringLiteral("checkReleases"),
                           FaultGate::InjectedFault(FaultGate::FaultKind::Reply, 0, {}, reply));
    QString releases = QStringLiteral("R1");
    QString ok = QStringLiteral("onOk");
    QString err = QStringLiteral("onErr");
    f->client.checkReleases(releases, ok, err);
    QVERIFY(f->page.waitForCallbacks(callbacks + 1));
    QCOMPARE(lastCallback(), callback);
    QCOMPARE(XClientProbe::sessionId(f->client), SignInFixture::renewed(lastCall().token)); // every reply renews
}

void TestReleases::uploadExtensions_data()
{
    QTest::addColumn<QString>("relativePath");
    QTest::addColumn<QString>("ext");
    QTest::newRow("upper case") << "Docs/Release.PDF" << ".pdf";
    QTest::newRow("none") << "Docs/release" << "";
    QTest::newRow("dot in a folder") << "my.docs/release" << ".docs/release";
}

void TestReleases::uploadExtensions()
{
    QFETCH(QString, relativePath);
    QVERIFY2(!files.path().contains(QLatin1Char('.')), "the folder itself must not hold a dot");
    QString path = files.filePath(relativePath);
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("%PDF-1.4 release");
    file.close();

    QString ok = QStringLiteral("onOk"), err = QStringLiteral("onErr"), progress = QStringLiteral("onProgress");
    f->client.uploadRelease(path, "model", "Ann", "signed", "2026-12-06", ok, err, progress);
    QVERIFY(f->page.waitForCallbacks(callbacks + 1));
    QCOMPARE(lastCallback(), (QJsonObject{{"cb", "onOk"}, {"args", QJsonArray{"R1"}}}));
    const ImportService::Release release = f->service.releases().value(0);
    QTEST(release.ext, "ext");
    QCOMPARE(release.bytes, QByteArray("%PDF-1.4 release"));
    QCOMPARE((QStringList{release.type, release.name, release.description, release.date}),
             (QStringList{"model", "Ann", "signed", "2026-12-06"}));
}

void TestReleases::emptyFileSendsEmptyData()
{
    QString path = files.filePath(QStringLiteral("empty.pdf"));
    QFile(path).open(QIODevice::WriteOnly);
    QString ok = QStringLiteral("onOk"), err = QStringLiteral("onErr"), progress;
    f->client.uploadRelease(path, "model", "", "", "", ok, err, progress);
    QVERIFY(f->page.waitForCallbacks(callbacks + 1));
    QCOMPARE(lastCall().params.value(1).toMap(), (QVariantMap{{"data", ""}, {"ext", ".pdf"}}));
    QCOMPARE(lastCallback().value("cb").toString(), QStringLiteral("onErr")); // the service wants content
}

void TestReleases::attachToUnknownPhotoIsRefused()
{
    QString ok = QStringLiteral("onOk"), err = QStringLiteral("onErr");
    QString photo = QStringLiteral("1001"), releases = QStringLiteral("R1");
    f->client.attachReleases(photo, releases, ok, err);
    QVERIFY(f->page.waitForCallbacks(callbacks + 1));
    QCOMPARE(lastCallback().value("args").toArray().at(0).toObject().value("error_code").toString(), QStringLiteral("404"));
    QCOMPARE(lastCall().params.mid(1), (QVariantList{"1001", "R1"}));
}

void TestReleases::twoRequestsOutstanding()
{
    f->service.injectFault(QStringLiteral("checkReleases"),
                           FaultGate::InjectedFault(FaultGate::FaultKind::Reply, 0, {},
                                                    QVariantMap{{"status", "200"}, {"output", QVariantList{QVariantMap{{"response", "checked"}}}}}));
    QString releases = QStringLiteral("R1"), photo = QStringLiteral("9");
    QString ok = QStringLiteral("onOk"), other = QStringLiteral("onOther"), err = QStringLiteral("onErr");
    f->client.checkReleases(releases, ok, err);
    f->client.attachReleases(photo, releases, other, other);
    QVERIFY(f->page.waitForCallbacks(callbacks + 2));
    QJsonArray received = f->page.received();
    QStringList seen;
    for (int i = callbacks; i < received.size(); ++i)
        seen << received.at(i).toObject().value("cb").toString() + ":"
                    + QString::fromUtf8(QJsonDocument(received.at(i).toObject().value("args").toArray()).toJson(QJsonDocument::Compact));
    seen.sort();
    QCOMPARE(seen.size(), 2);
    QCOMPARE(seen.at(0), QStringLiteral("onOk:[\"checked\"]"));
    QVERIFY2(seen.at(1).startsWith(QLatin1String("onOther:[{\"error_code\":\"404\"")), qPrintable(seen.at(1)));
}

QTEST_MAIN(TestReleases)
#include "tst_releases.moc"
