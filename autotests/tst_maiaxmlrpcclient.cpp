#include "maiaObject.h"
#include "maiaXmlRpcClient.h"
#include "outcomerecorder.h"
#include "scriptedhttpserver.h"

#include <QPointer>
#include <QSignalSpy>
#include <QTest>

// The transport against a loopback server that answers with scripted bytes.
class TestMaiaXmlRpcClient : public QObject
{
    Q_OBJECT
private slots:
    void requestOnTheWire();
    void userAgentConstructorAndSetter();
    void invalidUrlKeepsEndpoint();
    void backToBackCalls_data();
    void backToBackCalls();
    void failures_data();
    void failures();
    void bodyReadUpToNul();
    void refusedConnection();
    void destroyedClientDeliversNothing();

private:
    static QNetworkReply *callInto(MaiaXmlRpcClient &client, OutcomeRecorder &recorder,
                                   const QString &method, const QVariantList &args, const QString &tag)
    {
        return client.call(method, args, &recorder, SLOT(onResult(QVariant &)), &recorder,
                           SLOT(onFault(int, const QString &)), tag);
    }
    static bool waitForOutcomes(OutcomeRecorder &recorder, int count)
    {
        return QTest::qWaitFor([&] { return recorder.outcomes.size() >= count; }, 10000)
            && recorder.outcomes.size() == count;
    }
};

static QByteArray resultBody(const QVariant &value)
{
    return MaiaObject::composeResponse(value).toUtf8();
}

void TestMaiaXmlRpcClient::requestOnTheWire()
{
    ScriptedHttpServer server;
    server.automaticAnswers << ScriptedHttpServer::httpAnswer(resultBody(QStringLiteral("h")));
    MaiaXmlRpcClient client(server.url(QStringLiteral("/import-images")));
    OutcomeRecorder recorder;
    callInto(client, recorder, QStringLiteral("getHash"), {QStringLiteral("abc")}, QStringLiteral("ok|err"));
    QVERIFY(waitForOutcomes(recorder, 1));

    const ScriptedHttpServer::Request request = server.requests.at(0);
    QVERIFY2(request.head.startsWith("POST /import-images HTTP/1.1\r\n"), request.head);
    QVERIFY2(request.head.contains("\r\nContent-Type: text/xml\r\n"), request.head);
    QVERIFY2(request.head.contains("\r\nUser-Agent: MaiaXmlRpc/0.2\r\n"), request.head);
    MaiaObject composer;
    QCOMPARE(request.body, composer.composeCall(QStringLiteral("getHash"), {QStringLiteral("abc")}).toUtf8());

    QVERIFY(!recorder.outcomes.at(0).isFault);
    QCOMPARE(recorder.outcomes.at(0).result, QVariant(QStringLiteral("h")));
    QCOMPARE(recorder.outcomes.at(0).tag, QStringLiteral("ok|err"));
    QVERIFY2(recorder.lastSender.isNull(), "the call object is gone once its slot returned");
}

void TestMaiaXmlRpcClient::userAgentConstructorAndSetter()
{
    ScriptedHttpServer server;
    server.automaticAnswers << ScriptedHttpServer::httpAnswer(resultBody(1))
                            << ScriptedHttpServer::httpAnswer(resultBody(2));
    MaiaXmlRpcClient client(server.url(), QStringLiteral("Agent/1"));
    OutcomeRecorder recorder;
    callInto(client, recorder, QStringLiteral("a"), {}, QString());
    QVERIFY(waitForOutcomes(recorder, 1));
    client.setUserAgent(QStringLiteral("Corvane"));
    callInto(client, recorder, QStringLiteral("b"), {}, QString());
    QVERIFY(waitForOutcomes(recorder, 2));
    QVERIFY2(server.requests.at(0).head.contains("\r\nUser-Agent: Agent/1\r\n"), server.requests.at(0).head);
    QVERIFY2(server.requests.at(1).head.contains("\r\nUser-Agent: Corvane\r\n"), server.requests.at(1).head);
}

