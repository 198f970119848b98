#include "maiaXmlRpcServerConnection.h"

#include "documentguard.h"
#include "documentreader.h"
#include "documentwriter.h"
#include "gzipcodec.h"
#include "maiaFault.h"
#include "methodtable.h"
#include "qhttprequestheader.h"

#include <QHostAddress>
#include <QSslSocket>
#include <QTimer>
#include <QTcpSocket>
#include <QTimerEvent>

#include <utility>

namespace {

// No peer may make a connection hold more than this.
constexpr int maxHeaderBytes = 64 * 1024;
constexpr qint64 maxContentLength = DocumentGuard::maxDocumentBytes;
// Smaller answers gain too little from gzip to pay for it.
constexpr int minGzipBytes = 1024;

} // namespace

MaiaXmlRpcServerConnection::MaiaXmlRpcServerConnection(QTcpSocket *connection, std::shared_ptr<MethodTable> methods,
                                                       QObject *parent)
    : QObject(parent)
    , clientConnection(connection)
    , methods(std::move(methods))
{
    sinceActivity.start();
    connect(connection, &QTcpSocket::readyRead, this, &MaiaXmlRpcServerConnection::readFromSocket);
    connect(connection, &QTcpSocket::disconnected, this, &QObject::deleteLater);
    // A peer reading a large answer slowly is still busy, not idle.
    connect(connection, &QTcpSocket::bytesWritten, this, &MaiaXmlRpcServerConnection::restartIdleTimer);
}

MaiaXmlRpcServerConnection::~MaiaXmlRpcServerConnection()
{
    if (clientConnection)
        clientConnection->deleteLater();
}

void MaiaXmlRpcServerConnection::setIdleTimeout(int msecs)
{
    idleTimeout = msecs;
    if (idleTimeout > 0)
        idleTimer.start(idleTimeout, this);
    else
        idleTimer.stop();
}

void MaiaXmlRpcServerConnection::setRequestTimeout(int msecs)
{
    requestTimeout = msecs;
    if (requestTimeout > 0 && !answering)
        requestTimer.start(requestTimeout, this);
    else
        requestTimer.stop();
}

qint64 MaiaXmlRpcServerConnection::lastActivity() const
{
    return sinceActivity.msecsSinceReference();
}

void MaiaXmlRpcServerConnection::evict()
{
    if (!clientConnection)
        return;
    qWarning().noquote() << "Closing the longest idle connection, from" << clientConnection->peerAddress().toString()
                         << "to make room";
    close();
}

void MaiaXmlRpcServerConnection::restartIdleTimer()
{
    sinceActivity.start();
    if (idleTimer.isActive())
        idleTimer.start(idleTimeout, this);
}

void MaiaXmlRpcServerConnection::timerEvent(QTimerEvent *event)
{
    const bool idle = event->timerId() == idleTimer.timerId();
    if (!idle && event->timerId() != requestTimer.timerId())
        return QObject::timerEvent(event);
    idleTimer.stop();
    requestTimer.stop();
    if (!clientConnection || clientConnection->state() == QAbstractSocket::UnconnectedState)
        return;
    if (idle)
        qWarning().noquote() << "Closing a connection from" << clientConnection->peerAddress().toString() << "idle for"
                             << idleTimeout << "ms";
    else
        qWarning().noquote() << "Closing a connection from" << clientConnection->peerAddress().toString()
                             << "that sent no whole request in" << requestTimeout << "ms";
    close(); // its disconnected() deletes this connection, as for any other close
}

void MaiaXmlRpcServerConnection::readFromSocket()
{
    if (answering || closing || !clientConnection)
        return; // a pipelined request waits in the socket for the answer before it
    restartIdleTimer();
    while (!header && clientConnection->canReadLine()) {
        const QByteArray line = clientConnection->readLine();
        headerString += DocumentGuard::decodeUpToNul(line);
        if (headerString.size() > maxHeaderBytes)
            return refuse(431, "Request Header Fields Too Large");
        if (line != "\r\n")
            continue;
        header.reset(new QHttpRequestHeader(headerString));
        if (!checkHeader())
            return;
    }
    // A header line may be long without ending: count what waits unread too.
    if (!header && clientConnection->bytesAvailable() + headerString.size() > maxHeaderBytes)
        return refuse(431, "Request Header Fields Too Large");
    if (!header || clientConnection->bytesAvailable() < header->contentLength())
        return;
    answering = true;
    requestTimer.stop();
    QByteArray body = clientConnection->read(header->contentLength());
    if (header->hasKey(QStringLiteral("Content-Encoding"))) {
        QByteArray inflated;
        if (!GzipCodec::inflate(body, maxContentLength, &inflated))
            return refuse(400, "Bad Request");
        body = std::move(inflated);
    }
    // From the event loop, not inside the socket's signal: a slot may
    // destroy the server, and the socket with it.
    QMetaObject::invokeMethod(
        this, [this, call = std::move(body)]() mutable { handleCall(std::move(call)); }, Qt::QueuedConnection);
}

