// Whole request byte streams, cut into packets, sent to a real server over
// loopback. Every connection must end (answered or closed) and leave no
// connection object behind; what is answered is a row of whole HTTP
// answers, each a 200 with a method response or an error status that closes.
//
// Input: byte 0 holds the number of extra cuts (mod 8), the next bytes one
// cut position each (as a fraction of 256), the rest is the byte stream.
#include "gzipcodec.h"
#include "maiaFault.h"
#include "maiaXmlRpcServer.h"
#include "maiaXmlRpcServerConnection.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTcpSocket>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

class Receiver : public QObject
{
public:
    int add(int a, int b) { return int(unsigned(a) + unsigned(b)); }
    void nothing() { }
    QVariant fail(int code) { return QVariant::fromValue(MaiaFault(code, QStringLiteral("asked for"))); }
};

namespace {

QCoreApplication *app;
MaiaXmlRpcServer *server;
Receiver *receiver;

void silence(QtMsgType, const QMessageLogContext &, const QString &)
{
}

[[noreturn]] void fail(const char *what)
{
    std::fprintf(stderr, "%s\n", what);
    std::abort();
}

int openConnections()
{
    return server->findChildren<MaiaXmlRpcServerConnection *>().size();
}

// One pass of both ends' events; false when there was nothing to do.
bool runOnce()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return QAbstractEventDispatcher::instance()->processEvents(QEventLoop::AllEvents);
}

// Runs both ends until a pass finds nothing to do. Loopback delivers a write
// before it returns, so by then the server has handled all that was sent.
void settle()
{
    for (int i = 0; i < 1000 && runOnce(); ++i) { }
}

// Runs both ends until `done` holds, for five seconds at most. Sleeps while
// idle, so that a busy machine's kernel gets to deliver what is in flight.
template <typename Predicate> bool await(Predicate done)
{
    const QDeadlineTimer deadline(5000);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        if (!runOnce())
            QThread::usleep(50);
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    qInstallMessageHandler(silence);
    app = new QCoreApplication(*argc, *argv);
    server = new MaiaXmlRpcServer;
    if (!server->listen(QHostAddress::LocalHost))
        fail("the server does not listen");
    receiver = new Receiver;
    // Whatever one value it is sent, of any type.
    server->registerMethod(QStringLiteral("echo"), [](const QVariantList &params) { return params.value(0); });
    server->registerMethod(QStringLiteral("add"), receiver, &Receiver::add);
    server->registerMethod(QStringLiteral("nothing"), receiver, &Receiver::nothing);
    server->registerMethod(QStringLiteral("fail"), receiver, &Receiver::fail);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const size_t cutCount = std::min<size_t>(data[0] % 8, size - 1);
    const QByteArray stream(reinterpret_cast<const char *>(data) + 1 + cutCount, int(size - 1 - cutCount));
    std::vector<int> cuts{0, stream.size()};
    for (size_t i = 0; i < cutCount; ++i)
        cuts.push_back(int(qint64(stream.size()) * data[1 + i] / 256));
    std::sort(cuts.begin(), cuts.end());

    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, server->serverPort());
    if (!client.waitForConnected(5000))
        fail("cannot connect to the server");
    if (!await([] { return openConnections() == 1; }))
        fail("the server did not take the connection");

    for (size_t i = 0; i + 1 < cuts.size(); ++i) {
        if (cuts[i] == cuts[i + 1] || client.state() != QAbstractSocket::ConnectedState)
            continue;
        client.write(stream.mid(cuts[i], cuts[i + 1] - cuts[i]));
        client.waitForBytesWritten(5000);
        // The server sees this packet on its own.
        settle();
    }

    // Answered and closed, closed unanswered, or still waiting for more.
    const QByteArray answer = client.readAll();
    client.abort();
    if (!await([] { return openConnections() == 0; }))
        fail("a connection object outlived its socket");

    // Answers follow one another, each as long as its Content-Length says.
    QByteArray rest = answer;
    for (int i = 0; i < 1000 && !rest.isEmpty(); ++i) {
        const int end = rest.indexOf("\r\n\r\n");
        const int field = rest.indexOf("\r\nContent-Length: ");
        if (end < 0 || field < 0 || field > end)
            fail("an answer without its whole header or its length");
        const int length = rest.mid(field + 18, end - field - 18).split('\r').at(0).toInt();
        QByteArray body = rest.mid(end + 4, length), inflated;
        if (rest.left(end).contains("\r\nContent-Encoding: gzip")) {
            if (!GzipCodec::inflate(body, 1 << 26, &inflated))
                fail("a gzip-coded answer that does not inflate");
            body = inflated;
        }
        if (rest.startsWith("HTTP/1.1 200 Ok\r\n")) {
            if (!body.startsWith("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<methodResponse>"))
                fail("a 200 without a method response");
        } else if (!rest.startsWith("HTTP/1.1 4") && !rest.startsWith("HTTP/1.1 5")) {
            fail("an answer without its status line");
        } else if (!rest.left(end).contains("Connection: close\r\n") || rest.size() != end + 4 + length) {
            fail("an error status that does not end the connection");
        }
        rest = rest.mid(end + 4 + length);
    }
    return 0;
}
