#include "documentwriter.h"
#include "gzipcodec.h"
#include "maiaCall.h"
#include "maiaFault.h"
#include "maiaXmlRpcClient.h"
#include "maiaXmlRpcServer.h"
#include "maiaXmlRpcServerConnection.h"
#include "whoami.h"

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSslKey>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <atomic>
#include <functional>

#include <sys/resource.h>

// QtCore's hooks for debugging tools, called as each QObject is made and destroyed.
extern quintptr Q_CORE_EXPORT qtHookData[];
enum HookIndex { AddQObject = 3, RemoveQObject = 4 }; // QHooks::HookIndex, a stable interface for tools

namespace {

std::atomic<int> liveObjects{0};

// An answer to a call, with more fields in key order.
QByteArray answer(const QByteArray &body, const QByteArray &fields = QByteArray(), bool closes = false)
{
    return "HTTP/1.1 200 Ok\r\n" + QByteArray(closes ? "Connection: close\r\n" : "") + "Content-Length: "
        + QByteArray::number(body.size()) + "\r\nContent-Type: text/xml\r\nServer: MaiaXmlRpc/0.1\r\n" + fields
        + "\r\n" + body;
}
QByteArray status(const QByteArray &line, const QByteArray &fields = QByteArray())
{
    return "HTTP/1.1 " + line + "\r\nConnection: close\r\nContent-Length: " + QByteArray::number(line.size() + 1)
        + "\r\nContent-Type: text/plain\r\nServer: MaiaXmlRpc/0.1\r\n" + fields + "\r\n" + line + "\n";
}
// Without a line break, so that it leaves an unended header line unended.
const QByteArray touchCall = "<methodCall><methodName>touch</methodName></methodCall>";
const QByteArray touched = answer(DocumentWriter::response(QVariant()));

QByteArray post(const QByteArray &body, const QByteArray &fields = QByteArray())
{
    return "POST /RPC2 HTTP/1.1\r\nHost: x\r\nContent-Type: text/xml\r\n" + fields + "Content-Length: "
        + QByteArray::number(body.size()) + "\r\n\r\n" + body;
}

const QString notFound = QStringLiteral("server error: requested method '%1' not found");

QVariantMap faultItem(int code, const QString &text)
{
    return {{"faultCode", code}, {"faultString", text}};
}

// A list of one, even of one list.
QVariantList one(const QVariant &item)
{
    return {item};
}

QVariantList strings(const QStringList &items)
{
    return QVariantList(items.cbegin(), items.cend());
}

QTcpSocket *connectTo(quint16 port, const QByteArray &request, QObject *parent = nullptr)
{
    auto *socket = new QTcpSocket(parent);
    socket->connectToHost(QHostAddress::LocalHost, port);
    socket->write(request);
    return socket;
}

bool isClosed(const QTcpSocket *socket)
{
    return socket->state() == QAbstractSocket::UnconnectedState;
}

// Whether the bytes hold a whole answer: its header and the body it announces.
bool isWhole(const QByteArray &bytes)
{
    const int end = bytes.indexOf("\r\n\r\n"), field = bytes.indexOf("Content-Length: ");
    return end > 0 && field > 0 && bytes.size() >= end + 4 + bytes.mid(field + 16, 12).split('\r').at(0).toInt();
}

// What came once `enough` holds of it, or the server closed.
template<typename Enough>
QByteArray receive(QTcpSocket *socket, Enough enough)
{
    QByteArray bytes;
    (void)QTest::qWaitFor([&] { return enough(bytes += socket->readAll()) || isClosed(socket); }, 10000);
    return bytes + socket->readAll();
}

// Writes the pieces one by one, each arriving on its own; returns the
// answer, or what came before the server closed.
QByteArray exchange(quint16 port, const QByteArrayList &pieces)
{
    QScopedPointer<QTcpSocket> socket(connectTo(port, pieces.value(0)));
    for (int i = 1; i < pieces.size(); ++i) {
        QTest::qWait(50);
        socket->write(pieces.at(i));
    }
    return receive(socket.data(), isWhole);
}

} // namespace

