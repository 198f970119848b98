#ifndef MAIAXMLRPCCLIENT_H
#define MAIAXMLRPCCLIENT_H

#include "qtmaiaxmlrpc_export.h"

#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QObject>
#include <QSslConfiguration>
#include <QUrl>
#include <QVariant>

class MaiaCall;

// Posts XML-RPC calls to one endpoint over HTTP; each call is an object of
// its own that says when it has finished and how. A call is sent once: a
// request whose connection closes unanswered fails instead of going again
// behind the caller's back, since the server may already have acted on it.
class QTMAIAXMLRPC_EXPORT MaiaXmlRpcClient : public QObject
{
    Q_OBJECT
public:
    explicit MaiaXmlRpcClient(const QUrl &url, QObject *parent = nullptr);

    QUrl url() const;
    void setUrl(const QUrl &url);
    void setUserAgent(const QString &userAgent);
    // Sent with every call, e.g. an API key; an empty value removes the field.
    void setRawHeader(const QByteArray &name, const QByteArray &value);
    // Basic credentials, sent with the first request rather than after a refusal.
    void setCredentials(const QString &user, const QString &password);
    QSslConfiguration sslConfiguration() const;
    void setSslConfiguration(const QSslConfiguration &config);

    // A call in which no byte moves either way for this long fails as a
    // transport fault that says it timed out; zero or less: never (the default).
    void setTimeout(int msecs);
    int timeout() const;

    // The call belongs to this client until its holder deletes it.
    MaiaCall *call(const QString &method, const QVariantList &args);
    // The same with a time-out of its own, as setTimeout() describes.
    MaiaCall *call(const QString &method, const QVariantList &args, int timeoutMsecs);

private:
    QNetworkAccessManager accessManager;
    QNetworkRequest request;
    int timeoutMsecs = 0;
};

#endif
