#include "servicecaller.h"

#include "maiaCall.h"
#include "maiaXmlRpcClient.h"

#include <QSslConfiguration>
#include <QTimer>
#include <QUrl>

namespace {

constexpr int defaultTimeoutMsecs = 30000;

// The exchange failed on the way (no answer, or a server-side HTTP error):
// the service may or may not have seen the call.
bool transportFailed(const MaiaCall *call)
{
    return call->fault().code() == -32300 && (call->httpStatus() == 0 || call->httpStatus() >= 500)
        && call->networkError() != QNetworkReply::SslHandshakeFailedError;
}

} // namespace

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
    rpc->setTimeout(defaultTimeoutMsecs);
}

void ServiceCaller::setTimeout(int msecs)
{
    rpc->setTimeout(msecs);
}

void ServiceCaller::call(const QString &method, const QVariantList &params, OnAnswer onAnswer, OnFault onFault)
{
    call(method, params, std::move(onAnswer), std::move(onFault), Retry());
}

void ServiceCaller::call(const QString &method, const QVariantList &params, OnAnswer onAnswer, OnFault onFault,
                         Retry retry)
{
    send({method, params, true, {}, std::move(onAnswer), std::move(onFault), std::move(retry)});
}

void ServiceCaller::callSignInStep(const QString &method, StepFailed failed, OnAnswer onAnswer, OnFault onFault)
{
    send({method, {}, true, std::move(failed), std::move(onAnswer), std::move(onFault), {}});
}

void ServiceCaller::callWithoutToken(const QString &method, const QVariantList &params, OnAnswer onAnswer,
                                     OnFault onFault)
{
    send({method, params, false, {}, std::move(onAnswer), std::move(onFault), {}});
}

void ServiceCaller::send(const Request &request)
{
    if (request.carriesToken && session->isStale())
        return healThen(request);
    MaiaCall *call = rpc->call(request.method,
                               request.carriesToken ? QVariantList{session->token()} + request.params : request.params);
    connect(call, &MaiaCall::finished, this, [this, call, request] { finished(call, request); });
}

void ServiceCaller::finished(MaiaCall *call, const Request &request)
{
    call->deleteLater();
    if (call->isFault()) {
        if (transportFailed(call)) {
            session->markStale();
            if (retryLater(request, call))
                return;
            if (request.retry.once && call->requestSent() && request.retry.uncertain)
                return request.retry.uncertain();
        } else if (request.carriesToken) {
            session->callEnded(Session::CallEnd::Fault);
        }
        return request.onFault(call->fault());
    }
    const ServiceAnswer answer(call->result());
    // Before the operation goes on: its next call, or the page's, carries the new token.
    if (request.carriesToken)
        session->callEnded(request.failed && request.failed(answer) ? Session::CallEnd::FailedSignInStep
                                                                    : Session::CallEnd::Reply);
    request.onAnswer(answer);
}

// Safe to repeat: the call changes nothing twice, or never fully left.
bool ServiceCaller::retryLater(const Request &request, const MaiaCall *call)
{
    const int attempt = request.retry.attempt;
    if ((request.retry.once && call->requestSent()) || attempt >= delays.size())
        return false;
    QTimer::singleShot(delays.at(attempt), this, [this, request, attempt] { resend(request, attempt + 1); });
    return true;
}

void ServiceCaller::resend(const Request &request, int attempt)
{
    if (request.retry.again)
        return request.retry.again(attempt);
    Request next = request;
    next.retry.attempt = attempt;
    send(next);
}

// Quietly, with the credentials held: the page's sign-in callbacks hear nothing.
// A failure on the way counts as one of the request's own attempts.
void ServiceCaller::healThen(const Request &request)
{
    Retry healing;
    healing.attempt = request.retry.attempt;
    healing.again = [this, request](int attempt) { resend(request, attempt); };
    const auto loggedIn = [this, request](const ServiceAnswer &answer) {
        if (!answer.succeeded())
            return request.onAnswer(answer);
        send(request);
    };
    const auto opened = [this, request, healing, loggedIn](const ServiceAnswer &answer) {
        QVariantMap first;
        if (!answer.firstOutput(&first))
            return request.onAnswer(answer);
        session->open(first.value(QStringLiteral("sessionId")).toString());
        const auto refused = [](const ServiceAnswer &answer) { return !answer.succeeded(); };
        send({QStringLiteral("login"), {}, true, refused, loggedIn, request.onFault, healing});
    };
    send({QStringLiteral("getHash"), {session->clientId()}, false, {}, opened, request.onFault, healing});
}