Q_DECLARE_METATYPE(QHostAddress)

class Methods : public QObject
{
public:
    int touches = 0;
    std::function<void()> whenTouched = [] {};

    int add(int a, int b) { return a + b; }
    double half(double value) { return value / 2; }
    QString echo(const QString &text) { return text; }
    MaiaFault refuseTyped() { return MaiaFault(43, QStringLiteral("typed")); }
    int count(const QVariantList &items, const QVariantMap &options) { return items.size() + options.size(); }
    void touch() { ++touches; whenTouched(); }
};

class TestServer : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void answers_data();
    void answers();
    void http_data();
    void http();
    void methodTable();
    void listenRefused();
    void addressFilter_data();
    void addressFilter();
    void destroyedWhileServing();
    void tls_data();
    void tls();
    void idleClients_data();
    void idleClients();

private:
    QByteArray exchange(const QByteArrayList &pieces) { return ::exchange(server->serverPort(), pieces); }
    int connections() const { return server->findChildren<MaiaXmlRpcServerConnection *>().size(); }

    QString callOverTls(quint16 port, bool trusted);

    QSslConfiguration selfSigned; // with a self-signed certificate and its key
    Methods *methods = nullptr;
    MaiaXmlRpcServer *server = nullptr;
    int objectsAtStart = 0;
};

void TestServer::initTestCase()
{
    // A self-signed certificate, its own CA.
    QTemporaryDir dir;
    const QString cert = dir.filePath("cert.pem"), key = dir.filePath("key.pem");
    QProcess openssl;
    openssl.start("openssl", {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
        "-days", "1", "-subj", "/CN=localhost", "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", key, "-out", cert});
    QVERIFY(openssl.waitForFinished(30000) && openssl.exitCode() == 0);
    QFile certFile(cert), keyFile(key);
    QVERIFY(certFile.open(QIODevice::ReadOnly) && keyFile.open(QIODevice::ReadOnly));
    selfSigned = QSslConfiguration::defaultConfiguration();
    selfSigned.setLocalCertificate(QSslCertificate(&certFile));
    selfSigned.setPrivateKey(QSslKey(&keyFile, QSsl::Ec));
    // Qt makes some objects on its first connection and call, to keep.
    MaiaXmlRpcServer warmUp;
    QVERIFY(warmUp.listen(QHostAddress::LocalHost));
    ::exchange(warmUp.serverPort(), {post(touchCall)});
    warmUp.setSslConfiguration(selfSigned);
    callOverTls(warmUp.serverPort(), true);
    qtHookData[AddQObject] = quintptr(+[](QObject *) { ++liveObjects; });
    qtHookData[RemoveQObject] = quintptr(+[](QObject *) { --liveObjects; });
}

void TestServer::init()
{
    methods = new Methods;
    server = new MaiaXmlRpcServer(this);
    QVERIFY(server->listen(QHostAddress::LocalHost));
    server->registerMethod("add", methods, &Methods::add, "Adds two ints.");
    server->registerMethod("half", methods, &Methods::half);
    server->registerMethod("echo", methods, &Methods::echo);
    server->registerMethod("refuse", [](const QVariantList &) { return QVariant::fromValue(MaiaFault(42, "nope")); });
    server->registerMethod("refuseTyped", methods, &Methods::refuseTyped);
    server->registerMethod("count", methods, &Methods::count);
    server->registerMethod("touch", methods, &Methods::touch);
    server->registerMethod("upper", [](const QVariantList &params) { return params.value(0).toString().toUpper(); },
                           "Upper case.", {"string", "string"});
    server->registerMethod("whoami", whoAmI());
    objectsAtStart = liveObjects;
}

