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
    connect(reply, &QNetworkReply::uploadProgress, this, [this](qint64 written, qint64 total) {
        sent = sent || (total > 0 && written == total);
    });
    // Not ignored: the call fails, and its fault says why the peer was not trusted.
    connect(reply, &QNetworkReply::sslErrors, this, [this](const QList<QSslError> &errors) {
        for (const QSslError &error : errors)
            tlsErrors << error.errorString();
    });
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

bool MaiaCall::requestSent() const
{
    return sent;
}

QNetworkReply::NetworkError MaiaCall::networkError() const
{
    return error;
}

int MaiaCall::httpStatus() const
{
    return status;
}

void MaiaCall::abort()
{
    if (!done) {
        abortedByHolder = true;
        reply->abort();
    }
}

void MaiaCall::readProgress(qint64 received, qint64 total)
{
    if (oversized || qMax(received, total) <= DocumentGuard::maxDocumentBytes)
        return;
    qWarning() << "Aborting a response of more than" << DocumentGuard::maxDocumentBytes << "bytes";
    oversized = true;
    reply->abort();
}

QString MaiaCall::transportFailure() const
{
    if (error == QNetworkReply::TimeoutError)
        return QStringLiteral("timed out: nothing moved for %1 s")
            .arg(reply->request().transferTimeout() / 1000.0);
    if (error == QNetworkReply::RemoteHostClosedError)
        return QStringLiteral("Connection closed");
    if (!tlsErrors.isEmpty())
        return reply->errorString() + QLatin1String(": ") + tlsErrors.join(QLatin1String("; "));
    return reply->errorString();
}

void MaiaCall::replyFinished()
{
    if (done)
        return;
    done = true;
    status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    error = reply->error();
    if (oversized)
        error = QNetworkReply::UnknownContentError;
    else if (error == QNetworkReply::OperationCanceledError && !abortedByHolder)
        error = QNetworkReply::TimeoutError; // how the network layer ends a transfer time-out
    else if (error == QNetworkReply::ContentReSendError)
        error = QNetworkReply::RemoteHostClosedError; // closed unanswered; the body cannot go again
    if (oversized) {
        faulted = true;
        failure = MaiaFault(-32300, QStringLiteral("response refused: body larger than %1 bytes")
                                        .arg(DocumentGuard::maxDocumentBytes));
    } else if (reply->error() != QNetworkReply::NoError) {
        faulted = true;
        failure = MaiaFault(-32300, transportFailure());
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
