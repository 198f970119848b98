#ifndef MAIAXMLRPCSERVERCONNECTION_H
#define MAIAXMLRPCSERVERCONNECTION_H

#include "maiaXmlRpcServer.h"

#include <QBasicTimer>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTcpSocket>

#include <memory>

class MethodTable;
class QHttpRequestHeader;

// One accepted connection: reads one HTTP POST, has the server's method
// table answer it, writes the answer and closes.
class MaiaXmlRpcServerConnection : public QObject
{
    Q_OBJECT
public:
    MaiaXmlRpcServerConnection(QTcpSocket *connection, std::shared_ptr<MethodTable> methods, QObject *parent = nullptr);
    ~MaiaXmlRpcServerConnection() override;

    // Closes the connection once nothing moved either way for this long; zero or less: never.
    void setIdleTimeout(int msecs);

protected:
    void timerEvent(QTimerEvent *event) override;

private:
    void readFromSocket();
    void restartIdleTimer();
    void reject(const char *reason);
    void close(); // at once: nothing more is read or written
    void handleCall(QByteArray call);
    void writeResponse(const QByteArray &content);

    // Guarded: the listener owns the socket and may delete it first.
    QPointer<QTcpSocket> clientConnection;
    std::shared_ptr<MethodTable> methods;
    QString headerString;
    std::unique_ptr<QHttpRequestHeader> header;
    QBasicTimer idleTimer;
    int idleTimeout = 0;
};

#endif