// Nothing outlives its peer: no connection, socket or any other object.
void TestServer::cleanup()
{
    if (server)
        QTRY_COMPARE_WITH_TIMEOUT(liveObjects.load(), objectsAtStart, 5000);
    delete server;
    delete methods;
}

void TestServer::answers_data()
{
    QTest::addColumn<QByteArrayList>("pieces");
    QTest::addColumn<QByteArray>("body");

    const auto row = [](const char *name, const QByteArray &document, const QByteArray &body,
                        const QByteArray &fields = QByteArray()) {
        QTest::newRow(name) << QByteArrayList{post(document, fields)} << body;
    };
    using W = DocumentWriter;
    const QVariantList none;
    row("int slot", W::call("add", {2, 3}), W::response(5));
    row("array and struct", W::call("count", {QVariantList{1, 2}, QVariantMap{{"k", 1}}}), W::response(3));
    row("fault returned by type", W::call("refuseTyped", none), W::fault(43, QStringLiteral("typed")));
    // The client reads answers up to a NUL byte, the server calls likewise.
    row("junk after a NUL", W::call("echo", {"x"}) + '\0' + "<!junk>", W::response(QStringLiteral("x")));
    const QString invalid = QStringLiteral("server error: invalid method parameters for '%1': %2");
    row("one argument too many", W::call("add", {2, 3, 4}),
        W::fault(-32602, invalid.arg("add", "3 given, 2 expected")));
    row("int for a double", W::call("half", {3}),
        W::fault(-32602, invalid.arg("half", "parameter 1 is int, double expected")));
    row("array for a string", W::call("echo", one(QVariantList())),
        W::fault(-32602, invalid.arg("echo", "parameter 1 is array, string expected")));
    row("not XML", "<methodCall><oops", W::fault(-32700, QStringLiteral("parse error: not well formed")));
    row("no method name", "<methodCall><params/></methodCall>",
        W::fault(-32600, QStringLiteral("server error: invalid xml-rpc. not conforming to spec")));
    row("value that does not convert", "<methodCall><methodName>half</methodName><params><param><value><double>1x"
        "</double></value></param></params></methodCall>",
        W::fault(-32600, QStringLiteral("server error: invalid xml-rpc. double value '1x' does not convert")));

    const QStringList names{"add", "count", "echo", "half", "refuse", "refuseTyped", "system.listMethods",
                            "system.methodHelp", "system.methodSignature", "system.multicall", "touch", "upper",
                            "whoami"};
    row("methods listed", W::call("system.listMethods", none), W::response(strings(names)));
    row("help given", W::call("system.methodHelp", {"add"}), W::response(QStringLiteral("Adds two ints.")));
    row("help not given", W::call("system.methodHelp", {"refuse"}), W::response(QString("")));
    row("help of no method", W::call("system.methodHelp", {"nothere"}), W::fault(-32601, notFound.arg("nothere")));
    const auto signature = [](const QStringList &types) { return W::response(one(strings(types))); };
    row("signature of a member", W::call("system.methodSignature", {"count"}), signature({"int", "array", "struct"}));
    row("signature of void", W::call("system.methodSignature", {"touch"}), signature({"nil"}));
    row("signature given", W::call("system.methodSignature", {"upper"}), signature({"string", "string"}));
    row("signature of a fault", W::call("system.methodSignature", {"refuseTyped"}), signature({"undef"}));
    row("signature unknown", W::call("system.methodSignature", {"refuse"}), W::response(QStringLiteral("undef")));
    const auto item = [](const QVariant &name, const QVariantList &params) {
        return QVariantMap{{"methodName", name}, {"params", params}};
    };
    row("multicall", W::call("system.multicall", one(QVariantList{item("add", {2, 3}), item("refuse", {}),
        item("nothere", {}), item("system.multicall", one(QVariantList())), item(5, {}), QVariantMap{{"methodName",
        "add"}}, item("add", {1}), item("touch", {})})),
        W::response(QVariantList{one(5), faultItem(42, "nope"), faultItem(-32601, notFound.arg("nothere")),
            faultItem(-32600, "server error: system.multicall cannot be nested"),
            faultItem(-32600, "server error: a call needs a methodName string and a params array"),
            faultItem(-32600, "server error: a call needs a methodName string and a params array"),
            faultItem(-32602, invalid.arg("add", "1 given, 2 expected")), one(QVariant())}));
    row("multicall of a struct", W::call("system.multicall", one(QVariantMap())),
        W::fault(-32602, invalid.arg("system.multicall", "parameter 1 is struct, array expected")));

    const QByteArray right = "Authorization: Basic " + QByteArray("user:secret").toBase64() + "\r\n";
    const QByteArray whoami = W::call("whoami", none);
    const QString user = QStringLiteral("user at 127.0.0.1");
    row("credentials, field name in lower case", whoami, W::response(user), right.toLower().left(15) + right.mid(15));
    row("credentials within a multicall", W::call("system.multicall", one(one(item("whoami", {})))),
        W::response(one(one(user))), right);
    row("no credentials", whoami, W::fault(401, QStringLiteral("who?")));
    const QByteArray request = post(W::call("echo", {QString(3000, QLatin1Char('x'))}));
    QTest::newRow("body in pieces") << QByteArrayList{request.left(200), request.mid(200, 1500), request.mid(1700)}
                                    << W::response(QString(3000, QLatin1Char('x')));
}

