#ifndef MAIAXMLRPCSERVER_H
#define MAIAXMLRPCSERVER_H

#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QTcpServer>

// Serves XML-RPC calls over HTTP to registered receiver slots, one request
// per connection, optionally only to peers from an allowed-address list.
class MaiaXmlRpcServer : public QObject
{
    Q_OBJECT
public:
    MaiaXmlRpcServer(const QHostAddress &address, quint16 port, QObject *parent = nullptr);
    // An exact match for (QHostAddress::LocalHost, 0): otherwise the enum would
    // convert to a port and pick the next constructor, listening on port 2 everywhere.
    MaiaXmlRpcServer(QHostAddress::SpecialAddress address, quint16 port, QObject *parent = nullptr);
    explicit MaiaXmlRpcServer(quint16 port, QObject *parent = nullptr);
    // The list stays the caller's and must outlive the server.
    MaiaXmlRpcServer(const QHostAddress &address, quint16 port,
                     QList<QHostAddress> *allowedAddresses, QObject *parent = nullptr);

    // `responseSlot` is the bare slot name; its text must stay valid while registered.
    void registerMethod(QString method, QObject *responseObject, const char *responseSlot);
    void unregisterMethod(QString method);
    QHostAddress serverAddress();
    quint16 serverPort() const;

    // Both apply to connections accepted afterwards; zero or less lifts the limit.
    // A connection that receives and sends nothing for this long is closed.
    void setIdleTimeout(int msecs);
    int idleTimeout() const;
    // Connections accepted beyond this many open ones are closed at once.
    void setMaxConnections(int count);
    int maxConnections() const;

public slots:
    void getMethod(QString method, QObject **responseObject, const char **responseSlot);

private slots:
    void newConnection();

private:
    void listen(const QHostAddress &address, quint16 port);

    QTcpServer listener;
    // Guarded: a receiver destroyed without unregistering reads as no method.
    QHash<QString, QPointer<QObject>> objectMap;
    QHash<QString, const char *> slotMap;
    QList<QHostAddress> *allowedAddresses = nullptr;
    int idleTimeoutMsecs = 30 * 1000;
    // Well below the usual limit of 1024 descriptors a process may hold, so
    // held connections cannot starve the rest of the host application.
    int connectionLimit = 256;
    int openConnections = 0;
};

#endif
