// parse-memory-bench: peak resident memory of receiving and parsing one
// XML-RPC document of a given size, on the client or the server side.
//
//   parse-memory-bench client|server CASE MB
//       prints "memory SIDE CASE DOCUMENT-MB PEAK-MB RATIO", where PEAK-MB is
//       the growth of resident memory over what the process held once the
//       body had arrived, and RATIO is that growth over the document's bytes.
//
// One case per process, so earlier cases leave nothing behind. The peer runs
// as this same program in another process: "respond" serves the response the
// client asks for, "send" posts the call the server receives. CASE is string,
// base64, struct (many small members) or array (many ints).
#include "maiaCall.h"
#include "maiaXmlRpcClient.h"
#include "maiaXmlRpcServer.h"
#include "qhttprequestheader.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QPointer>
#include <QProcess>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTextStream>
#include <QTimer>

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace {

constexpr int peerTimeoutMs = 120000;
const QStringList caseNames = {QStringLiteral("string"), QStringLiteral("base64"),
                               QStringLiteral("struct"), QStringLiteral("array")};

// --- memory, from /proc/self -------------------------------------------------

qint64 statusBytes(const char *field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly | QIODevice::Text))
        return -1;
    const QByteArray prefix = QByteArray(field) + ':';
    for (QByteArray line = status.readLine(); !line.isEmpty(); line = status.readLine()) {
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().split(' ').value(0).toLongLong() * 1024;
    }
    return -1;
}

// Starts a measurement: the high-water mark restarts from what is resident now.
struct PeakMeter {
    qint64 baseline = -1;

    bool start()
    {
#ifdef __GLIBC__
        // Freed heap pages would otherwise be reused unseen and hide growth.
        malloc_trim(0);
#endif
        QFile clearRefs(QStringLiteral("/proc/self/clear_refs"));
        if (!clearRefs.open(QIODevice::WriteOnly) || clearRefs.write("5") != 1)
            return false;
        clearRefs.close();
        baseline = statusBytes("VmRSS");
        return baseline > 0;
    }
    qint64 growth() const { return statusBytes("VmHWM") - baseline; }
};

// --- documents ---------------------------------------------------------------

struct Document {
    QByteArray text;
    int count = 0; // what the receiver should find: characters, bytes, members or items
};

// A call (to "count") or a response of about `bytes` bytes holding one value of the given case.
Document makeDocument(const QString &kind, qint64 bytes, bool call)
{
    const QByteArray head = call ? "<?xml version=\"1.0\"?>\n<methodCall><methodName>count</methodName>"
                                   "<params><param><value>"
                                 : "<?xml version=\"1.0\"?>\n<methodResponse><params><param><value>";
    const QByteArray tail = call ? "</value></param></params></methodCall>\n"
                                 : "</value></param></params></methodResponse>\n";
    Document document;
    QByteArray &text = document.text;
    text.reserve(int(bytes) + 256);
    text += head;
    const qint64 room = bytes - head.size() - tail.size();
    if (kind == QLatin1String("string")) {
        const QByteArray words = "a caption for photo 1024, taken at dusk; ";
        const qint64 length = room - qint64(sizeof "<string></string>") + 1;
        text += "<string>";
        while (text.size() + words.size() < head.size() + 8 + length)
            text += words;
        text += words.left(int(head.size() + 8 + length - text.size()));
        document.count = int(length);
        text += "</string>";
    } else if (kind == QLatin1String("base64")) {
        const qint64 encoded = (room - qint64(sizeof "<base64></base64>") + 1) / 4 * 4;
        QByteArray raw(int(encoded / 4 * 3), Qt::Uninitialized);
        QRandomGenerator random(1024);
        for (char &c : raw)
            c = char(random.bounded(256));
        text += "<base64>" + raw.toBase64() + "</base64>";
        document.count = raw.size();
    } else {
        // Many small items, as many as fit before the closing tags.
        const bool isStruct = kind == QLatin1String("struct");
        const QByteArray open = isStruct ? "<struct>" : "<array><data>";
        const QByteArray close = isStruct ? "</struct>" : "</data></array>";
        const qint64 end = head.size() + room - close.size();
        text += open;
        for (int i = 0;; ++i) {
            const QByteArray number = QByteArray::number(i);
            const QByteArray value = i % 2 ? "<string>caption " + number + "</string>" : "<int>" + number + "</int>";
            const QByteArray item = isStruct ? "<member><name>m" + number + "</name><value>" + value + "</value></member>"
                                             : "<value><int>" + number + "</int></value>";
            if (text.size() + item.size() > end)
                break;
            text += item;
            ++document.count;
        }
        text += close;
    }
    text += tail;
    return document;
}