void TestServer::answers()
{
    QFETCH(QByteArrayList, pieces);
    QFETCH(QByteArray, body);
    QCOMPARE(exchange(pieces), answer(body));
}

void TestServer::http_data()
{
    QTest::addColumn<QByteArray>("request"); // '#' stands for the length of the call that follows
    QTest::addColumn<QByteArray>("expected"); // every answer, in order
    QTest::addColumn<bool>("kept"); // whether the connection then takes another call

    const auto row = [](const char *name, const QByteArray &request, const QByteArray &expected, bool kept = false) {
        QTest::newRow(name) << request << expected << kept;
    };
    const QByteArray line = "POST / HTTP/1.1\r\n", call = "Host: x\r\nContent-Length: #\r\n\r\n" + touchCall;
    const QByteArray badRequest = status("400 Bad Request");
    row("blanks around a value", line + "Host: x\r\nContent-Length:   #  \r\n\r\n" + touchCall, touched, true);
    row("colon in a value", line + "Content-Length: #\r\nHost: a:80\r\n\r\n" + touchCall, touched, true);
    row("names in any case", line + "HOST: x\r\ncontent-length: #\r\nconnection: CLOSE\r\n\r\n" + touchCall,
        answer(DocumentWriter::response(QVariant()), {}, true));
    row("pipelined calls answered in order", post(touchCall) + post(DocumentWriter::call("echo", {"2"})) + post(touchCall),
        touched + answer(DocumentWriter::response(QStringLiteral("2"))) + touched, true);
    row("HTTP/1.0 closes", "POST / HTTP/1.0\r\n" + call, answer(DocumentWriter::response(QVariant()), {}, true));
    row("HTTP/1.0 keep-alive", "POST / HTTP/1.0\r\nConnection: keep-alive\r\n" + call,
        answer(DocumentWriter::response(QVariant()), "Connection: keep-alive\r\n"), true);
    row("a refused call after a good one", post(touchCall) + "GET / HTTP/1.1\r\n\r\n",
        touched + status("405 Method Not Allowed", "Allow: POST\r\n"));
    // Made by another gzip, so that both ends cannot share one mistake.
    const QByteArray gzipped = QByteArray::fromBase64("H4sIAAAAAAACA7PJTS3JyE9xTszJsbOBsP0Sc1PtSvJLkzNs9JFEYBywUgArRgxwNwAAAA==");
    row("gzip-coded call", post(gzipped, "Content-Encoding: GZIP\r\n"), touched, true);
    const QByteArray long3k = DocumentWriter::response(QString(3000, 'x')), echo3k = DocumentWriter::call("echo", {QString(3000, 'x')});
    row("long answer gzipped", post(echo3k, "Accept-Encoding: deflate, gzip\r\n"),
        answer(GzipCodec::compress(long3k), "Content-Encoding: gzip\r\n"), true);
    row("gzip refused", post(echo3k, "Accept-Encoding: gzip;q=0\r\n"), answer(long3k), true);
    row("short answer plain", post(touchCall, "Accept-Encoding: gzip\r\n"), touched, true);
    row("two lengths", line + "Host: x\r\nContent-Length: 5\r\nContent-Length: #\r\n\r\n" + touchCall, badRequest);
    row("line without colon", line + "garbage\r\n" + call, badRequest);
    row("blank before the colon", line + "Host: x\r\nContent-Length : #\r\n\r\n" + touchCall, badRequest);
    row("folded line", line + "Host: x\r\n \r\n" + call, badRequest);
    row("bare LF ends no line", "POST / HTTP/1.1\nHost: x\nContent-Length: #\r\nA: b\r\n\r\n" + touchCall, badRequest);
    row("not a number", line + "Host: x\r\nContent-Length: #x\r\n\r\n" + touchCall, badRequest);
    row("damaged gzip", line + "Content-Encoding: gzip\r\n" + call, badRequest);
    const QByteArray bomb = GzipCodec::compress(QByteArray(64 * 1024 * 1024 + 1, ' '));
    row("gzip past 64 MiB", post(bomb, "Content-Encoding: gzip\r\n"), badRequest);
    for (const char *method : {"GET", "PUT", "post"})
        row(method, QByteArray(method) + " / HTTP/1.1\r\n" + call, status("405 Method Not Allowed", "Allow: POST\r\n"));
    row("no length", line + "Host: x\r\n\r\n" + touchCall, status("411 Length Required"));
    row("chunked, whatever its length says", line + "Transfer-Encoding: chunked\r\nContent-Length: 62\r\n\r\n37\r\n"
        + touchCall + "\r\n0\r\n\r\n", status("411 Length Required"));
    row("huge content length", line + "Host: x\r\nContent-Length: 67108865\r\n\r\n", status("413 Payload Too Large"));
    row("other coding", line + "Content-Encoding: br\r\n" + call, status("415 Unsupported Media Type"));
    const QByteArray tooLong = status("431 Request Header Fields Too Large");
    row("endless header line", line + "X-Long: " + QByteArray(70 * 1024, 'a'), tooLong);
    row("too many lines", line + QByteArray("X-Field: value\r\n").repeated(5000), tooLong);
    for (const char *version : {"2.0", "1.2"})
        row(version, "POST / HTTP/" + QByteArray(version) + "\r\n" + call, status("505 HTTP Version Not Supported"));
}

