#ifndef MAIAXMLRPCSERVERCONNECTION_H
#define MAIAXMLRPCSERVERCONNECTION_H

#include "maiaXmlRpcServer.h"

#include <QBasicTimer>
#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTcpSocket>

#include <memory>

class MethodTable;
class QHttpRequestHeader;

// One accepted connection: reads HTTP POSTs one after another, has the
// server's method table answer each and answers in order; closes when the
// peer asks, on an error status or on a limit.
class MaiaXmlRpcServerConnection : public QObject
{
    Q_OBJECT
public:
    MaiaXmlRpcServerConnection(QTcpSocket *connection, std::shared_ptr<MethodTable> methods, QObject *parent = nullptr);
    ~MaiaXmlRpcServerConnection() override;

    // Closes the connection once nothing moved either way for this long; zero or less: never.
    void setIdleTimeout(int msecs);
    // Closes it when a request has not come whole this long after the accept or its first byte.
    void setRequestTimeout(int msecs);
    // When bytes last moved either way, on the monotonic clock.
    qint64 lastActivity() const;
    // Makes room for another peer: closes at once, with a warning.
    void evict();

protected:
    void timerEvent(QTimerEvent *event) override;

private:
    void readFromSocket();
    bool checkHeader(); // false: answered with an error status and closing
    void restartIdleTimer();
    void refuse(int status, const QByteArray &reason, const QByteArray &extraField = QByteArray());
    void close(); // at once: nothing more is read or written
    void handleCall(QByteArray call);
    void writeResponse(const QByteArray &content);
    void writeAnswer(int status, const QByteArray &reason, const QByteArray &contentType, QByteArray body,
                     const QByteArray &extraField = QByteArray());

    // Guarded: the listener owns the socket and may delete it first.
    QPointer<QTcpSocket> clientConnection;
    std::shared_ptr<MethodTable> methods;
    QString headerString;
    std::unique_ptr<QHttpRequestHeader> header;
    bool answering = false; // a whole request is in hand: what follows waits for its answer
    bool closing = false;
    QBasicTimer idleTimer;
    QBasicTimer requestTimer;
    int idleTimeout = 0;
    int requestTimeout = 0;
    QElapsedTimer sinceActivity;
};

#endif