// What the receiver made of the document, counted as in Document::count.
int countOf(const QString &kind, const QVariant &value)
{
    if (kind == QLatin1String("string"))
        return value.type() == QVariant::String ? value.toString().size() : -1;
    if (kind == QLatin1String("base64"))
        return value.type() == QVariant::ByteArray ? value.toByteArray().size() : -1;
    if (kind == QLatin1String("struct"))
        return value.type() == QVariant::Map ? value.toMap().size() : -1;
    return value.type() == QVariant::List ? value.toList().size() : -1;
}

// Reads one line from a peer process, waiting at most `ms`.
QByteArray peerLine(QProcess &peer, int ms = peerTimeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!peer.canReadLine() && timer.elapsed() < ms && peer.state() != QProcess::NotRunning)
        peer.waitForReadyRead(1000);
    return peer.canReadLine() ? peer.readLine().trimmed() : QByteArray();
}

// Waits (bounded) until everything written to `socket` has left it.
bool flush(QTcpSocket &socket)
{
    QElapsedTimer timer;
    timer.start();
    while (socket.bytesToWrite() > 0 && timer.elapsed() < peerTimeoutMs) {
        if (!socket.waitForBytesWritten(1000) && socket.state() != QAbstractSocket::ConnectedState)
            return false;
    }
    return socket.bytesToWrite() == 0;
}

void printFigure(const char *side, const QString &kind, qint64 documentBytes, qint64 growth)
{
    QTextStream(stdout) << "memory " << side << ' ' << kind << ' ' << QString::number(documentBytes / 1e6, 'f', 2)
                        << ' ' << QString::number(growth / 1e6, 'f', 1) << ' '
                        << QString::number(double(growth) / documentBytes, 'f', 2) << Qt::endl;
}

// --- client: our client receives the response from a "respond" peer ---------

struct ClientProbe
{
    PeakMeter meter;
    qint64 growth = -1;
    QVariant result;
    QString failure;
};

