#include "documentwriter.h"
#include "maiaObject.h"
#include "maiaXmlRpcClient.h"
#include "outcomerecorder.h"
#include "scriptedhttpserver.h"

#include <QTest>

static QNetworkReply *callInto(MaiaXmlRpcClient &client, OutcomeRecorder &recorder, const QString &method,
                               const QString &tag)
{
    return client.call(method, {method}, &recorder, SLOT(onResult(QVariant &)), &recorder,
                       SLOT(onFault(int, const QString &)), tag);
}

enum Victim { Nothing, CallObject, Client };

// The transport against a loopback server that answers with scripted bytes,
// and the per-call object that delivers one outcome and then deletes itself.
class TestClientTransport : public QObject
{
    Q_OBJECT
private slots:
    void calls_data()
    {
        QTest::addColumn<QString>("agent"); // the constructor's; null: the constructor without one
        QTest::addColumn<QString>("laterAgent");
        QTest::addColumn<QByteArray>("sentAgent");
        QTest::addColumn<bool>("secondAnsweredFirst");
        QTest::newRow("default agent, in order") << QString() << QString() << QByteArray("MaiaXmlRpc/0.2") << false;
        QTest::newRow("constructor's agent, reversed") << "Agent/1" << QString() << QByteArray("Agent/1") << true;
        QTest::newRow("agent set later") << "Agent/1" << "Corvane" << QByteArray("Corvane") << false;
    }

    // Two calls in flight, each answered with its own value and tag whatever the order.
    void calls()
    {
        QFETCH(QString, agent);
        QFETCH(QString, laterAgent);
        QFETCH(QByteArray, sentAgent);
        QFETCH(bool, secondAnsweredFirst);

        ScriptedHttpServer server; // no automatic answers: both requests wait
        const QUrl url = server.url();
        QScopedPointer<MaiaXmlRpcClient> client(agent.isNull() ? new MaiaXmlRpcClient(url)
                                                                : new MaiaXmlRpcClient(url, agent));
        if (!laterAgent.isNull())
            client->setUserAgent(laterAgent);
        client->setUrl(QUrl(QStringLiteral("http://[::1"))); // invalid: the endpoint stays
        OutcomeRecorder recorders[2];
        const QString methods[2] = {QStringLiteral("one"), QStringLiteral("two")};
        for (int call : {0, 1})
            callInto(*client, recorders[call], methods[call], methods[call] + QLatin1String(":p|err"));
        QTRY_COMPARE_WITH_TIMEOUT(server.requests.size(), 2, 10000);

        for (int call : secondAnsweredFirst ? QList<int>{1, 0} : QList<int>{0, 1}) {
            const QByteArray body = DocumentWriter::call(methods[call], {methods[call]});
            const int index = server.requests.at(0).body == body ? 0 : 1; // either may arrive first
            const ScriptedHttpServer::Request &request = server.requests.at(index);
            QCOMPARE(request.body, body);
            QVERIFY2(request.head.startsWith("POST /RPC2 HTTP/1.1\r\n")
                         && request.head.contains("\r\nContent-Type: text/xml\r\n")
                         && request.head.contains("\r\nUser-Agent: " + sentAgent + "\r\n"),
                     request.head);

            QVERIFY(recorders[call].outcomes.isEmpty());
            // The body counts up to its first NUL.
            const QByteArray answerBody = DocumentWriter::response(10 + call) + QByteArray("\0<broken", 8);
            server.answer(index, ScriptedHttpServer::httpAnswer(answerBody));
            QTRY_COMPARE_WITH_TIMEOUT(recorders[call].outcomes.size(), 1, 10000);
            QCOMPARE(recorders[call].outcomes.at(0).result, QVariant(10 + call));
            QCOMPARE(recorders[call].outcomes.at(0).tag, methods[call] + QLatin1String(":p|err"));
            QVERIFY2(recorders[call].lastSender.isNull(), "the call object goes after its outcome");
        }
    }

