#include "maiaXmlRpcClient.h"

#include "documentwriter.h"
#include "maiaCall.h"

MaiaXmlRpcClient::MaiaXmlRpcClient(const QUrl &url, QObject *parent)
    : QObject(parent)
{
    request.setRawHeader("User-Agent", "MaiaXmlRpc/0.2");
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("text/xml"));
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

QSslConfiguration MaiaXmlRpcClient::sslConfiguration() const
{
    return request.sslConfiguration();
}

void MaiaXmlRpcClient::setSslConfiguration(const QSslConfiguration &config)
{
    request.setSslConfiguration(config);
}

MaiaCall *MaiaXmlRpcClient::call(const QString &method, const QVariantList &args)
{
    return new MaiaCall(method, accessManager.post(request, DocumentWriter::call(method, args)), this);
}
