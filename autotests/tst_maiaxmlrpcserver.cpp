#include "deepdocuments.h"
#include "maiaFault.h"
#include "maiaObject.h"
#include "maiaXmlRpcServer.h"
#include "outcomerecorder.h"

#include <QDateTime>
#include <QNetworkProxy>
#include <QPointer>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTest>

#include <functional>

// Methods the server under test offers.
class Methods : public QObject
{
    Q_OBJECT
public:
    int touched = 0;
    std::function<void()> whenTouched;
public slots:
    int add(int a, int b) { return a + b; }
    double half(double value) { return value / 2; }
    QString echo(const QString &text) { return text; }
    QVariant refuse() { return QVariant::fromValue(MaiaFault(42, QStringLiteral("nope"))); }
    MaiaFault refuseTyped() { return MaiaFault(43, QStringLiteral("typed")); }
    int count(const QVariantList &items, const QVariantMap &options)
    {
        return items.size() + options.size();
    }
    QDateTime when() { return QDateTime(QDate(2026, 1, 2), QTime(3, 4, 5)); }
    void touch()
    {
        ++touched;
        if (whenTouched)
            whenTouched();
    }
    int many(int, int, int, int, int, int, int, int, int, int) { return 10; }
};

class TestMaiaXmlRpcServer : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void answers_data();
    void answers();
    void answerHeaderBlock();
    void bodyInSeveralPackets();
    void surplusBytesIgnored();
    void rejections_data();
    void rejections();
    void unregisteredMethodIsGone();
    void addressFilter_data();
    void addressFilter();
    void destroyedWithConnectionsOpen();
    void receiversThatGoAway();
    void oversizedRequestsClosed_data();
    void oversizedRequestsClosed();

private:
    static QByteArray post(const QByteArray &body, const QByteArray &extraField = "Host: test\r\n")
    {
        return "POST /RPC2 HTTP/1.1\r\n" + extraField + "Content-Type: text/xml\r\nContent-Length: "
            + QByteArray::number(body.size()) + "\r\n\r\n" + body;
    }
    static QByteArray callDocument(const QString &method, const QVariantList &args)
    {
        return MaiaObject().composeCall(method, args).toUtf8();
    }
    // Sends raw bytes, returns everything the server wrote until it closed.
    QByteArray exchange(const QByteArray &request, quint16 port = 0);
    static QByteArray bodyOf(const QByteArray &answer) { return answer.mid(answer.indexOf("\r\n\r\n") + 4); }
    static OutcomeRecorder::Outcome outcomeOf(const QByteArray &answer);

    Methods *methods = nullptr;
    MaiaXmlRpcServer *server = nullptr;
};

void TestMaiaXmlRpcServer::init()
{
    methods = new Methods;
    server = new MaiaXmlRpcServer(QHostAddress::LocalHost, 0, this);
    QVERIFY(server->serverPort() != 0);
    QCOMPARE(server->serverAddress(), QHostAddress(QHostAddress::LocalHost));
    for (const char *name : {"add", "half", "echo", "refuse", "refuseTyped", "count", "when", "touch", "many"})
        server->registerMethod(QString::fromLatin1(name), methods, name);
}

void TestMaiaXmlRpcServer::cleanup()
{
    delete server;
    delete methods;
}

QByteArray TestMaiaXmlRpcServer::exchange(const QByteArray &request, quint16 port)
{
    QTcpSocket socket;
    socket.setProxy(QNetworkProxy::NoProxy);
    socket.connectToHost(QHostAddress::LocalHost, port ? port : server->serverPort());
    if (!socket.waitForConnected(5000))
        return "not connected";
    QSignalSpy closed(&socket, &QTcpSocket::disconnected);
    socket.write(request);
    if (!closed.wait(10000))
        return "still open";
    return socket.readAll();
}

