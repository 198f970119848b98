#ifndef MAIAXMLRPCCLIENT_H
#define MAIAXMLRPCCLIENT_H

#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QObject>
#include <QSslConfiguration>
#include <QUrl>
#include <QVariant>

class MaiaCall;

// Posts XML-RPC calls to one endpoint over HTTP; each call is an object of
// its own that says when it has finished and how.
class MaiaXmlRpcClient : public QObject
{
    Q_OBJECT
public:
    explicit MaiaXmlRpcClient(const QUrl &url, QObject *parent = nullptr);

    QUrl url() const;
    void setUrl(const QUrl &url);
    void setUserAgent(const QString &userAgent);
    QSslConfiguration sslConfiguration() const;
    void setSslConfiguration(const QSslConfiguration &config);

    // The call belongs to this client until its holder deletes it.
    MaiaCall *call(const QString &method, const QVariantList &args);

private:
    QNetworkAccessManager accessManager;
    QNetworkRequest request;
};

#endif
