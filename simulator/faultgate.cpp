#include "faultgate.h"

#include "calllog.h"
#include "documentwriter.h"
#include "documentreader.h"
#include "servicereply.h"

#include <QDomDocument>
#include <QNetworkProxy>
#include <QTcpSocket>

namespace {

constexpr int maxHeaderBytes = 64 * 1024;

QByteArray httpAnswer(int status, const QByteArray &reason, const QByteArray &body)
{
    return "HTTP/1.1 " + QByteArray::number(status) + ' ' + reason
        + "\r\nServer: vendalux-sim\r\nContent-Type: text/xml\r\nConnection: close\r\nContent-Length: "
        + QByteArray::number(body.size()) + "\r\n\r\n" + body;
}

// Content-Length of a header block, -1 when it has none.
qint64 contentLength(const QByteArray &head)
{
    for (const QByteArray &line : head.split('\n')) {
        const int colon = line.indexOf(':');
        if (colon > 0 && line.left(colon).trimmed().toLower() == "content-length")
            return line.mid(colon + 1).trimmed().toLongLong();
    }
    return -1;
}

} // namespace

FaultGate::FaultGate(CallLog *log, QObject *parent)
    : QTcpServer(parent)
    , log(log)
{
    setProxy(QNetworkProxy::NoProxy);
    connect(this, &QTcpServer::newConnection, this, &FaultGate::acceptConnections);
}

void FaultGate::injectFault(const QString &method, const InjectedFault &fault, int count)
{
    // Only the first of the copies waits: the others follow it directly.
    for (int i = 0; i < count; ++i) {
        injected[method].append(fault);
        if (i > 0)
            injected[method].last().after = 0;
    }
}

std::optional<FaultGate::InjectedFault> FaultGate::takeInjectedFault(const QString &method)
{
    auto it = injected.find(method);
    if (it == injected.end() || it->isEmpty())
        return std::nullopt;
    if (it->first().after > 0) {
        --it->first().after;
        return std::nullopt;
    }
    return it->takeFirst();
}

std::optional<FaultGate::FaultKind> FaultGate::faultKindFromName(const QString &name)
{
    static const QHash<QString, FaultKind> kinds{{"status", FaultKind::Status},
                                                 {"fault", FaultKind::XmlRpcFault},
                                                 {"drop", FaultKind::DropConnection},
                                                 {"http", FaultKind::HttpError},
                                                 {"malformed", FaultKind::MalformedXml},
                                                 {"reply", FaultKind::Reply},
                                                 {"lost", FaultKind::ReplyLost},
                                                 {"stall", FaultKind::Stall}};
    const auto it = kinds.find(name);
    if (it == kinds.end())
        return std::nullopt;
    return *it;
}

void FaultGate::acceptConnections()
{
    while (QTcpSocket *client = nextPendingConnection()) {
        connect(client, &QTcpSocket::readyRead, this, [this, client] { readRequest(client); });
        connect(client, &QTcpSocket::disconnected, client, &QObject::deleteLater);
        connect(client, &QObject::destroyed, this, [this, client] { partial.remove(client); });
    }
}

void FaultGate::readRequest(QTcpSocket *client)
{
    QByteArray &request = partial[client];
    request += client->readAll();
    const int headEnd = request.indexOf("\r\n\r\n");
    if (headEnd < 0 && request.size() <= maxHeaderBytes)
        return;
    const qint64 length = headEnd < 0 ? -1 : contentLength(request.left(headEnd));
    if (length > 0 && request.size() < headEnd + 4 + length)
        return;
    const QByteArray whole = partial.take(client);
    // Whole (or beyond repair): one request per connection either way.
    disconnect(client, &QTcpSocket::readyRead, this, nullptr);
    dispatch(client, whole, length > 0 ? whole.mid(headEnd + 4, length) : QByteArray());
}

void FaultGate::dispatch(QTcpSocket *client, const QByteArray &request, const QByteArray &body)
{
    const DocumentReader::Call document = DocumentReader::readCall(body);
    const QString method = document.methodName;
    const std::optional<InjectedFault> fault = takeInjectedFault(method);
    if (!fault)
        return forward(client, request);
    if (fault->kind == FaultKind::ReplyLost)
        return forward(client, request, false); // the service records the call itself

    CallLog::Call call;
    call.method = method;
    call.params = document.arguments();
    if (method != QLatin1String("getHash"))
        call.token = call.params.value(0).toString();

    switch (fault->kind) {
    case FaultKind::Status:
        call.note = QStringLiteral("injected status %1").arg(fault->code);
        client->write(httpAnswer(200, "OK", DocumentWriter::response(serviceReply(fault->code, fault->text))));
        break;
    case FaultKind::XmlRpcFault:
        call.note = QStringLiteral("injected fault %1").arg(fault->code);
        client->write(httpAnswer(200, "OK", DocumentWriter::fault(fault->code, fault->text)));
        break;
    case FaultKind::HttpError:
        call.note = QStringLiteral("injected HTTP %1").arg(fault->code);
        client->write(httpAnswer(fault->code, "Injected Error", fault->text.toUtf8()));
        break;
    case FaultKind::Reply:
        call.note = QStringLiteral("injected reply");
        client->write(httpAnswer(200, "OK", DocumentWriter::response(fault->reply)));
        break;
    case FaultKind::MalformedXml:
        call.note = QStringLiteral("injected malformed XML");
        client->write(httpAnswer(200, "OK", "<?xml version=\"1.0\"?><methodResponse><params><param>"));
        break;
    case FaultKind::DropConnection:
        call.note = QStringLiteral("injected dropped connection");
        log->record(call);
        client->abort();
        return;
    case FaultKind::Stall:
        call.note = QStringLiteral("injected stall");
        log->record(call);
        return; // the connection stays open until the caller gives up
    case FaultKind::ReplyLost:
        break;
    }
    log->record(call);
    client->disconnectFromHost();
}

void FaultGate::forward(QTcpSocket *client, const QByteArray &request, bool answered)
{
    auto *upstream = new QTcpSocket(client);
    upstream->setProxy(QNetworkProxy::NoProxy);
    // One request per connection: asked to, the server closes after its answer, and the gate with it.
    const int lineEnd = request.indexOf("\r\n");
    const QByteArray closing =
        lineEnd < 0 ? request : request.left(lineEnd + 2) + "Connection: close\r\n" + request.mid(lineEnd + 2);
    connect(upstream, &QTcpSocket::connected, upstream, [upstream, closing] { upstream->write(closing); });
    connect(upstream, &QTcpSocket::readyRead, client, [client, upstream, answered] {
        const QByteArray bytes = upstream->readAll();
        if (answered)
            client->write(bytes);
    });
    auto finish = [client, upstream, answered] {
        if (!answered)
            return client->abort();
        client->write(upstream->readAll());
        client->disconnectFromHost();
    };
    connect(upstream, &QTcpSocket::disconnected, client, finish);
    connect(upstream, &QAbstractSocket::errorOccurred, client,
            [finish](QAbstractSocket::SocketError error) {
                if (error != QAbstractSocket::RemoteHostClosedError)
                    finish();
            });
    upstream->connectToHost(QHostAddress::LocalHost, backendPort);
}