OutcomeRecorder::Outcome TestMaiaXmlRpcServer::outcomeOf(const QByteArray &answer)
{
    OutcomeRecorder recorder;
    auto *call = new MaiaObject;
    recorder.watch(call);
    call->parseResponse(QString::fromUtf8(bodyOf(answer)), nullptr);
    return recorder.outcomes.value(0);
}

void TestMaiaXmlRpcServer::answers_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("isFault");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QVariant>("result");

    QTest::newRow("int slot") << callDocument("add", {2, 3}) << false << 0 << "" << QVariant(5);
    QTest::newRow("const QString& parameter") << callDocument("echo", {QStringLiteral("hé")}) << false << 0 << ""
                                              << QVariant(QStringLiteral("hé"));
    QTest::newRow("untyped value is a string") << QByteArray("<methodCall><methodName>echo</methodName><params><param>"
                                                             "<value>raw</value></param></params></methodCall>")
                                               << false << 0 << "" << QVariant(QStringLiteral("raw"));
    QTest::newRow("array and struct") << callDocument("count", {QVariantList{1, 2}, QVariantMap{{"k", 1}}})
                                      << false << 0 << "" << QVariant(3);
    QTest::newRow("typed return") << callDocument("when", {}) << false << 0 << ""
                                  << QVariant(QDateTime(QDate(2026, 1, 2), QTime(3, 4, 5)));
    QTest::newRow("void slot") << callDocument("touch", {}) << false << 0 << "" << QVariant();
    QTest::newRow("ten arguments") << callDocument("many", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}) << false << 0 << "" << QVariant(10);
    QTest::newRow("fault in a QVariant") << callDocument("refuse", {}) << true << 42 << "nope" << QVariant();
    QTest::newRow("fault returned by type") << callDocument("refuseTyped", {}) << true << 43 << "typed" << QVariant();
    QTest::newRow("unknown method") << callDocument("nothere", {}) << true << -32601
                                    << "server error: requested method not found" << QVariant();
    QTest::newRow("eleven arguments") << callDocument("many", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}) << true << -32602
                                      << "server error: invalid method parameters" << QVariant();
    QTest::newRow("int for a double") << callDocument("half", {3}) << true << -32602
                                      << "server error: invalid method parameters" << QVariant();
    QTest::newRow("wrong count") << callDocument("add", {1}) << true << -32602
                                 << "server error: invalid method parameters" << QVariant();
    QTest::newRow("not XML") << QByteArray("<methodCall><oops") << true << -32700 << "parse error: not well formed" << QVariant();
    const QString tooDeep = QStringLiteral("parse error: refused: elements nested deeper than 512 levels");
    const auto echoNestedTo = [](int levels) {
        return ("<methodCall><methodName>echo</methodName>" + DeepDocuments::paramsNestedTo(levels) + "</methodCall>").toUtf8();
    };
    QTest::newRow("512 levels") << echoNestedTo(512) << false << 0 << "" << QVariant(QStringLiteral("x"));
    QTest::newRow("513 levels") << echoNestedTo(513) << true << -32700 << tooDeep << QVariant();
    for (const DeepDocuments::Content &deep : DeepDocuments::behindEveryConstruct())
        QTest::newRow(qPrintable("100,000 deep behind " + deep.name)) << ("<methodCall>" + deep.markup).toUtf8() << true
                                                                      << -32700 << tooDeep << QVariant();
    QTest::newRow("no method name") << QByteArray("<methodCall><params/></methodCall>") << true << -32600
                                    << "server error: invalid xml-rpc. not conforming to spec" << QVariant();
}

void TestMaiaXmlRpcServer::answers()
{
    QFETCH(QByteArray, body);
    QFETCH(bool, isFault);
    const QByteArray answer = exchange(post(body));
    QVERIFY2(answer.startsWith("HTTP/1.1 200 Ok\r\n"), answer);
    const OutcomeRecorder::Outcome outcome = outcomeOf(answer);
    QCOMPARE(outcome.isFault, isFault);
    if (isFault) {
        QTEST(outcome.code, "code");
        QTEST(outcome.message, "message");
    } else {
        QTEST(outcome.result, "result");
    }
}

