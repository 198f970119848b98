#ifndef MAIAXMLRPCSERVER_H
#define MAIAXMLRPCSERVER_H

#include "maiaXmlRpcServer_p.h"
#include "qtmaiaxmlrpc_export.h"

#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QTcpServer>

#include <functional>
#include <type_traits>

// Serves XML-RPC calls over HTTP to registered methods, one request per
// connection, optionally only to peers from an allowed-address list.
class QTMAIAXMLRPC_EXPORT MaiaXmlRpcServer : public QObject
{
    Q_OBJECT
public:
    // Called in the server's thread with the call's parameters. Its result is
    // the answer; a MaiaFault inside it answers a fault, a null QVariant no value.
    using Method = std::function<QVariant(const QVariantList &params)>;

    explicit MaiaXmlRpcServer(QObject *parent = nullptr);

    bool listen(const QHostAddress &address = QHostAddress::Any, quint16 port = 0);
    QString errorString() const;
    QHostAddress serverAddress() const;
    quint16 serverPort() const;

    void registerMethod(const QString &name, Method method);
    // Checks the parameters' count and types (exactly the member's, with
    // references and const dropped) before calling; a receiver destroyed
    // meanwhile reads as no method.
    template<class Receiver, class Object, class Result, class... Args>
    void registerMethod(const QString &name, Receiver *receiver, Result (Object::*member)(Args...))
    {
        static_assert(std::is_base_of<Object, Receiver>::value, "the member must be one of the receiver's");
        registerMethod(name, MaiaXmlRpcPrivate::bind(receiver, member));
    }
    void unregisterMethod(const QString &name);

    // Peers from other addresses are turned away; an empty list admits everyone.
    void setAllowedAddresses(const QList<QHostAddress> &addresses);
    QList<QHostAddress> allowedAddresses() const;

    // Both apply to connections accepted afterwards; zero or less lifts the limit.
    // A connection that receives and sends nothing for this long is closed.
    void setIdleTimeout(int msecs);
    int idleTimeout() const;
    // Connections accepted beyond this many open ones are closed at once.
    void setMaxConnections(int count);
    int maxConnections() const;

private:
    void acceptConnections();

    QTcpServer listener;
    QHash<QString, Method> methods;
    QList<QHostAddress> allowed;
    int idleTimeoutMsecs = 30 * 1000;
    // Well below the usual limit of 1024 descriptors a process may hold, so
    // held connections cannot starve the rest of the host application.
    int connectionLimit = 256;
    int openConnections = 0;
};

#endif
