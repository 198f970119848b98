#include "maiaXmlRpcServerConnection.h"

#include "documentguard.h"
#include "methodtable.h"
#include "qhttprequestheader.h"
#include "qhttpresponseheader.h"

#include <QHostAddress>
#include <QSslSocket>
#include <QTimer>
#include <QTimerEvent>
#include <QTcpSocket>

#include <utility>

namespace {

// No peer may make a connection hold more than this.
constexpr int maxHeaderBytes = 64 * 1024;
constexpr uint maxContentLength = DocumentGuard::maxDocumentBytes;

} // namespace

MaiaXmlRpcServerConnection::MaiaXmlRpcServerConnection(QTcpSocket *connection, std::shared_ptr<MethodTable> methods,
                                                       QObject *parent)
    : QObject(parent)
    , clientConnection(connection)
    , methods(std::move(methods))
{
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

void MaiaXmlRpcServerConnection::restartIdleTimer()
{
    if (idleTimer.isActive())
        idleTimer.start(idleTimeout, this);
}

void MaiaXmlRpcServerConnection::timerEvent(QTimerEvent *event)
{
    if (event->timerId() != idleTimer.timerId())
        return QObject::timerEvent(event);
    idleTimer.stop();
    if (!clientConnection || clientConnection->state() == QAbstractSocket::UnconnectedState)
        return;
    qWarning().noquote() << "Closing a connection from" << clientConnection->peerAddress().toString()
                         << "idle for" << idleTimeout << "ms";
    close(); // its disconnected() deletes this connection, as for any other close
}

void MaiaXmlRpcServerConnection::readFromSocket()
{
    restartIdleTimer();
    while (!header && clientConnection->canReadLine()) {
        const QByteArray line = clientConnection->readLine();
        headerString += DocumentGuard::decodeUpToNul(line);
        if (headerString.size() > maxHeaderBytes) {
            qWarning() << "Closing a connection whose header passed" << maxHeaderBytes << "bytes";
            return close();
        }
        if (line != "\r\n")
            continue;
        header.reset(new QHttpRequestHeader(headerString));
        if (!header->isValid())
            return reject("Invalid Header");
        if (header->method() != QLatin1String("POST"))
            return reject("No Post!");
        if (header->contentLength() == 0)
            return reject("No Content Length");
        if (header->contentLength() > maxContentLength) {
            qWarning() << "Closing a connection announcing" << header->contentLength()
                       << "bytes, more than" << maxContentLength;
            return close();
        }
    }
    // A header line may be long without ending: count what waits unread too.
    if (!header && clientConnection->bytesAvailable() + headerString.size() > maxHeaderBytes) {
        qWarning() << "Closing a connection whose header passed" << maxHeaderBytes << "bytes";
        return close();
    }
    if (header && clientConnection->bytesAvailable() >= header->contentLength()) {
        // One request per connection: whatever follows the body is ignored.
        disconnect(clientConnection, &QTcpSocket::readyRead, this, &MaiaXmlRpcServerConnection::readFromSocket);
        // From the event loop, not inside the socket's signal: a slot may
        // destroy the server, and the socket with it.
        QTimer::singleShot(0, this, [this, call = clientConnection->read(header->contentLength())]() mutable {
            handleCall(std::move(call));
        });
    }
}

void MaiaXmlRpcServerConnection::reject(const char *reason)
{
    qDebug() << reason;
    close();
}

void MaiaXmlRpcServerConnection::close()
{
    disconnect(clientConnection, &QTcpSocket::readyRead, this, &MaiaXmlRpcServerConnection::readFromSocket);
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
    QHttpResponseHeader responseHeader(200, QStringLiteral("Ok"));
    responseHeader.setValue(QStringLiteral("Server"), QStringLiteral("MaiaXmlRpc/0.1"));
    responseHeader.setValue(QStringLiteral("Content-Type"), QStringLiteral("text/xml"));
    responseHeader.setValue(QStringLiteral("Connection"), QStringLiteral("close"));
    // The end of the body by its length, not by the close: a client may not see the close in time.
    responseHeader.setValue(QStringLiteral("Content-Length"), QString::number(content.size()));
    clientConnection->write(responseHeader.toString().toUtf8() + content);
    clientConnection->disconnectFromHost();
}