int runClient(const QString &kind, qint64 bytes)
{
    QProcess peer;
    peer.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    peer.start(QCoreApplication::applicationFilePath(),
               {QStringLiteral("respond"), kind, QString::number(bytes)});
    const QList<QByteArray> announced = peerLine(peer).split(' '); // port, bytes, count
    if (announced.size() != 3) {
        qWarning("respond peer did not start");
        return 1;
    }
    const qint64 documentBytes = announced.at(1).toLongLong();

    QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
    MaiaXmlRpcClient client(QUrl(QStringLiteral("http://127.0.0.1:%1/RPC2").arg(QString(announced.at(0)))));
    ClientProbe probe;
    MaiaCall *call = client.call(QStringLiteral("count"), {});
    QObject::connect(call, &MaiaCall::finished, [&] {
        probe.growth = probe.meter.growth();
        if (call->isFault())
            probe.failure = QStringLiteral("fault %1: %2").arg(call->fault().code()).arg(call->fault().message());
        probe.result = call->result();
        QCoreApplication::quit();
    });
    QPointer<QNetworkReply> reply = call->findChild<QNetworkReply *>();
    // The body has arrived once the reply holds all of it; the client takes over from there.
    QObject::connect(reply.data(), &QNetworkReply::readyRead, [&] {
        if (probe.meter.baseline < 0 && reply && reply->bytesAvailable() >= documentBytes && !probe.meter.start())
            probe.failure = QStringLiteral("cannot reset the peak through /proc/self/clear_refs");
    });
    QTimer::singleShot(peerTimeoutMs, &client, [&] {
        probe.failure = QStringLiteral("no outcome in time");
        QCoreApplication::quit();
    });
    QCoreApplication::exec();
    peer.waitForFinished(10000);

    if (probe.failure.isEmpty() && probe.meter.baseline < 0)
        probe.failure = QStringLiteral("the outcome came before the whole body");
    if (probe.failure.isEmpty() && countOf(kind, probe.result) != announced.at(2).toInt())
        probe.failure = QStringLiteral("result holds %1, expected %2").arg(countOf(kind, probe.result)).arg(QString(announced.at(2)));
    if (!probe.failure.isEmpty()) {
        qWarning("client %s: %s", qPrintable(kind), qPrintable(probe.failure));
        return 1;
    }
    printFigure("client", kind, documentBytes, probe.growth);
    return 0;
}

// Serves one response document to one POST, then closes.
int runRespond(const QString &kind, qint64 bytes)
{
    const Document document = makeDocument(kind, bytes, false);
    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost, 0))
        return 1;
    QTextStream(stdout) << server.serverPort() << ' ' << document.text.size() << ' ' << document.count << Qt::endl;
    if (!server.waitForNewConnection(peerTimeoutMs))
        return 1;
    QTcpSocket *socket = server.nextPendingConnection();

    QByteArray request;
    QElapsedTimer timer;
    timer.start();
    for (;;) {
        const int end = request.indexOf("\r\n\r\n");
        if (end >= 0) {
            const QHttpRequestHeader header(QString::fromLatin1(request.left(end + 4)));
            if (header.isValid() && request.size() - end - 4 >= qint64(header.contentLength()))
                break;
        }
        if (timer.elapsed() > peerTimeoutMs || socket->state() != QAbstractSocket::ConnectedState)
            return 1;
        if (socket->waitForReadyRead(1000))
            request += socket->readAll();
    }
    socket->write("HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\nConnection: close\r\nContent-Length: "
                  + QByteArray::number(document.text.size()) + "\r\n\r\n");
    socket->write(document.text);
    if (!flush(*socket))
        return 1;
    socket->disconnectFromHost();
    if (socket->state() != QAbstractSocket::UnconnectedState)
        socket->waitForDisconnected(10000);
    return 0;
}

// --- server: our server receives the call from a "send" peer -----------------

// The server slot: answers with the size of what it got, never the value itself.
// Finds the server's accepted socket: socket notifications go to a notifier
// below it. The server keeps its sockets to itself.
class SocketFinder : public QObject
{
public:
    QPointer<QTcpSocket> socket;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (!socket && event->type() == QEvent::SockAct) {
            for (QObject *object = watched; object; object = object->parent()) {
                if (auto *found = qobject_cast<QTcpSocket *>(object)) {
                    socket = found;
                    break;
                }
            }
        }
        return false;
    }
};

