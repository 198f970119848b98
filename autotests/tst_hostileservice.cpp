#include "XClient.h"
#include "scriptedhttpserver.h"
#include "testpage.h"
#include "xclientprobe.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QNetworkProxy>
#include <QPointer>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

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
    void silentCallDoesNotBlockOthers();

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

    QTest::newRow("garbage") << ScriptedHttpServer::httpAnswer("\x01\x02 not xml at all <<<") << "-32700" << "not well formed";
    QTest::newRow("truncated document") << ScriptedHttpServer::httpAnswer("<?xml version=\"1.0\"?><methodResponse><params><param><value><struct>")
                                        << "-32700" << "not well formed";
    QTest::newRow("100,000 nested arrays") << ScriptedHttpServer::httpAnswer("<methodResponse><params><param>"
                                                                             + QByteArray("<value><array><data>").repeated(100000))
                                           << "-32700" << "nested deeper than 512";
    QTest::newRow("billion laughs") << ScriptedHttpServer::httpAnswer(
        "<?xml version=\"1.0\"?><!DOCTYPE l [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\">"
        "<!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;\"><!ENTITY d \"&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;\">]>"
        "<methodResponse><params><param><value>&d;&d;&d;&d;</value></param></params></methodResponse>")
                                    << "-32700" << "document type declaration";
    QTest::newRow("closed mid-body") << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 5000\r\n\r\n<methodResponse><params>")
                                    << "-32300" << "";
    QTest::newRow("HTTP 502") << ScriptedHttpServer::httpAnswer("<html>bad gateway</html>", 502, "Bad Gateway")
                              << "-32300" << "Bad Gateway";
}

void TestHostileService::badAnswers()
{
    QFETCH(QByteArray, answer);
    QFETCH(QString, errorCode);
    QFETCH(QString, errorTextPart);

    // The network layer sends again when a connection closes unanswered.
    service->automaticAnswers << answer << answer << answer << answer;
    XClient client(page->frame(), page.get());
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression(QStringLiteral("^Error: -32")));
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

QTEST_MAIN(TestHostileService)
#include "tst_hostileservice.moc"
