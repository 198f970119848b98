#ifndef FAULTGATE_H
#define FAULTGATE_H

#include <QTcpServer>

class ImportService;
class QTcpSocket;

// The simulator's front door: reads each HTTP request whole, and either
// passes it to the XML-RPC server behind it or fails it the way the
// service was told to (a status, a fault, a dropped connection, an HTTP
// error, a broken document).
class FaultGate : public QTcpServer
{
    Q_OBJECT
public:
    FaultGate(ImportService *service, quint16 backendPort, QObject *parent = nullptr);

private slots:
    void acceptConnections();

private:
    void readRequest(QTcpSocket *client);
    void dispatch(QTcpSocket *client, const QByteArray &request, const QByteArray &body);
    void forward(QTcpSocket *client, const QByteArray &request);

    ImportService *service;
    quint16 backendPort;
};

#endif
