#ifndef MAIAXMLRPCSERVER_H
#define MAIAXMLRPCSERVER_H

#include "maiaRequest.h"
#include "maiaXmlRpcServer_p.h"
#include "qtmaiaxmlrpc_export.h"

#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QSslConfiguration>
#include <QStringList>

#include <functional>
#include <memory>
#include <type_traits>

class MaiaXmlRpcServerConnection;
class MethodTable;
class TlsListener;

// Serves XML-RPC calls over HTTP/1.1 (or HTTPS) to registered methods, on
// persistent connections, optionally only to peers from an allowed-address
// list. It answers system.listMethods, system.methodHelp,
// system.methodSignature and system.multicall itself.
class QTMAIAXMLRPC_EXPORT MaiaXmlRpcServer : public QObject
{
    Q_OBJECT
public:
    // Called in the server's thread with the call's parameters. Its result is
    // the answer; a MaiaFault inside it answers a fault, a null QVariant no value.
    using Method = std::function<QVariant(const QVariantList &params)>;
    // The same, told who called and with which header fields.
    using RequestMethod = std::function<QVariant(const QVariantList &params, const MaiaRequest &request)>;

    explicit MaiaXmlRpcServer(QObject *parent = nullptr);
    ~MaiaXmlRpcServer() override;

    bool listen(const QHostAddress &address = QHostAddress::Any, quint16 port = 0);
    QString errorString() const;
    QHostAddress serverAddress() const;
    quint16 serverPort() const;

    // The help and the signature (XML-RPC type names, the result's first) are
    // what introspection tells of the method; an empty signature is unknown.
    void registerMethod(const QString &name, Method method, const QString &help = QString(),
                        const QStringList &signature = QStringList());
    void registerMethod(const QString &name, RequestMethod method, const QString &help = QString(),
                        const QStringList &signature = QStringList());
    // Checks the parameters' count and types (exactly the member's, with
    // references and const dropped) before calling; a receiver destroyed
    // meanwhile reads as no method. The signature comes from those types.
    template<class Receiver, class Object, class Result, class... Args>
    void registerMethod(const QString &name, Receiver *receiver, Result (Object::*member)(Args...),
                        const QString &help = QString())
    {
        static_assert(std::is_base_of<Object, Receiver>::value, "the member must be one of the receiver's");
        registerMember(name, receiver, MaiaXmlRpcPrivate::typeIds<Result, Args...>(),
                       MaiaXmlRpcPrivate::bind(receiver, member), help);
    }
    void unregisterMethod(const QString &name);

    // Peers from other addresses are turned away; an empty list admits everyone.
    void setAllowedAddresses(const QList<QHostAddress> &addresses);
    QList<QHostAddress> allowedAddresses() const;

    // Given a local certificate and private key before listen, every connection speaks TLS.
    void setSslConfiguration(const QSslConfiguration &configuration);
    QSslConfiguration sslConfiguration() const;

    // These apply to connections accepted afterwards; zero or less lifts the limit.
    // A connection that receives and sends nothing for this long is closed.
    void setIdleTimeout(int msecs);
    int idleTimeout() const;
    // A connection must send a whole request within this long of its accept or its last answer.
    void setRequestTimeout(int msecs);
    int requestTimeout() const;
    // At this many open connections, the longest idle one is closed to admit the next.
    void setMaxConnections(int count);
    int maxConnections() const;

private:
    void registerMember(const QString &name, QObject *receiver, const QVector<int> &typeIds, Method method,
                        const QString &help);
    void acceptConnections();

    TlsListener *listener;
    // Shared with the connections: a method may destroy the server while a call holds the table.
    std::shared_ptr<MethodTable> methods;
    QList<QHostAddress> allowed;
    int idleTimeoutMsecs = 30 * 1000;
    int requestTimeoutMsecs = 5 * 1000;
    // Well below the usual limit of 1024 descriptors a process may hold, so
    // held connections cannot starve the rest of the host application.
    int connectionLimit = 256;
    QList<MaiaXmlRpcServerConnection *> open;
};

#endif
