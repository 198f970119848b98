#include "tlslistener.h"

#include <QSslKey>
#include <QSslSocket>

void TlsListener::setSslConfiguration(const QSslConfiguration &configuration)
{
    tls = configuration;
    encrypted = !configuration.localCertificate().isNull() && !configuration.privateKey().isNull();
}

QSslConfiguration TlsListener::sslConfiguration() const
{
    return tls;
}

void TlsListener::incomingConnection(qintptr descriptor)
{
    if (!encrypted)
        return QTcpServer::incomingConnection(descriptor);
    auto *socket = new QSslSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        return;
    }
    socket->setSslConfiguration(tls);
    // A peer failing the handshake is closed; its connection object goes with the socket.
    connect(socket, qOverload<const QList<QSslError> &>(&QSslSocket::sslErrors), socket,
            [socket](const QList<QSslError> &errors) {
                qDebug() << "TLS handshake failed:" << errors;
                socket->abort();
            });
    socket->startServerEncryption();
    addPendingConnection(socket);
}