// Refused requests are answered with their status and closed, and reach no method.
void TestServer::http()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, expected);
    QFETCH(bool, kept);
    for (int i = expected.count("Content-Type: text/plain"); i > 0; --i)
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^Answering [45]\\d\\d "));
    QScopedPointer<QTcpSocket> socket(connectTo(server->serverPort(), request.replace('#', QByteArray::number(touchCall.size()))));
    QCOMPARE(receive(socket.data(), [&](const QByteArray &bytes) { return bytes.size() >= expected.size(); }), expected);
    if (kept) {
        socket->write(post(touchCall));
        QCOMPARE(receive(socket.data(), isWhole), touched);
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(isClosed(socket.data()), 5000);
    }
    QCOMPARE(methods->touches, expected.count(DocumentWriter::response(QVariant())) + int(kept));
}

// Unregistered, or its receiver destroyed: no method.
void TestServer::methodTable()
{
    auto *departed = new Methods;
    server->registerMethod("departed", departed, &Methods::echo);
    delete departed;
    server->unregisterMethod(QStringLiteral("add"));
    for (const QString method : {"add", "departed"})
        QCOMPARE(exchange({post(DocumentWriter::call(method, {"x"}))}),
                 answer(DocumentWriter::fault(-32601, notFound.arg(method))));
    const QByteArray listed = exchange({post(DocumentWriter::call("system.listMethods", {}))});
    QVERIFY2(listed.contains("<string>echo</string>") && !listed.contains("<string>add</string>")
                 && !listed.contains("<string>departed</string>"), listed.constData());
}

