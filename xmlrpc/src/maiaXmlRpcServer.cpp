#include "maiaXmlRpcServer.h"

#include "maiaXmlRpcServerConnection.h"
#include "methodtable.h"
#include "tlslistener.h"

#include <QTcpSocket>

#include <algorithm>
#include <utility>

namespace {

MaiaXmlRpcServer::RequestMethod withoutRequest(MaiaXmlRpcServer::Method method)
{
    return [method = std::move(method)](const QVariantList &params, const MaiaRequest &) { return method(params); };
}

} // namespace

MaiaXmlRpcServer::MaiaXmlRpcServer(QObject *parent)
    : QObject(parent)
    , methods(std::make_shared<MethodTable>())
    , listener(new TlsListener(this))
{
    connect(listener, &QTcpServer::newConnection, this, &MaiaXmlRpcServer::acceptConnections);
}

MaiaXmlRpcServer::~MaiaXmlRpcServer() = default;

bool MaiaXmlRpcServer::listen(const QHostAddress &address, quint16 port)
{
    return listener->listen(address, port);
}

QString MaiaXmlRpcServer::errorString() const
{
    return listener->errorString();
}

QHostAddress MaiaXmlRpcServer::serverAddress() const
{
    return listener->serverAddress();
}

quint16 MaiaXmlRpcServer::serverPort() const
{
    return listener->serverPort();
}

void MaiaXmlRpcServer::registerMethod(const QString &name, Method method, const QString &help,
                                      const QStringList &signature)
{
    registerMethod(name, withoutRequest(std::move(method)), help, signature);
}

void MaiaXmlRpcServer::registerMethod(const QString &name, RequestMethod method, const QString &help,
                                      const QStringList &signature)
{
    MethodTable::Entry entry;
    entry.method = std::move(method);
    entry.help = help;
    entry.signature = signature;
    methods->insert(name, entry);
}

void MaiaXmlRpcServer::registerMember(const QString &name, QObject *receiver, const QVector<int> &typeIds,
                                      Method method, const QString &help)
{
    MethodTable::Entry entry;
    entry.method = withoutRequest(std::move(method));
    entry.help = help;
    for (int type : typeIds)
        entry.signature << MethodTable::typeName(type);
    entry.checked = true;
    entry.parameterTypes = typeIds.mid(1);
    entry.bound = true;
    entry.receiver = receiver;
    methods->insert(name, entry);
}

void MaiaXmlRpcServer::unregisterMethod(const QString &name)
{
    methods->remove(name);
}

void MaiaXmlRpcServer::setAllowedAddresses(const QList<QHostAddress> &addresses)
{
    allowed = addresses;
}

QList<QHostAddress> MaiaXmlRpcServer::allowedAddresses() const
{
    return allowed;
}

void MaiaXmlRpcServer::setIdleTimeout(int msecs)
{
    idleTimeoutMsecs = msecs;
}

int MaiaXmlRpcServer::idleTimeout() const
{
    return idleTimeoutMsecs;
}

void MaiaXmlRpcServer::setSslConfiguration(const QSslConfiguration &configuration)
{
    listener->setSslConfiguration(configuration);
}

QSslConfiguration MaiaXmlRpcServer::sslConfiguration() const
{
    return listener->sslConfiguration();
}

void MaiaXmlRpcServer::setRequestTimeout(int msecs)
{
    requestTimeoutMsecs = msecs;
}

int MaiaXmlRpcServer::requestTimeout() const
{
    return requestTimeoutMsecs;
}

void MaiaXmlRpcServer::setMaxConnections(int count)
{
    connectionLimit = count;
}

int MaiaXmlRpcServer::maxConnections() const
{
    return connectionLimit;
}

void MaiaXmlRpcServer::acceptConnections()
{
    while (QTcpSocket *socket = listener->nextPendingConnection()) {
        if (!allowed.isEmpty() && !allowed.contains(socket->peerAddress())) {
            qWarning() << "Rejected connection attempt from" << socket->peerAddress().toString();
            // Still the listener's child; freed once closed so rejected peers cannot pile up.
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            socket->disconnectFromHost();
            continue;
        }
        if (connectionLimit > 0 && open.size() >= connectionLimit) {
            // Silent peers give way to new ones, rather than keep them out.
            const auto longestIdle = std::min_element(open.cbegin(), open.cend(), [](auto *a, auto *b) {
                return a->lastActivity() < b->lastActivity();
            });
            MaiaXmlRpcServerConnection *evicted = *longestIdle;
            open.removeOne(evicted);
            evicted->evict();
        }
        // The connection is this server's child, so the lookup never outlives it.
        auto *connection = new MaiaXmlRpcServerConnection(socket, methods, this);
        connection->setIdleTimeout(idleTimeoutMsecs);
        connection->setRequestTimeout(requestTimeoutMsecs);
        open.append(connection);
        // ~QObject cuts this link before deleting the children, so it never runs on a dying server.
        connect(connection, &QObject::destroyed, this, [this, connection] { open.removeOne(connection); });
    }
}
