#include "faultgate.h"

#include "importservice.h"
#include "documentwriter.h"
#include "maiaObject.h"

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

FaultGate::FaultGate(ImportService *service, quint16 backendPort, QObject *parent)
    : QTcpServer(parent)
    , service(service)
    , backendPort(backendPort)
{
    setProxy(QNetworkProxy::NoProxy);
    connect(this, &QTcpServer::newConnection, this, &FaultGate::acceptConnections);
}

void FaultGate::acceptConnections()
{
    while (QTcpSocket *client = nextPendingConnection()) {
        connect(client, &QTcpSocket::readyRead, this, [this, client] { readRequest(client); });
        connect(client, &QTcpSocket::disconnected, client, &QObject::deleteLater);
    }
}

void FaultGate::readRequest(QTcpSocket *client)
{
    QByteArray request = client->property("request").toByteArray() + client->readAll();
    const int headEnd = request.indexOf("\r\n\r\n");
    if (headEnd < 0 && request.size() <= maxHeaderBytes) {
        client->setProperty("request", request);
        return;
    }
    const qint64 length = headEnd < 0 ? -1 : contentLength(request.left(headEnd));
    if (length > 0 && request.size() < headEnd + 4 + length) {
        client->setProperty("request", request);
        return;
    }
    // Whole (or beyond repair): one request per connection either way.
    disconnect(client, &QTcpSocket::readyRead, this, nullptr);
    dispatch(client, request, length > 0 ? request.mid(headEnd + 4, length) : QByteArray());
}

void FaultGate::dispatch(QTcpSocket *client, const QByteArray &request, const QByteArray &body)
{
    QDomDocument document;
    document.setContent(body);
    const QDomElement root = document.documentElement();
    const QString method = root.firstChildElement(QStringLiteral("methodName")).text();
    const std::optional<ImportService::InjectedFault> fault = service->takeInjectedFault(method);
    if (!fault)
        return forward(client, request);

    ImportService::Call call;
    call.method = method;
    for (QDomElement param = root.firstChildElement(QStringLiteral("params")).firstChildElement();
         !param.isNull(); param = param.nextSiblingElement())
        call.params.append(MaiaObject::fromXml(param.firstChildElement()));
    if (method != QLatin1String("getHash"))
        call.token = call.params.value(0).toString();

    switch (fault->kind) {
    case ImportService::FaultKind::Status: {
        const QVariantMap reply{{"status", QString::number(fault->code)},
                                {"statusMessage", fault->text},
                                {"output", QVariantList()}};
        call.note = QStringLiteral("injected status %1").arg(fault->code);
        client->write(httpAnswer(200, "OK", DocumentWriter::response(reply)));
        break;
    }
    case ImportService::FaultKind::XmlRpcFault:
        call.note = QStringLiteral("injected fault %1").arg(fault->code);
        client->write(httpAnswer(200, "OK", DocumentWriter::fault(fault->code, fault->text)));
        break;
    case ImportService::FaultKind::HttpError:
        call.note = QStringLiteral("injected HTTP %1").arg(fault->code);
        client->write(httpAnswer(fault->code, "Injected Error", fault->text.toUtf8()));
        break;
    case ImportService::FaultKind::Reply:
        call.note = QStringLiteral("injected reply");
        client->write(httpAnswer(200, "OK", DocumentWriter::response(fault->reply)));
        break;
    case ImportService::FaultKind::MalformedXml:
        call.note = QStringLiteral("injected malformed XML");
        client->write(httpAnswer(200, "OK", "<?xml version=\"1.0\"?><methodResponse><params><param>"));
        break;
    case ImportService::FaultKind::DropConnection:
        call.note = QStringLiteral("injected dropped connection");
        service->recordCall(call);
        client->abort();
        return;
    }
    service->recordCall(call);
    client->disconnectFromHost();
}

void FaultGate::forward(QTcpSocket *client, const QByteArray &request)
{
    auto *upstream = new QTcpSocket(client);
    upstream->setProxy(QNetworkProxy::NoProxy);
    connect(upstream, &QTcpSocket::connected, upstream, [upstream, request] { upstream->write(request); });
    connect(upstream, &QTcpSocket::readyRead, client, [client, upstream] { client->write(upstream->readAll()); });
    auto finish = [client, upstream] {
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