int runServer(const QString &kind, qint64 bytes)
{
    MaiaXmlRpcServer server;
    if (!server.listen(QHostAddress::LocalHost))
        return 1;
    server.registerMethod(QStringLiteral("count"),
                          [&kind](const QVariantList &params) { return countOf(kind, params.value(0)); });
    SocketFinder finder;
    qApp->installEventFilter(&finder);

    // The peer sends all of the body but its last byte, waits for "go", sends
    // that byte and reads the answer: the parse starts with the body complete.
    QProcess peer;
    peer.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    peer.start(QCoreApplication::applicationFilePath(),
               {QStringLiteral("send"), QString::number(server.serverPort()), kind, QString::number(bytes)});
    const QList<QByteArray> announced = peerLine(peer).split(' '); // bytes, count
    if (announced.size() != 2) {
        qWarning("send peer did not start");
        return 1;
    }
    const qint64 documentBytes = announced.at(0).toLongLong();

    PeakMeter meter;
    qint64 growth = -1;
    QString failure;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (finder.socket && finder.socket->bytesAvailable() == documentBytes - 1) {
            poll.stop();
            if (!meter.start()) {
                failure = QStringLiteral("cannot reset the peak through /proc/self/clear_refs");
                QCoreApplication::quit();
                return;
            }
            peer.write("go\n");
        }
    });
    poll.start(5);
    QObject::connect(&peer, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), [&](int code) {
        growth = meter.growth();
        if (meter.baseline < 0 || code != 0)
            failure = QStringLiteral("send peer failed (exit %1)").arg(code);
        QCoreApplication::quit();
    });
    QTimer::singleShot(peerTimeoutMs, [&] {
        failure = QStringLiteral("no answer in time");
        QCoreApplication::quit();
    });
    QCoreApplication::exec();
    qApp->removeEventFilter(&finder);
    if (peer.state() != QProcess::NotRunning) {
        peer.kill();
        peer.waitForFinished(10000);
    }
    if (!failure.isEmpty()) {
        qWarning("server %s: %s", qPrintable(kind), qPrintable(failure));
        return 1;
    }
    printFigure("server", kind, documentBytes, growth);
    return 0;
}

// Posts one call document; see runServer for the exchange.
int runSend(quint16 port, const QString &kind, qint64 bytes)
{
    const Document document = makeDocument(kind, bytes, true);
    QTextStream(stdout) << document.text.size() << ' ' << document.count << Qt::endl;
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(10000))
        return 1;
    const int body = document.text.size();
    socket.write("POST /RPC2 HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: text/xml\r\nContent-Length: "
                 + QByteArray::number(body) + "\r\n\r\n");
    socket.write(document.text.constData(), body - 1);
    if (!flush(socket))
        return 1;
    QFile in;
    if (!in.open(stdin, QIODevice::ReadOnly) || in.readLine().trimmed() != "go")
        return 1;
    socket.write(document.text.constData() + body - 1, 1);
    if (!flush(socket))
        return 1;

    QByteArray answer;
    QElapsedTimer timer;
    timer.start();
    while (socket.state() == QAbstractSocket::ConnectedState && timer.elapsed() < peerTimeoutMs) {
        socket.waitForReadyRead(1000);
        answer += socket.readAll();
    }
    answer += socket.readAll();
    if (!answer.contains("<int>" + QByteArray::number(document.count) + "</int>")) {
        qWarning("send: unexpected answer: %s", answer.left(500).constData());
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    const auto usage = [] {
        qWarning("usage: parse-memory-bench client|server string|base64|struct|array MB");
        return 2;
    };
    if (args.size() == 3 && (args.at(0) == QLatin1String("client") || args.at(0) == QLatin1String("server"))) {
        bool ok = false;
        const double mb = args.at(2).toDouble(&ok);
        // The document must stay under the 64 MiB either side accepts.
        if (!ok || mb <= 0 || mb > 64 || !caseNames.contains(args.at(1)))
            return usage();
        const qint64 bytes = qint64(mb * 1e6);
        return args.at(0) == QLatin1String("client") ? runClient(args.at(1), bytes) : runServer(args.at(1), bytes);
    }
    if (args.size() == 3 && args.at(0) == QLatin1String("respond"))
        return runRespond(args.at(1), args.at(2).toLongLong());
    if (args.size() == 4 && args.at(0) == QLatin1String("send"))
        return runSend(quint16(args.at(1).toUInt()), args.at(2), args.at(3).toLongLong());
    return usage();
}

#include "parse_memory.moc"
