#include "maiaCall.h"

#include "documentguard.h"
#include "documentreader.h"

#include <QDebug>
#include <QNetworkReply>
#include <QPointer>

MaiaCall::MaiaCall(const QString &method, QNetworkReply *reply, QObject *parent)
    : QObject(parent)
    , methodName(method)
    , reply(reply)
{
    reply->setParent(this); // deleting the call cancels the exchange
    // Queued: a holder may delete the call, the client and its manager in
    // its slot, which must not happen inside the reply's own emission.
    connect(reply, &QNetworkReply::finished, this, &MaiaCall::replyFinished, Qt::QueuedConnection);
    // Stop reading a body no document may have; the announced size is enough.
    connect(reply, &QNetworkReply::downloadProgress, this, &MaiaCall::readProgress);
}

MaiaCall::~MaiaCall() = default;

QString MaiaCall::method() const
{
    return methodName;
}

bool MaiaCall::isFinished() const
{
    return done;
}

bool MaiaCall::isFault() const
{
    return faulted;
}

QVariant MaiaCall::result() const
{
    return value;
}

MaiaFault MaiaCall::fault() const
{
    return failure;
}

void MaiaCall::abort()
{
    if (!done)
        reply->abort();
}

void MaiaCall::readProgress(qint64 received, qint64 total)
{
    if (oversized || qMax(received, total) <= DocumentGuard::maxDocumentBytes)
        return;
    qWarning() << "Aborting a response of more than" << DocumentGuard::maxDocumentBytes << "bytes";
    oversized = true;
    reply->abort();
}

void MaiaCall::replyFinished()
{
    if (done)
        return;
    done = true;
    if (oversized) {
        faulted = true;
        failure = MaiaFault(-32300, QStringLiteral("response refused: body larger than %1 bytes")
                                        .arg(DocumentGuard::maxDocumentBytes));
    } else if (reply->error() != QNetworkReply::NoError) {
        faulted = true;
        failure = MaiaFault(-32300, reply->errorString());
    } else {
        DocumentReader::Response response = DocumentReader::readResponse(reply->readAll());
        faulted = response.outcome != DocumentReader::Read || response.isFault;
        if (faulted)
            failure = response.fault();
        else
            value = std::move(response.result);
    }
    reply->deleteLater(); // its bytes are read; the call keeps only the outcome
    emit finished();
}