    void failures_data()
    {
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("messagePart"); // empty: the network layer's own text
        const auto http = &ScriptedHttpServer::httpAnswer;
        const QByteArray faultBody = DocumentWriter::fault(7, QStringLiteral("seven"));
        QTest::newRow("HTTP 500 with a fault body") << http(faultBody, 500, "Internal Server Error") << -32300 << "";
        QTest::newRow("connection dropped") << QByteArray() << -32300 << "";
        QTest::newRow("announced body over 64 MiB")
            << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 67108865\r\n\r\n<methodResponse>") << -32300
            << "response refused: body larger than 67108864 bytes";
        QTest::newRow("server fault") << http(faultBody, 200, "OK") << 7 << "seven";
        QTest::newRow("empty body") << http("", 200, "OK") << -32700 << "parse error: response not well formed at line";
        QTest::newRow("not XML-RPC") << http("<html/>", 200, "OK") << -32600
                                     << "parse error: invalid xml-rpc. not conforming to spec.";
    }

    void failures()
    {
        QFETCH(QByteArray, answer);
        QFETCH(int, code);
        QFETCH(QString, messagePart);

        ScriptedHttpServer server;
        MaiaXmlRpcClient client(server.url());
        // The network layer sends a request again once when its connection closed unanswered.
        server.automaticAnswers << answer << answer;
        OutcomeRecorder recorder;
        const QPointer<QNetworkReply> reply = callInto(client, recorder, QStringLiteral("m"), QStringLiteral("t"));
        QString replyError;
        connect(reply, &QNetworkReply::finished, this, [&] { replyError = reply->errorString(); });
        QTRY_COMPARE_WITH_TIMEOUT(recorder.outcomes.size(), 1, 10000);

        const OutcomeRecorder::Outcome outcome = recorder.outcomes.at(0);
        QVERIFY(outcome.isFault);
        QCOMPARE(outcome.code, code);
        QCOMPARE(outcome.tag, QStringLiteral("t"));
        QVERIFY2(messagePart.isEmpty() ? outcome.message == replyError : outcome.message.contains(messagePart),
                 qPrintable(outcome.message));
        QTRY_VERIFY_WITH_TIMEOUT(reply.isNull(), 5000); // scheduled for deletion
    }

    void callLifetime_data()
    {
        QTest::addColumn<int>("victim"); // what the outcome's receiver deletes
        QTest::newRow("nothing") << int(Nothing);
        QTest::newRow("the call object") << int(CallObject);
        QTest::newRow("the client") << int(Client);
    }

    // The call object goes once, before the event loop runs again; deleting it
    // a second time, after a receiver did, would crash (SIGSEGV) in any build.
    void callLifetime()
    {
        QFETCH(int, victim);
        ScriptedHttpServer server;
        QPointer<MaiaXmlRpcClient> client = new MaiaXmlRpcClient(server.url());
        OutcomeRecorder recorder;
        callInto(*client, recorder, QStringLiteral("m"), QString());
        const QPointer<MaiaObject> call = client->findChild<MaiaObject *>();
        bool goneAtOnce = false;
        recorder.afterOutcome = [&](QObject *sender) {
            // Runs before anything the call object could still post, e.g. a deleteLater().
            QMetaObject::invokeMethod(this, [&] { goneAtOnce = call.isNull(); }, Qt::QueuedConnection);
            delete (victim == CallObject ? sender : victim == Client ? client.data() : nullptr);
        };
        QTRY_COMPARE_WITH_TIMEOUT(server.requests.size(), 1, 10000);
        server.answer(0, ScriptedHttpServer::httpAnswer(DocumentWriter::response(1)));
        QTRY_VERIFY_WITH_TIMEOUT(goneAtOnce, 10000);
        QCOMPARE(recorder.outcomes.size(), 1);
        QCOMPARE(client.isNull(), victim == Client);
        delete client;
    }
};

QTEST_GUILESS_MAIN(TestClientTransport)
#include "tst_clienttransport.moc"