bool MaiaXmlRpcServerConnection::checkHeader()
{
    if (!header->isValid())
        refuse(400, "Bad Request");
    else if (header->majorVersion() != 1 || header->minorVersion() > 1)
        refuse(505, "HTTP Version Not Supported");
    else if (header->method() != QLatin1String("POST"))
        refuse(405, "Method Not Allowed", "Allow: POST");
    else if (header->hasKey(QStringLiteral("Transfer-Encoding")) || !header->hasKey(QStringLiteral("Content-Length")))
        refuse(411, "Length Required"); // chunked bodies are not decoded: every XML-RPC peer sends a length
    else if (!header->hasContentLength())
        refuse(400, "Bad Request");
    else if (header->contentLength() > maxContentLength)
        refuse(413, "Payload Too Large");
    else if (header->hasKey(QStringLiteral("Content-Encoding"))
             && header->value(QStringLiteral("Content-Encoding")).compare(QLatin1String("gzip"), Qt::CaseInsensitive))
        refuse(415, "Unsupported Media Type");
    else
        return true;
    return false;
}

void MaiaXmlRpcServerConnection::refuse(int status, const QByteArray &reason, const QByteArray &extraField)
{
    qDebug().noquote() << "Answering" << status << reason << "to" << clientConnection->peerAddress().toString();
    closing = true;
    clientConnection->readAll(); // unread bytes at the close would reset the connection, and lose the answer
    writeAnswer(status, reason, "text/plain", QByteArray::number(status) + ' ' + reason + '\n', extraField);
}

void MaiaXmlRpcServerConnection::close()
{
    closing = true;
    idleTimer.stop();
    requestTimer.stop();
    clientConnection->abort();
}

void MaiaXmlRpcServerConnection::handleCall(QByteArray call)
{
    const auto *tls = qobject_cast<const QSslSocket *>(clientConnection.data());
    const MaiaRequest request(clientConnection->peerAddress(), clientConnection->peerPort(), header->values(),
                              tls && tls->isEncrypted());
    // Held here: a method may destroy the server, and this connection with it.
    const std::shared_ptr<MethodTable> table = methods;
    const QPointer<MaiaXmlRpcServerConnection> alive(this);
    const QByteArray answer = table->answer(std::move(call), request);
    if (!alive || !clientConnection)
        return;
    writeResponse(answer);
}

void MaiaXmlRpcServerConnection::writeResponse(const QByteArray &content)
{
    if (closing)
        return; // closed while the method ran: evicted or timed out
    // HTTP/1.1 keeps the connection unless told otherwise; HTTP/1.0 closes it unless told otherwise.
    const QString connectionField = QStringLiteral("Connection");
    if (header->minorVersion() == 0)
        closing = !header->listsToken(connectionField, QStringLiteral("keep-alive"));
    else
        closing = header->listsToken(connectionField, QStringLiteral("close"));
    QByteArray extraField = closing || header->minorVersion() > 0 ? QByteArray() : "Connection: keep-alive";
    QByteArray body = content;
    if (body.size() >= minGzipBytes && header->listsToken(QStringLiteral("Accept-Encoding"), QStringLiteral("gzip"))) {
        body = GzipCodec::compress(content);
        extraField += (extraField.isEmpty() ? "" : "\r\n") + QByteArray("Content-Encoding: gzip");
    }
    writeAnswer(200, "Ok", "text/xml", std::move(body), extraField);
    if (closing)
        return;
    header.reset();
    headerString.clear();
    answering = false;
    if (requestTimeout > 0)
        requestTimer.start(requestTimeout, this);
    if (clientConnection->bytesAvailable() > 0)
        readFromSocket(); // the next request, sent before this answer
}

void MaiaXmlRpcServerConnection::writeAnswer(int status, const QByteArray &reason, const QByteArray &contentType,
                                             QByteArray body, const QByteArray &extraField)
{
    QByteArray head = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reason + "\r\n";
    if (closing)
        head += "Connection: close\r\n";
    // The end of the body by its length, not by the close: a client may not see the close in time.
    head += "Content-Length: " + QByteArray::number(body.size()) + "\r\nContent-Type: " + contentType
        + "\r\nServer: MaiaXmlRpc/0.1\r\n";
    if (!extraField.isEmpty())
        head += extraField + "\r\n";
    clientConnection->write(head + "\r\n" + body);
    if (closing) {
        disconnect(clientConnection, &QTcpSocket::readyRead, this, &MaiaXmlRpcServerConnection::readFromSocket);
        clientConnection->disconnectFromHost();
    }
}
