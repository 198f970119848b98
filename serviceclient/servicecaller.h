#ifndef SERVICECALLER_H
#define SERVICECALLER_H

#include "serviceanswer.h"
#include "session.h"

#include <QObject>
#include <QVariantList>

#include <functional>

class MaiaFault;
class MaiaXmlRpcClient;

// The one path of every remote call to the import service: sends the
// session token ahead of an operation's parameters, moves the token on as
// the session's rule says, and hands the operation the answer or the fault.
class ServiceCaller : public QObject
{
    Q_OBJECT
public:
    using OnAnswer = std::function<void(const ServiceAnswer &)>;
    using OnFault = std::function<void(const MaiaFault &)>;
    // For a sign-in step: whether the answer ends the sign-in.
    using StepFailed = std::function<bool(const ServiceAnswer &)>;

    ServiceCaller(Session *session, QObject *parent);

    void call(const QString &method, const QVariantList &params, OnAnswer onAnswer, OnFault onFault);
    void callSignInStep(const QString &method, StepFailed failed, OnAnswer onAnswer, OnFault onFault);
    // getHash: the session has no token yet.
    void callWithoutToken(const QString &method, const QVariantList &params, OnAnswer onAnswer, OnFault onFault);

private:
    void send(const QString &method, const QVariantList &args, bool carriesToken, StepFailed failed, OnAnswer onAnswer,
              OnFault onFault);

    Session *session;
    MaiaXmlRpcClient *rpc;
};

#endif