void TestMaiaXmlRpcClient::invalidUrlKeepsEndpoint()
{
    ScriptedHttpServer server;
    server.automaticAnswers << ScriptedHttpServer::httpAnswer(resultBody(true));
    MaiaXmlRpcClient client(server.url());
    client.setUrl(QUrl(QStringLiteral("http://[::1")));
    OutcomeRecorder recorder;
    callInto(client, recorder, QStringLiteral("m"), {}, QString());
    QVERIFY(waitForOutcomes(recorder, 1));
    QCOMPARE(recorder.outcomes.at(0).result, QVariant(true));
}

void TestMaiaXmlRpcClient::backToBackCalls_data()
{
    QTest::addColumn<bool>("secondAnsweredFirst");
    QTest::newRow("in order") << false;
    QTest::newRow("reversed") << true;
}

void TestMaiaXmlRpcClient::backToBackCalls()
{
    QFETCH(bool, secondAnsweredFirst);
    ScriptedHttpServer server; // no automatic answers: both requests wait
    MaiaXmlRpcClient client(server.url());
    OutcomeRecorder first;
    OutcomeRecorder second;
    callInto(client, first, QStringLiteral("one"), {1}, QStringLiteral("a|x"));
    callInto(client, second, QStringLiteral("two"), {2}, QStringLiteral("b:p|y"));
    QTRY_COMPARE_WITH_TIMEOUT(server.requests.size(), 2, 10000);

    // Requests may arrive in either order; answer each with its own number.
    auto indexOf = [&](const QByteArray &method) {
        return server.requests.at(0).body.contains("<methodName>" + method) ? 0 : 1;
    };
    const int one = indexOf("one");
    const int two = indexOf("two");
    QVERIFY(one != two);
    if (secondAnsweredFirst) {
        server.answer(two, ScriptedHttpServer::httpAnswer(resultBody(20)));
        QVERIFY(waitForOutcomes(second, 1));
        QCOMPARE(first.outcomes.size(), 0);
        server.answer(one, ScriptedHttpServer::httpAnswer(resultBody(10)));
    } else {
        server.answer(one, ScriptedHttpServer::httpAnswer(resultBody(10)));
        QVERIFY(waitForOutcomes(first, 1));
        server.answer(two, ScriptedHttpServer::httpAnswer(resultBody(20)));
    }
    QVERIFY(waitForOutcomes(first, 1));
    QVERIFY(waitForOutcomes(second, 1));
    QCOMPARE(first.outcomes.at(0).result, QVariant(10));
    QCOMPARE(first.outcomes.at(0).tag, QStringLiteral("a|x"));
    QCOMPARE(second.outcomes.at(0).result, QVariant(20));
    QCOMPARE(second.outcomes.at(0).tag, QStringLiteral("b:p|y"));
}

void TestMaiaXmlRpcClient::failures_data()
{
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("messagePart");

    const QByteArray faultBody = "<?xml version=\"1.0\"?><methodResponse><fault><value><struct>"
                                 "<member><name>faultCode</name><value><int>7</int></value></member>"
                                 "<member><name>faultString</name><value>seven</value></member>"
                                 "</struct></value></fault></methodResponse>";
    QTest::newRow("HTTP 500 with a fault body") << ScriptedHttpServer::httpAnswer(faultBody, 500, "Internal Server Error")
                                                << -32300 << "Internal Server Error";
    QTest::newRow("HTTP 404") << ScriptedHttpServer::httpAnswer("", 404, "Not Found") << -32300 << "Not Found";
    QTest::newRow("server fault") << ScriptedHttpServer::httpAnswer(faultBody) << 7 << "seven";
    QTest::newRow("empty body") << ScriptedHttpServer::httpAnswer("") << -32700
                                << "parse error: response not well formed at line";
    QTest::newRow("not XML-RPC") << ScriptedHttpServer::httpAnswer("<html><body/></html>") << -32600
                                 << "parse error: invalid xml-rpc. not conforming to spec.";
    QTest::newRow("connection dropped") << QByteArray() << -32300 << "";
}

