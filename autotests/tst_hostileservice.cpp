#include "XClient.h"
#include "maiaObject.h"
#include "scriptedhttpserver.h"
#include "testpage.h"
#include "xclientprobe.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QNetworkProxy>
#include <QPointer>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>
#include <QWebFrame>

// A service that answers badly, or not at all: every call ends with one
// error for the page, the token stays as it was, and nothing crashes.
class TestHostileService : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void badAnswers_data();
    void badAnswers();
    void oversizedBodyIsCutOff_data();
    void oversizedBodyIsCutOff();
    void silentCallDoesNotBlockOthers();
    void serviceTextsStayText_data();
    void serviceTextsStayText();
    void quotedEarningsStayData();

private:
    void signIn(XClient &client);

    std::unique_ptr<ScriptedHttpServer> service;
    std::unique_ptr<TestPage> page;
};

void TestHostileService::init()
{
    service.reset(new ScriptedHttpServer);
    QNetworkProxy::setApplicationProxy(QNetworkProxy(QNetworkProxy::HttpProxy, QStringLiteral("127.0.0.1"), service->serverPort()));
    page.reset(new TestPage);
    QVERIFY(page->ready());
}

void TestHostileService::cleanup()
{
    page.reset();
    service.reset();
    QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
}

void TestHostileService::signIn(XClient &client)
{
    client.setCredentials(QStringLiteral("demo"), QStringLiteral("key"), QStringLiteral("pw"));
    QString ok = QStringLiteral("onOk"), err = QStringLiteral("onErr");
    client.login(ok, err);
}

void TestHostileService::badAnswers_data()
{
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<QString>("errorCode");
    QTest::addColumn<QString>("errorTextPart");
    QTest::addColumn<bool>("reset");

    QTest::newRow("garbage") << ScriptedHttpServer::httpAnswer("\x01\x02 not xml at all <<<") << "-32700" << "not well formed" << false;
    QTest::newRow("truncated document") << ScriptedHttpServer::httpAnswer("<?xml version=\"1.0\"?><methodResponse><params><param><value><struct>")
                                        << "-32700" << "not well formed" << false;
    QTest::newRow("100,000 nested arrays") << ScriptedHttpServer::httpAnswer("<methodResponse><params><param>"
                                                                             + QByteArray("<value><array><data>").repeated(100000))
                                           << "-32700" << "nested deeper than 512" << false;
    QTest::newRow("billion laughs") << ScriptedHttpServer::httpAnswer(
        "<?xml version=\"1.0\"?><!DOCTYPE l [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\">"
        "<!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;\"><!ENTITY d \"&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;\">]>"
        "<methodResponse><params><param><value>&d;&d;&d;&d;</value></param></params></methodResponse>")
                                    << "-32700" << "document type declaration" << false;
    QTest::newRow("closed mid-body") << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 5000\r\n\r\n<methodResponse><params>")
                                    << "-32300" << "" << false;
    QTest::newRow("reset mid-body") << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 5000\r\n\r\n<methodResponse><params>")
                                   << "-32300" << "" << true;
    // Quotes, backslashes and line breaks from the service must not become script.
    QTest::newRow("fault text that tries to escape into script")
        << ScriptedHttpServer::httpAnswer("<methodResponse><fault><value><struct><member><name>faultCode</name><value><int>7</int></value></member>"
                                          "<member><name>faultString</name><value>a\\\"'); window.injected = 1; ('\r\n\xe2\x80\xa8" "b</value></member>"
                                          "</struct></value></fault></methodResponse>")
        << "7" << "a\\\"'); window.injected = 1; ('\r\n\u2028b" << false;
    QTest::newRow("HTTP 502") << ScriptedHttpServer::httpAnswer("<html>bad gateway</html>", 502, "Bad Gateway")
                              << "-32300" << "Bad Gateway" << false;
}

