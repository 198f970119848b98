#ifndef MAIACALL_H
#define MAIACALL_H

#include "maiaFault.h"
#include "qtmaiaxmlrpc_export.h"

#include <QNetworkReply>
#include <QObject>
#include <QPointer>
#include <QVariant>

// One remote call, in the manner of QNetworkReply: finished() comes once,
// from the event loop, and then either result() or fault() holds the
// outcome. Whoever holds the call deletes it, with deleteLater() from a slot
// connected to finished(); deleting it before then cancels the call, and
// deleting the client deletes every call it still owns.
class QTMAIAXMLRPC_EXPORT MaiaCall : public QObject
{
    Q_OBJECT
public:
    ~MaiaCall() override;

    QString method() const;
    bool isFinished() const;
    // Valid once finished: the server's fault, or the client's own for a
    // failed exchange (-32300) or an unreadable response (-32700, -32600).
    bool isFault() const;
    QVariant result() const;
    MaiaFault fault() const;

    // What the exchange itself did, for callers that decide what may be
    // tried again: whether the whole request left (the server may have
    // acted on it), the network layer's error (TimeoutError when no byte
    // moved for the time-out) and the HTTP status, 0 without one.
    bool requestSent() const;
    QNetworkReply::NetworkError networkError() const;
    int httpStatus() const;

public slots:
    // Ends the call as the fault -32300; finished() still follows.
    void abort();

signals:
    void finished();

private:
    friend class MaiaXmlRpcClient;
    MaiaCall(const QString &method, QNetworkReply *reply, QObject *parent);
    void replyFinished();
    void readProgress(qint64 received, qint64 total);
    QString transportFailure() const;

    QString methodName;
    QPointer<QNetworkReply> reply; // freed once read
    QVariant value;
    MaiaFault failure;
    QStringList tlsErrors;
    QNetworkReply::NetworkError error = QNetworkReply::NoError;
    int status = 0;
    bool sent = false;
    bool abortedByHolder = false;
    bool done = false;
    bool faulted = false;
    bool oversized = false;
};

#endif