// A port already taken: the listener's reason.
void TestServer::listenRefused()
{
    MaiaXmlRpcServer second;
    QVERIFY(!second.listen(QHostAddress::LocalHost, server->serverPort()));
    QCOMPARE(second.errorString(), QStringLiteral("The bound address is already in use"));
}

void TestServer::addressFilter_data()
{
    QTest::addColumn<QList<QHostAddress>>("allowed");
    QTest::addColumn<bool>("served");
    const QHostAddress elsewhere(QStringLiteral("192.0.2.1"));
    QTest::newRow("empty list admits everyone") << QList<QHostAddress>() << true;
    QTest::newRow("loopback listed") << QList<QHostAddress>{elsewhere, QHostAddress(QHostAddress::LocalHost)} << true;
    QTest::newRow("loopback not listed") << QList<QHostAddress>{elsewhere} << false;
}

void TestServer::addressFilter()
{
    QFETCH(QList<QHostAddress>, allowed);
    QFETCH(bool, served);
    MaiaXmlRpcServer filtered;
    filtered.setAllowedAddresses(allowed);
    QVERIFY(filtered.listen(QHostAddress::LocalHost));
    filtered.registerMethod("touch", methods, &Methods::touch);
    if (!served)
        QTest::ignoreMessage(QtWarningMsg, "Rejected connection attempt from \"127.0.0.1\"");
    QCOMPARE(::exchange(filtered.serverPort(), {post(touchCall)}), served ? touched : QByteArray());
}

// By its owner with a request still coming, or by the slot answering one:
// the peers are let go without an answer.
void TestServer::destroyedWhileServing()
{
    QScopedPointer<QTcpSocket> pending(connectTo(server->serverPort(), "POST / HTTP/1.1\r\nHost: x\r\n"));
    QTRY_COMPARE_WITH_TIMEOUT(connections(), 1, 5000);
    methods->whenTouched = [this] {
        delete server;
        server = nullptr;
    };
    QCOMPARE(exchange({post(touchCall)}), QByteArray());
    QCOMPARE(methods->touches, 1);
    QTRY_VERIFY_WITH_TIMEOUT(isClosed(pending.data()), 5000);
}

void TestServer::tls_data()
{
    QTest::addColumn<bool>("trusted"); // whether the client holds the server's self-signed certificate as its CA
    QTest::addColumn<QString>("outcome");
    QTest::newRow("trusted") << true << "secret";
    QTest::newRow("not trusted") << false << "-32300 SSL handshake failed: The certificate is self-signed, and untrusted";
}

void TestServer::tls()
{
    QFETCH(bool, trusted);
    QFETCH(QString, outcome);
    server->setSslConfiguration(selfSigned);
    QCOMPARE(callOverTls(server->serverPort(), trusted), outcome);
}