void TestHostileService::badAnswers()
{
    QFETCH(QByteArray, answer);
    QFETCH(QString, errorCode);
    QFETCH(QString, errorTextPart);
    QFETCH(bool, reset);

    service->resetAfterAnswer = reset;
    // The network layer sends again when a connection closes unanswered.
    service->automaticAnswers << answer << answer << answer << answer;
    XClient client(page->frame(), page.get());
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression(QStringLiteral("^Error: ") + errorCode));
    signIn(client);
    QVERIFY(page->waitForCallbacks(1));
    QTest::qWait(100); // a second outcome for the same call would arrive now
    const QJsonArray received = page->received();
    QCOMPARE(received.size(), 1);
    const QJsonObject error = received.at(0).toObject().value("args").toArray().at(0).toObject();
    QCOMPARE(error.value("error_type").toString(), QStringLiteral("xmlrpc"));
    QCOMPARE(error.value("error_code").toString(), errorCode);
    QVERIFY2(error.value("error_text").toString().contains(errorTextPart), qPrintable(error.value("error_text").toString()));
    QVERIFY(XClientProbe::sessionId(client).isEmpty()); // no renewal on a fault
    QCOMPARE(page->frame()->evaluateJavaScript(QStringLiteral("typeof window.injected")).toString(), QStringLiteral("undefined"));
}

void TestHostileService::oversizedBodyIsCutOff_data()
{
    QTest::addColumn<bool>("announced");
    QTest::newRow("Content-Length of 100 MB") << true;
    QTest::newRow("100 MB until the connection closes") << false;
}

// The service streams a 100 MB body; the client stops reading at its limit.
void TestHostileService::oversizedBodyIsCutOff()
{
    QFETCH(bool, announced);
    constexpr qint64 bodyBytes = 100 * 1024 * 1024;
    const QByteArray chunk(1024 * 1024, 'x');
    qint64 written = 0;
    QPointer<QTcpSocket> streaming;
    connect(service.get(), &ScriptedHttpServer::requestReceived, this, [&](int index) {
        streaming = service->requests.at(index).socket;
        streaming->write("HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\n"
                         + (announced ? "Content-Length: " + QByteArray::number(bodyBytes) + "\r\n" : QByteArray())
                         + "\r\n<methodResponse><params><param><value><string>");
        // One chunk at a time, paced by the peer's reading.
        connect(streaming, &QTcpSocket::bytesWritten, streaming, [&] {
            if (written < bodyBytes && streaming->bytesToWrite() == 0) {
                written += chunk.size();
                streaming->write(chunk);
            }
        });
    });
    XClient client(page->frame(), page.get());
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^Aborting a response of more than 67108864 bytes")));
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression(QStringLiteral("^Error: -32300")));
    signIn(client);
    QVERIFY(page->waitForCallbacks(1, 60000));
    QTest::qWait(100);
    QCOMPARE(page->received().size(), 1);
    const QJsonObject error = page->received().at(0).toObject().value("args").toArray().at(0).toObject();
    QCOMPARE(error.value("error_code").toString(), QStringLiteral("-32300"));
    QVERIFY2(error.value("error_text").toString().contains("larger than 67108864 bytes"), qPrintable(error.value("error_text").toString()));
    QVERIFY2(written < bodyBytes, qPrintable(QString::number(written))); // the client hung up first
    QVERIFY(XClientProbe::sessionId(client).isEmpty());
}

void TestHostileService::silentCallDoesNotBlockOthers()
{
    auto *client = new XClient(page->frame(), page.get());
    signIn(*client); // this one is never answered
    QSignalSpy received(service.get(), &ScriptedHttpServer::requestReceived);
    QVERIFY(received.wait(10000));
    signIn(*client);
    QVERIFY(received.wait(10000));
    service->answer(1, ScriptedHttpServer::httpAnswer("<methodResponse><fault><value><struct><member><name>faultCode</name>"
                                                      "<value><int>9</int></value></member></struct></value></fault></methodResponse>"));
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression(QStringLiteral("^Error: 9")));
    QVERIFY(page->waitForCallbacks(1));
    QCOMPARE(page->received().size(), 1);

    delete client; // the silent call goes with it
    service->answer(0, ScriptedHttpServer::httpAnswer("<methodResponse><params/></methodResponse>"));
    QTRY_VERIFY_WITH_TIMEOUT(!service->requests.at(0).socket, 5000);
    QCoreApplication::processEvents();
    QCOMPARE(page->received().size(), 1);
}

namespace {
// Quotes, backslashes, line breaks and markup that would end a script string early.
const QString scriptBreaker = QStringLiteral("a\\\"'); window.injected = 1; ('\r\n\u2028\u2029</script>b");

QByteArray serviceReply(const QVariantMap &reply)
{
    return ScriptedHttpServer::httpAnswer(MaiaObject::composeResponse(reply).toUtf8());
}
} // namespace

