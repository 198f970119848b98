#include "maiaXmlRpcClient.h"

#include "documentwriter.h"
#include "maiaCall.h"
#include "onceonlybody.h"

MaiaXmlRpcClient::MaiaXmlRpcClient(const QUrl &url, QObject *parent)
    : QObject(parent)
{
    request.setRawHeader("User-Agent", "MaiaXmlRpc/0.2");
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("text/xml"));
    // The body is handed over once, never kept for a second attempt.
    request.setAttribute(QNetworkRequest::DoNotBufferUploadDataAttribute, true);
    setUrl(url);
}

QUrl MaiaXmlRpcClient::url() const
{
    return request.url();
}

void MaiaXmlRpcClient::setUrl(const QUrl &url)
{
    if (url.isValid())
        request.setUrl(url);
}

void MaiaXmlRpcClient::setUserAgent(const QString &userAgent)
{
    request.setRawHeader("User-Agent", userAgent.toLatin1());
}

void MaiaXmlRpcClient::setRawHeader(const QByteArray &name, const QByteArray &value)
{
    request.setRawHeader(name, value);
}

void MaiaXmlRpcClient::setCredentials(const QString &user, const QString &password)
{
    request.setRawHeader("Authorization", "Basic " + (user + QLatin1Char(':') + password).toUtf8().toBase64());
}

QSslConfiguration MaiaXmlRpcClient::sslConfiguration() const
{
    return request.sslConfiguration();
}

void MaiaXmlRpcClient::setSslConfiguration(const QSslConfiguration &config)
{
    request.setSslConfiguration(config);
}

void MaiaXmlRpcClient::setTimeout(int msecs)
{
    timeoutMsecs = msecs;
}

int MaiaXmlRpcClient::timeout() const
{
    return timeoutMsecs;
}

MaiaCall *MaiaXmlRpcClient::call(const QString &method, const QVariantList &args)
{
    return call(method, args, timeoutMsecs);
}

MaiaCall *MaiaXmlRpcClient::call(const QString &method, const QVariantList &args, int timeoutMsecs)
{
    QNetworkRequest post = request;
    post.setTransferTimeout(qMax(0, timeoutMsecs));
    auto *body = new OnceOnlyBody(DocumentWriter::call(method, args));
    post.setHeader(QNetworkRequest::ContentLengthHeader, body->size());
    auto *call = new MaiaCall(method, accessManager.post(post, body), this);
    body->setParent(call);
    return call;
}