void TestMaiaXmlRpcServer::answerHeaderBlock()
{
    const QByteArray answer = exchange(post(callDocument("add", {1, 1})));
    QCOMPARE(answer.left(answer.indexOf("\r\n\r\n") + 4),
             QByteArray("HTTP/1.1 200 Ok\r\nConnection: close\r\nContent-Type: text/xml\r\nServer: MaiaXmlRpc/0.1\r\n\r\n"));
    QCOMPARE(bodyOf(answer), MaiaObject::composeResponse(2).toUtf8());
}

void TestMaiaXmlRpcServer::bodyInSeveralPackets()
{
    const QByteArray request = post(callDocument("echo", {QString(3000, QLatin1Char('x'))}));
    QTcpSocket socket;
    socket.setProxy(QNetworkProxy::NoProxy);
    socket.connectToHost(QHostAddress::LocalHost, server->serverPort());
    QVERIFY(socket.waitForConnected(5000));
    QSignalSpy closed(&socket, &QTcpSocket::disconnected);
    const int pieces = 5;
    const int step = request.size() / pieces + 1;
    for (int offset = 0; offset < request.size(); offset += step) {
        socket.write(request.mid(offset, step));
        socket.flush();
        QTest::qWait(20); // let each piece arrive on its own
        if (offset + step < request.size())
            QCOMPARE(socket.bytesAvailable(), 0); // no answer before the body is complete
    }
    QVERIFY(!closed.isEmpty() || closed.wait(10000));
    QCOMPARE(outcomeOf(socket.readAll()).result, QVariant(QString(3000, QLatin1Char('x'))));
}

void TestMaiaXmlRpcServer::surplusBytesIgnored()
{
    const QByteArray answer = exchange(post(callDocument("touch", {})) + post(callDocument("touch", {})));
    QVERIFY2(answer.startsWith("HTTP/1.1 200 Ok\r\n"), answer);
    QCOMPARE(methods->touched, 1);
}

void TestMaiaXmlRpcServer::rejections_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("debugLine");

    const QByteArray body = callDocument("touch", {});
    const QByteArray length = "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    QTest::newRow("only one field") << "POST / HTTP/1.1\r\n" + length + "\r\n" + body << QByteArray("Invalid Header");
    QTest::newRow("lower-case method") << "post / HTTP/1.1\r\nHost: x\r\n" + length + "\r\n" + body << QByteArray("Invalid Header");
    QTest::newRow("GET with two fields") << "GET / HTTP/1.1\r\nHost: x\r\n" + length + "\r\n" + body << QByteArray("No Post!");
    QTest::newRow("lower-case content-length") << "POST / HTTP/1.1\r\nHost: x\r\ncontent-length: "
                                                  + QByteArray::number(body.size()) + "\r\n\r\n" + body
                                               << QByteArray("No Content Length");
    QTest::newRow("zero length") << "POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n\r\n" + body
                                 << QByteArray("No Content Length");
}

void TestMaiaXmlRpcServer::rejections()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, debugLine);
    QTest::ignoreMessage(QtDebugMsg, debugLine.constData());
    QCOMPARE(exchange(request), QByteArray()); // closed without an answer
    QCOMPARE(methods->touched, 0);
}

void TestMaiaXmlRpcServer::unregisteredMethodIsGone()
{
    server->unregisterMethod(QStringLiteral("add"));
    QCOMPARE(outcomeOf(exchange(post(callDocument("add", {1, 2})))).code, -32601);
    QObject *object = methods;
    const char *slotName = "x";
    server->getMethod(QStringLiteral("add"), &object, &slotName);
    QVERIFY(!object);
    QVERIFY(!slotName);
}