void TestHostileService::serviceTextsStayText_data()
{
    QTest::addColumn<QVariantMap>("reply");
    QTest::addColumn<QString>("callback");
    QTest::addColumn<QString>("text");

    QTest::newRow("success text") << QVariantMap{{"status", "200"}, {"output", QVariantList{QVariantMap{{"response", scriptBreaker}}}}}
                                  << "onOk" << scriptBreaker;
    QTest::newRow("refusal message") << QVariantMap{{"status", "409"}, {"statusMessage", scriptBreaker}} << "onErr" << scriptBreaker;
    QTest::newRow("refusal status") << QVariantMap{{"status", scriptBreaker}, {"statusMessage", "x"}} << "onErr" << scriptBreaker;
}

// Texts the service chooses reach the page as the same text, never as script.
void TestHostileService::serviceTextsStayText()
{
    QFETCH(QVariantMap, reply);
    QFETCH(QString, callback);
    QFETCH(QString, text);

    service->automaticAnswers << serviceReply(reply);
    XClient client(page->frame(), page.get());
    QString releases = QStringLiteral("R1"), ok = QStringLiteral("onOk"), err = QStringLiteral("onErr");
    client.checkReleases(releases, ok, err);
    QVERIFY(page->waitForCallbacks(1));
    const QJsonObject received = page->received().at(0).toObject();
    QCOMPARE(received.value("cb").toString(), callback);
    const QJsonValue argument = received.value("args").toArray().at(0);
    const QString arrived = callback == QLatin1String("onOk") ? argument.toString()
        : reply.value("status") == text                      ? argument.toObject().value("error_code").toString()
                                                              : argument.toObject().value("error_text").toString();
    QCOMPARE(arrived, text);
    QCOMPARE(page->frame()->evaluateJavaScript(QStringLiteral("typeof window.injected")).toString(), QStringLiteral("undefined"));
}

// Earnings values with quotes land in the catalog as text and cannot alter the statements.
void TestHostileService::quotedEarningsStayData()
{
    QTemporaryDir dataHome;
    QVERIFY(dataHome.isValid());
    qputenv("XDG_DATA_HOME", dataHome.path().toLocal8Bit());
    const QString catalogPath = dataHome.filePath(QCoreApplication::applicationName() + "/data/catalog.dat");
    QCOMPARE(QProcess::execute(QStringLiteral("python3"), {QStringLiteral(CATALOG_SCRIPT), catalogPath}), 0);

    const QString currency = QStringLiteral("EUR'); DROP TABLE stock; --");
    const QVariantMap record{{"today", "2026-12-0'6"}, {"currency", currency}, {"value", 1.5}, {"rate", 0.25},
                             {"data", "2026-01-0'1:1:1|2026'); DELETE FROM stockstats; /*-01-02:2:2"}};
    service->automaticAnswers << serviceReply({{"status", "200"}, {"output", QVariantList{record}}});
    XClient client(page->frame(), page.get());
    client.getEarnings(QStringLiteral("2026-01-01"), QStringLiteral("2026-01-31"), QStringLiteral("onOk"), QStringLiteral("onErr"));
    QVERIFY(page->waitForCallbacks(1));
    QCOMPARE(page->received().at(0).toObject().value("cb").toString(), QStringLiteral("onOk"));

    QStringList account;
    QList<QStringList> days;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("check"));
        db.setDatabaseName(catalogPath);
        QVERIFY(db.open());
        QSqlQuery stock(QStringLiteral("SELECT Earnings, Currency, Rate FROM stock WHERE ID=1"), db);
        QVERIFY(stock.next());
        account << stock.value(0).toString() << stock.value(1).toString() << stock.value(2).toString();
        QSqlQuery stats(QStringLiteral("SELECT Type, Value, Day, Month, Year FROM stockstats ORDER BY ID"), db);
        while (stats.next())
            days << QStringList{stats.value(0).toString(), stats.value(1).toString(), stats.value(2).toString(),
                                stats.value(3).toString(), stats.value(4).toString()};
    }
    QSqlDatabase::removeDatabase(QStringLiteral("check"));
    QCOMPARE(account, (QStringList{"1.5", currency, "0.25"}));
    // The snapshot, then amount and photo count of each day, every quote kept.
    QCOMPARE(days, (QList<QStringList>{{"0", "1.5", "0'6", "12", "2026"},
                                       {"1", "1", "0'1", "01", "2026"}, {"2", "1", "0'1", "01", "2026"},
                                       {"1", "2", "02", "01", "2026'); DELETE FROM stockstats; /*"},
                                       {"2", "2", "02", "01", "2026'); DELETE FROM stockstats; /*"}}));
}

QTEST_MAIN(TestHostileService)
#include "tst_hostileservice.moc"
