#include "releases.h"

#include "pagecallbacks.h"
#include "photopreparation.h"
#include "servicecaller.h"

#include <QFile>

Releases::Releases(ServiceCaller *caller, PageCallbacks *page, QObject *parent)
    : QObject(parent)
    , caller(caller)
    , page(page)
{
}

void Releases::upload(const QString &file, const QString &type, const QString &name, const QString &description,
                      const QString &date, const QString &success, const QString &error)
{
    QFile source(file);
    source.open(QIODevice::ReadOnly);
    const QVariantMap record{{QStringLiteral("data"), QString::fromLatin1(source.readAll().toBase64())},
                             {QStringLiteral("ext"), PhotoPreparation::extensionOf(file)}};
    source.close();
    send(QStringLiteral("addRelease"), {record, type, name, description, date}, success, error, true);
}

void Releases::check(const QString &releases, const QString &success, const QString &error)
{
    send(QStringLiteral("checkReleases"), {releases}, success, error, false);
}

void Releases::attach(const QString &photoId, const QString &releases, const QString &success, const QString &error)
{
    send(QStringLiteral("attachReleases"), {photoId, releases}, success, error, true);
}

void Releases::send(const QString &method, const QVariantList &params, const QString &success, const QString &error,
                    bool once)
{
    ServiceCaller::Retry retry;
    retry.once = once;
    retry.uncertain = [this, error] { page->appError(error, AppError::ReplyLost); };
    caller->call(
        method, params,
        [this, success, error](const ServiceAnswer &answer) {
            if (!answer.succeeded())
                return void(page->serviceError(error, answer));
            QVariantMap first;
            if (answer.firstOutput(&first) && first.contains(QStringLiteral("response")))
                page->callWithText(success, first.value(QStringLiteral("response")).toString());
            else
                page->call(success);
        },
        page->faultTo(error), retry);
}