// Echoes "secret" over TLS; the outcome, or the fault's code and text.
QString TestServer::callOverTls(quint16 port, bool trusted)
{
    MaiaXmlRpcClient client(QUrl(QStringLiteral("https://127.0.0.1:%1/").arg(port)));
    if (trusted) {
        QSslConfiguration trusting = client.sslConfiguration();
        trusting.setCaCertificates({selfSigned.localCertificate()});
        client.setSslConfiguration(trusting);
    }
    QScopedPointer<MaiaCall> call(client.call("echo", {"secret"}));
    (void)QTest::qWaitFor([&] { return call->isFinished(); }, 10000); // unfinished: the outcome compared says so
    const MaiaFault fault = call->fault();
    return call->isFault() ? QString::number(fault.code()) + ' ' + fault.message() : call->result().toString();
}

void TestServer::idleClients_data()
{
    QTest::addColumn<int>("idle"); // peers that go quiet
    QTest::addColumn<int>("idleTimeout");
    QTest::addColumn<int>("requestTimeout");
    QTest::addColumn<int>("maxConnections"); // 0: the default
    QTest::addColumn<QString>("warning"); // given as each quiet peer is closed
    QTest::addColumn<int>("held"); // of the idle peers, by the server

    QTest::newRow("no time limit") << 60 << 0 << 0 << 0 << QString() << 60;
    QTest::newRow("idle timeout") << 60 << 300 << 0 << 0 << "idle for 300 ms" << 0;
    QTest::newRow("request deadline") << 60 << 0 << 300 << 0 << "that sent no whole request in 300 ms" << 0;
    QTest::newRow("cap") << 60 << 0 << 0 << 20 << "longest idle" << 20;
    QTest::newRow("1000 at the default cap") << 1000 << 0 << 0 << 0 << "longest idle" << 256;
}

// Peers that go quiet at once, halfway through the header or the body, hold
// no more than the limits let them; good calls are answered beside them.
void TestServer::idleClients()
{
    QFETCH(int, idle);
    QFETCH(int, idleTimeout);
    QFETCH(int, requestTimeout);
    QFETCH(int, maxConnections);
    QFETCH(QString, warning);
    QFETCH(int, held);
    rlimit files{};
    QVERIFY(getrlimit(RLIMIT_NOFILE, &files) == 0);
    files.rlim_cur = files.rlim_max; // both ends of a thousand sockets live in this process
    QVERIFY(setrlimit(RLIMIT_NOFILE, &files) == 0);
    server->setIdleTimeout(idleTimeout);
    server->setRequestTimeout(requestTimeout);
    if (maxConnections)
        server->setMaxConnections(maxConnections);
    const int beside = 5;
    const int warnings = warning.isEmpty() ? 0 : held ? idle - held + beside : idle; // each call beside evicts one
    for (int i = 0; i < warnings; ++i)
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QRegularExpression::escape(warning)));

    QScopedPointer<QObject> peers(new QObject);
    const QByteArray starts[] = {QByteArray(), post(touchCall).left(30), post(touchCall).chopped(10)};
    for (int i = 0; i < idle; ++i) {
        QVERIFY(connectTo(server->serverPort(), starts[i % 3], peers.data())->waitForConnected(5000));
        QCoreApplication::processEvents();
    }
    QTRY_COMPARE_WITH_TIMEOUT(connections(), held, 10000);
    QList<QTcpSocket *> good;
    for (int i = 0; i < beside; ++i) {
        // Held open where nothing times them out, so that each takes a place at the cap.
        good << connectTo(server->serverPort(), post(touchCall), peers.data());
        QCOMPARE(receive(good.last(), isWhole), touched);
        if (idleTimeout || requestTimeout)
            delete good.takeLast();
    }
    QVERIFY(std::none_of(good.cbegin(), good.cend(), isClosed)); // the quiet peers gave way, not these
    for (const QTcpSocket *peer : peers->findChildren<QTcpSocket *>())
        QCOMPARE(peer->bytesAvailable(), 0); // closed or not, an idle peer gets no answer, a good one no more
    peers.reset();
    QTRY_COMPARE_WITH_TIMEOUT(connections(), 0, 5000);
}

QTEST_GUILESS_MAIN(TestServer)
#include "tst_server.moc"