void TestMaiaXmlRpcServer::addressFilter_data()
{
    QTest::addColumn<QStringList>("allowedAddresses");
    QTest::addColumn<bool>("served");
    QTest::newRow("empty list admits everyone") << QStringList{} << true;
    QTest::newRow("loopback listed") << QStringList{"192.0.2.1", "127.0.0.1"} << true;
    QTest::newRow("loopback not listed") << QStringList{"192.0.2.1"} << false;
}

void TestMaiaXmlRpcServer::addressFilter()
{
    QFETCH(QStringList, allowedAddresses);
    QFETCH(bool, served);
    QList<QHostAddress> allowed;
    for (const QString &address : qAsConst(allowedAddresses))
        allowed << QHostAddress(address);
    MaiaXmlRpcServer filtered(QHostAddress::LocalHost, 0, &allowed);
    filtered.registerMethod(QStringLiteral("add"), methods, "add");
    if (!served)
        QTest::ignoreMessage(QtWarningMsg, "Rejected connection attempt from \"127.0.0.1\"");
    const QByteArray answer = exchange(post(callDocument("add", {20, 22})), filtered.serverPort());
    if (served)
        QCOMPARE(outcomeOf(answer).result, QVariant(42));
    else
        QCOMPARE(answer, QByteArray());
}

void TestMaiaXmlRpcServer::destroyedWithConnectionsOpen()
{
    QTcpSocket socket;
    socket.setProxy(QNetworkProxy::NoProxy);
    socket.connectToHost(QHostAddress::LocalHost, server->serverPort());
    QVERIFY(socket.waitForConnected(5000));
    socket.write("POST / HTTP/1.1\r\nHost: x\r\n"); // a request still coming
    QTRY_VERIFY_WITH_TIMEOUT(!server->findChildren<QObject *>(QString(), Qt::FindDirectChildrenOnly).isEmpty(), 5000);
    QSignalSpy closed(&socket, &QTcpSocket::disconnected);
    delete server;
    server = nullptr;
    QVERIFY(closed.wait(5000));
}

// A receiver destroyed without unregistering is no method; a slot that
// destroys the server while answering ends the connection without an answer.
void TestMaiaXmlRpcServer::receiversThatGoAway()
{
    auto *departed = new Methods;
    server->registerMethod(QStringLiteral("departed"), departed, "echo");
    delete departed;
    QCOMPARE(outcomeOf(exchange(post(callDocument("departed", {QStringLiteral("x")})))).code, -32601);

    const quint16 port = server->serverPort();
    QPointer<MaiaXmlRpcServer> doomed = server;
    methods->whenTouched = [this] {
        delete server;
        server = nullptr;
    };
    QCOMPARE(exchange(post(callDocument("touch", {})), port), QByteArray());
    QVERIFY(doomed.isNull());
    QCOMPARE(methods->touched, 1);
}

void TestMaiaXmlRpcServer::oversizedRequestsClosed_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QString>("warning");
    QTest::newRow("endless header line") << "POST / HTTP/1.1\r\nX-Long: " + QByteArray(70 * 1024, 'a')
                                         << "Closing a connection whose header passed 65536 bytes";
    QByteArray manyFields = "POST / HTTP/1.1\r\n";
    for (int i = 0; i < 4000; ++i)
        manyFields += "X-Field-" + QByteArray::number(i) + ": value\r\n";
    QTest::newRow("too many fields") << manyFields << "Closing a connection whose header passed 65536 bytes";
    QTest::newRow("huge content length") << QByteArray("POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 67108865\r\n\r\n<a")
                                         << "Closing a connection announcing 67108865 bytes, more than 67108864";
}

void TestMaiaXmlRpcServer::oversizedRequestsClosed()
{
    QFETCH(QByteArray, request);
    QFETCH(QString, warning);
    QTest::ignoreMessage(QtWarningMsg, qPrintable(warning));
    QCOMPARE(exchange(request), QByteArray()); // closed without an answer, and without waiting for more
}

QTEST_GUILESS_MAIN(TestMaiaXmlRpcServer)
#include "tst_maiaxmlrpcserver.moc"
