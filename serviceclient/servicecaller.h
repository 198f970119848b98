#ifndef SERVICECALLER_H
#define SERVICECALLER_H

#include "serviceanswer.h"
#include "session.h"

#include <QList>
#include <QObject>
#include <QVariantList>

#include <functional>

class MaiaCall;
class MaiaFault;
class MaiaXmlRpcClient;

// The one path of every remote call to the import service: sends the
// session token ahead of an operation's parameters, moves the token on as
// the session's rule says, signs in again after a transport failure, tries
// again what is safe to repeat, and hands the operation the answer or the fault.
class ServiceCaller : public QObject
{
    Q_OBJECT
public:
    using OnAnswer = std::function<void(const ServiceAnswer &)>;
    using OnFault = std::function<void(const MaiaFault &)>;
    // For a sign-in step: whether the answer ends the sign-in.
    using StepFailed = std::function<bool(const ServiceAnswer &)>;

    // What may happen to a call whose exchange failed on the way.
    struct Retry
    {
        // Never sent again once it fully left (the service may have acted on it);
        // a lost reply then goes to `uncertain`.
        bool once = false;
        std::function<void()> uncertain;
        // What a retry sends, given its number; empty: the same call again.
        std::function<void(int attempt)> again;
        int attempt = 0; // retries made so far
    };

    ServiceCaller(Session *session, QObject *parent);

    // Delays before each retry, in ms; their count is the number of retries.
    void setRetryDelays(const QList<int> &msecs) { delays = msecs; }
    // A call in which no byte moves for this long fails as timed out.
    void setTimeout(int msecs);

    // Tried again on a transport failure, as any call that changes nothing twice.
    void call(const QString &method, const QVariantList &params, OnAnswer onAnswer, OnFault onFault);
    void call(const QString &method, const QVariantList &params, OnAnswer onAnswer, OnFault onFault, Retry retry);
    void callSignInStep(const QString &method, StepFailed failed, OnAnswer onAnswer, OnFault onFault);
    // getHash: the session has no token yet.
    void callWithoutToken(const QString &method, const QVariantList &params, OnAnswer onAnswer, OnFault onFault);

private:
    struct Request
    {
        QString method;
        QVariantList params; // after the token
        bool carriesToken;
        StepFailed failed;
        OnAnswer onAnswer;
        OnFault onFault;
        Retry retry;
    };

    void send(const Request &request);
    void finished(MaiaCall *call, const Request &request);
    bool retryLater(const Request &request, const MaiaCall *call);
    void resend(const Request &request, int attempt);
    // Signs in again with the credentials held, then sends the request.
    void healThen(const Request &request);

    Session *session;
    MaiaXmlRpcClient *rpc;
    QList<int> delays{1000, 2000, 4000, 8000, 16000};
};

#endif
