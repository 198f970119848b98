#include "servicecaller.h"

#include "maiaCall.h"
#include "maiaXmlRpcClient.h"

#include <QSslConfiguration>
#include <QUrl>

ServiceCaller::ServiceCaller(Session *session, QObject *parent)
    : QObject(parent)
    , session(session)
    , rpc(new MaiaXmlRpcClient(QUrl(QStringLiteral("http://api.vendalux.example/import-images"), QUrl::TolerantMode),
                               this))
{
    QSslConfiguration ssl = rpc->sslConfiguration();
    ssl.setProtocol(QSsl::AnyProtocol);
    rpc->setSslConfiguration(ssl);
    rpc->setUserAgent(QStringLiteral("Corvane"));
}

void ServiceCaller::call(const QString &method, const QVariantList &params, OnAnswer onAnswer, OnFault onFault)
{
    send(method, QVariantList{session->token()} + params, true, {}, std::move(onAnswer), std::move(onFault));
}

void ServiceCaller::callSignInStep(const QString &method, StepFailed failed, OnAnswer onAnswer, OnFault onFault)
{
    send(method, {session->token()}, true, std::move(failed), std::move(onAnswer), std::move(onFault));
}

void ServiceCaller::callWithoutToken(const QString &method, const QVariantList &params, OnAnswer onAnswer,
                                     OnFault onFault)
{
    send(method, params, false, {}, std::move(onAnswer), std::move(onFault));
}

void ServiceCaller::send(const QString &method, const QVariantList &args, bool carriesToken, StepFailed failed,
                         OnAnswer onAnswer, OnFault onFault)
{
    MaiaCall *call = rpc->call(method, args);
    connect(call, &MaiaCall::finished, this, [=] {
        call->deleteLater();
        if (call->isFault()) {
            if (carriesToken)
                session->callEnded(Session::CallEnd::Fault);
            return onFault(call->fault());
        }
        const ServiceAnswer answer(call->result());
        // Before the operation goes on: its next call, or the page's, carries the new token.
        if (carriesToken)
            session->callEnded(failed && failed(answer) ? Session::CallEnd::FailedSignInStep : Session::CallEnd::Reply);
        onAnswer(answer);
    });
}
