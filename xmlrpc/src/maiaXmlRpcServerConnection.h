#ifndef MAIAXMLRPCSERVERCONNECTION_H
#define MAIAXMLRPCSERVERCONNECTION_H

#include <QBasicTimer>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTcpSocket>
#include <QVariant>

#include <memory>

class QHttpRequestHeader;

// One accepted connection: reads one HTTP POST, invokes the method the
// server names for it, writes the answer and closes.
class MaiaXmlRpcServerConnection : public QObject
{
    Q_OBJECT
public:
    MaiaXmlRpcServerConnection(QTcpSocket *connection, QObject *parent = nullptr);
    ~MaiaXmlRpcServerConnection() override;

    // Closes the connection once nothing moved either way for this long; zero or less: never.
    void setIdleTimeout(int msecs);

signals:
    void getMethod(QString method, QObject **responseObject, const char **responseSlot);

protected:
    void timerEvent(QTimerEvent *event) override;

private slots:
    void readFromSocket();
    void restartIdleTimer();

private:
    void reject(const char *reason);
    void close(); // at once: nothing more is read or written
    void handleCall(QByteArray call);
    void writeFault(int code, const QString &message);
    void writeResponse(const QByteArray &content);
    bool invokeWithVariants(QObject *object, const QByteArray &method, const QVariantList &args,
                            QVariant *result, Qt::ConnectionType type = Qt::AutoConnection);
    QByteArray findReturnType(const QMetaObject *meta, const QByteArray &method,
                              QList<QByteArray> argTypes);

    // Guarded: the listener owns the socket and may delete it first.
    QPointer<QTcpSocket> clientConnection;
    QString headerString;
    std::unique_ptr<QHttpRequestHeader> header;
    QBasicTimer idleTimer;
    int idleTimeout = 0;
};

#endif
