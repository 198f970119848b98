#include "maiaXmlRpcServer.h"

#include "maiaXmlRpcServerConnection.h"

#include <QTcpSocket>

MaiaXmlRpcServer::MaiaXmlRpcServer(const QHostAddress &address, quint16 port, QObject *parent)
    : QObject(parent)
{
    listen(address, port);
}

MaiaXmlRpcServer::MaiaXmlRpcServer(QHostAddress::SpecialAddress address, quint16 port, QObject *parent)
    : MaiaXmlRpcServer(QHostAddress(address), port, parent)
{
}

MaiaXmlRpcServer::MaiaXmlRpcServer(quint16 port, QObject *parent)
    : QObject(parent)
{
    listen(QHostAddress::Any, port);
}

MaiaXmlRpcServer::MaiaXmlRpcServer(const QHostAddress &address, quint16 port,
                                   QList<QHostAddress> *allowedAddresses, QObject *parent)
    : QObject(parent)
    , allowedAddresses(allowedAddresses)
{
    listen(address, port);
}

void MaiaXmlRpcServer::listen(const QHostAddress &address, quint16 port)
{
    connect(&listener, SIGNAL(newConnection()), this, SLOT(newConnection()));
    listener.listen(address, port);
}

void MaiaXmlRpcServer::registerMethod(QString method, QObject *responseObject, const char *responseSlot)
{
    objectMap.insert(method, responseObject);
    slotMap.insert(method, responseSlot);
}

void MaiaXmlRpcServer::unregisterMethod(QString method)
{
    objectMap.remove(method);
    slotMap.remove(method);
}

QHostAddress MaiaXmlRpcServer::serverAddress()
{
    return listener.serverAddress();
}

quint16 MaiaXmlRpcServer::serverPort() const
{
    return listener.serverPort();
}

void MaiaXmlRpcServer::setIdleTimeout(int msecs)
{
    idleTimeoutMsecs = msecs;
}

int MaiaXmlRpcServer::idleTimeout() const
{
    return idleTimeoutMsecs;
}

void MaiaXmlRpcServer::setMaxConnections(int count)
{
    connectionLimit = count;
}

int MaiaXmlRpcServer::maxConnections() const
{
    return connectionLimit;
}

void MaiaXmlRpcServer::getMethod(QString method, QObject **responseObject, const char **responseSlot)
{
    *responseObject = objectMap.value(method).data();
    *responseSlot = *responseObject ? slotMap.value(method) : nullptr;
}

void MaiaXmlRpcServer::newConnection()
{
    while (QTcpSocket *socket = listener.nextPendingConnection()) {
        if (allowedAddresses && !allowedAddresses->isEmpty()
            && !allowedAddresses->contains(socket->peerAddress())) {
            qWarning() << "Rejected connection attempt from" << socket->peerAddress().toString();
            // Still the listener's child; freed once closed so rejected peers cannot pile up.
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            socket->disconnectFromHost();
            continue;
        }
        if (connectionLimit > 0 && openConnections >= connectionLimit) {
            qWarning().noquote() << "Refusing a connection from" << socket->peerAddress().toString() << "with"
                                 << openConnections << "connections already open";
            socket->abort();
            socket->deleteLater();
            continue;
        }
        auto *connection = new MaiaXmlRpcServerConnection(socket, this);
        connection->setIdleTimeout(idleTimeoutMsecs);
        ++openConnections;
        // ~QObject cuts this link before deleting the children, so it never runs on a dying server.
        connect(connection, &QObject::destroyed, this, [this] { --openConnections; });
        connect(connection, SIGNAL(getMethod(QString, QObject **, const char **)), this,
                SLOT(getMethod(QString, QObject **, const char **)));
    }
}
