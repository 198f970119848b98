#include "signin.h"

#include "pagecallbacks.h"
#include "servicecaller.h"

SignIn::SignIn(Session *session, ServiceCaller *caller, PageCallbacks *page, QObject *parent)
    : QObject(parent)
    , session(session)
    , caller(caller)
    , page(page)
{
}

void SignIn::start(const QString &success, const QString &error)
{
    caller->callWithoutToken(
        QStringLiteral("getHash"), {session->clientId()},
        [=](const ServiceAnswer &answer) {
            QVariantMap first;
            if (!answer.firstOutput(&first))
                return void(page->call(error)); // nothing to sign in with
            session->open(first.value(QStringLiteral("sessionId")).toString());
            login(success, error);
        },
        page->faultTo(error));
}

void SignIn::login(const QString &success, const QString &error)
{
    const auto refused = [](const ServiceAnswer &answer) { return !answer.succeeded(); };
    caller->callSignInStep(
        QStringLiteral("login"), refused,
        [=](const ServiceAnswer &answer) {
            if (refused(answer))
                return void(page->call(error));
            fetchRestrictions(success, error);
        },
        page->faultTo(error));
}

void SignIn::fetchRestrictions(const QString &success, const QString &error)
{
    const auto missing = [](const ServiceAnswer &answer) { return !answer.firstOutput(nullptr); };
    caller->callSignInStep(
        QStringLiteral("getRestrictions"), missing,
        [=](const ServiceAnswer &answer) {
            QVariantMap record;
            if (!answer.firstOutput(&record))
                return void(page->call(error));
            limits = UploadRestrictions::fromRecord(record);
            page->call(success);
        },
        page->faultTo(error));
}
