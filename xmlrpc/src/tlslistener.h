#ifndef TLSLISTENER_H
#define TLSLISTENER_H

#include <QSslConfiguration>
#include <QTcpServer>

// Accepts TCP connections, or TLS ones once given a configuration with a
// certificate and key: each then starts its server handshake at once.
class TlsListener : public QTcpServer
{
    Q_OBJECT
public:
    using QTcpServer::QTcpServer;

    void setSslConfiguration(const QSslConfiguration &configuration);
    QSslConfiguration sslConfiguration() const;

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    QSslConfiguration tls;
    bool encrypted = false;
};

#endif