void TestMaiaXmlRpcClient::failures()
{
    QFETCH(QByteArray, answer);
    QFETCH(int, code);
    QFETCH(QString, messagePart);

    ScriptedHttpServer server;
    // The network layer sends a request again once when its connection closed unanswered.
    server.automaticAnswers << answer << answer;
    MaiaXmlRpcClient client(server.url());
    OutcomeRecorder recorder;
    QNetworkReply *reply = callInto(client, recorder, QStringLiteral("m"), {}, QStringLiteral("t"));
    const QPointer<QNetworkReply> replyGuard(reply);
    QString replyError;
    connect(reply, &QNetworkReply::finished, this, [&] { replyError = reply->errorString(); });
    QVERIFY(waitForOutcomes(recorder, 1));

    const OutcomeRecorder::Outcome outcome = recorder.outcomes.at(0);
    QVERIFY(outcome.isFault);
    QCOMPARE(outcome.code, code);
    QCOMPARE(outcome.tag, QStringLiteral("t"));
    QVERIFY2(outcome.message.contains(messagePart), qPrintable(outcome.message));
    if (code == -32300)
        QCOMPARE(outcome.message, replyError); // the network layer's own text, not the body
    QTRY_VERIFY_WITH_TIMEOUT(replyGuard.isNull(), 5000); // scheduled for deletion
}

void TestMaiaXmlRpcClient::bodyReadUpToNul()
{
    ScriptedHttpServer server;
    server.automaticAnswers << ScriptedHttpServer::httpAnswer(resultBody(QStringLiteral("kept")) + QByteArray("\0<broken", 8));
    MaiaXmlRpcClient client(server.url());
    OutcomeRecorder recorder;
    callInto(client, recorder, QStringLiteral("m"), {}, QString());
    QVERIFY(waitForOutcomes(recorder, 1));
    QVERIFY(!recorder.outcomes.at(0).isFault);
    QCOMPARE(recorder.outcomes.at(0).result, QVariant(QStringLiteral("kept")));
}

void TestMaiaXmlRpcClient::refusedConnection()
{
    quint16 closedPort = 0;
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        closedPort = probe.serverPort();
    }
    MaiaXmlRpcClient client(QUrl(QStringLiteral("http://127.0.0.1:%1/").arg(closedPort)));
    OutcomeRecorder recorder;
    callInto(client, recorder, QStringLiteral("m"), {}, QString());
    QVERIFY(waitForOutcomes(recorder, 1));
    QCOMPARE(recorder.outcomes.at(0).code, -32300);
    QVERIFY2(recorder.outcomes.at(0).message.contains(QLatin1String("refused")),
             qPrintable(recorder.outcomes.at(0).message));
}

void TestMaiaXmlRpcClient::destroyedClientDeliversNothing()
{
    ScriptedHttpServer server;
    auto *client = new MaiaXmlRpcClient(server.url());
    OutcomeRecorder recorder;
    callInto(*client, recorder, QStringLiteral("m"), {}, QString());
    QSignalSpy received(&server, &ScriptedHttpServer::requestReceived);
    QVERIFY(received.wait(10000));
    delete client;
    server.answer(0, ScriptedHttpServer::httpAnswer(resultBody(1)));
    QTRY_VERIFY_WITH_TIMEOUT(!server.requests.at(0).socket, 5000); // the answer went out
    QCoreApplication::processEvents();
    QCOMPARE(recorder.outcomes.size(), 0);
}

QTEST_GUILESS_MAIN(TestMaiaXmlRpcClient)
#include "tst_maiaxmlrpcclient.moc"
