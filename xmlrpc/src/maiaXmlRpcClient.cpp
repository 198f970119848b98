#include "maiaXmlRpcClient.h"

#include "documentguard.h"
#include "documentwriter.h"
#include "maiaFault.h"
#include "maiaObject.h"

#include <QDebug>
#include <QNetworkReply>

namespace {
// Marks a reply this client cut off for its size.
const char oversizedProperty[] = "maiaOversized";
}

MaiaXmlRpcClient::MaiaXmlRpcClient(QObject *parent)
    : QObject(parent)
{
    init();
}

MaiaXmlRpcClient::MaiaXmlRpcClient(QUrl url, QObject *parent)
    : QObject(parent)
    , request(url)
{
    init();
    setUrl(url);
}

MaiaXmlRpcClient::MaiaXmlRpcClient(QUrl url, QString userAgent, QObject *parent)
    : QObject(parent)
    , request(url)
{
    init();
    setUserAgent(userAgent);
    setUrl(url);
}

void MaiaXmlRpcClient::init()
{
    request.setRawHeader("User-Agent", "MaiaXmlRpc/0.2");
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("text/xml"));
    // Queued: an outcome's receiver may delete this client, and the manager
    // with it, which must not happen inside the manager's own emission.
    connect(&accessManager, SIGNAL(finished(QNetworkReply *)), this, SLOT(replyFinished(QNetworkReply *)),
            Qt::QueuedConnection);
    connect(&accessManager, SIGNAL(sslErrors(QNetworkReply *, const QList<QSslError> &)), this,
            SIGNAL(sslErrors(QNetworkReply *, const QList<QSslError> &)));
}

void MaiaXmlRpcClient::setUrl(QUrl url)
{
    if (url.isValid())
        request.setUrl(url);
}

void MaiaXmlRpcClient::setUserAgent(QString userAgent)
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

QNetworkReply *MaiaXmlRpcClient::call(QString method, QList<QVariant> args, QObject *responseObject,
                                      const char *responseSlot, QObject *faultObject,
                                      const char *faultSlot, QString tag)
{
    auto *call = new MaiaObject(this);
    call->setProperty("name", tag);
    connect(call, SIGNAL(aresponse(QVariant &, QNetworkReply *)), responseObject, responseSlot);
    connect(call, SIGNAL(fault(int, const QString &, QNetworkReply *)), faultObject, faultSlot);
    QNetworkReply *reply = accessManager.post(request, DocumentWriter::call(method, args));
    pendingCalls.insert(reply, call);
    // Stop reading a body no document may have; the announced size is enough.
    connect(reply, SIGNAL(downloadProgress(qint64, qint64)), this, SLOT(refuseOversizedReply(qint64, qint64)));
    return reply;
}

void MaiaXmlRpcClient::replyFinished(QNetworkReply *reply)
{
    if (!pendingCalls.contains(reply))
        return;
    // Settle our own bookkeeping first: the receiver may destroy this client.
    MaiaObject *call = pendingCalls.take(reply);
    reply->deleteLater();

    QByteArray body;
    if (reply->property(oversizedProperty).toBool()) {
        body = DocumentWriter::fault(-32300, QStringLiteral("response refused: body larger than %1 bytes")
                                                 .arg(DocumentGuard::maxDocumentBytes));
    } else if (reply->error() != QNetworkReply::NoError) {
        body = DocumentWriter::fault(-32300, reply->errorString());
    } else {
        body = reply->readAll();
    }
    // Moved, so that the call object may free the bytes once they are read.
    call->parseResponse(std::move(body), reply);
}

void MaiaXmlRpcClient::refuseOversizedReply(qint64 received, qint64 total)
{
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    if (!reply || qMax(received, total) <= DocumentGuard::maxDocumentBytes || reply->property(oversizedProperty).toBool())
        return;
    qWarning() << "Aborting a response of more than" << DocumentGuard::maxDocumentBytes << "bytes";
    reply->setProperty(oversizedProperty, true);
    reply->abort();
}
