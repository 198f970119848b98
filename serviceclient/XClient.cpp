#include "XClient.h"

#include "earnings.h"
#include "pagecallbacks.h"
#include "photouploads.h"
#include "releases.h"
#include "servicecaller.h"
#include "signin.h"

XClient::XClient(QWebFrame *frame, QObject *parent)
    : QObject(parent)
    , page(new PageCallbacks(frame, this))
    , caller(new ServiceCaller(&state, this))
    , signIn(new SignIn(&state, caller, page, this))
    , photos(new PhotoUploads(&state, caller, page, this))
    , releases(new Releases(caller, page, this))
    , earnings(new Earnings(caller, page, this))
{
}

void XClient::setRetryDelays(const QList<int> &msecs)
{
    caller->setRetryDelays(msecs);
}

void XClient::setCallTimeout(int msecs)
{
    caller->setTimeout(msecs);
}

void XClient::setCredentials(const QString &clientId, const QString &clientKey, const QString &password)
{
    state.setCredentials(clientId, clientKey, password);
}

const UploadRestrictions &XClient::restrictions() const
{
    return signIn->restrictions();
}

void XClient::login(QString &success_callback, QString &error_callback)
{
    signIn->start(success_callback, error_callback);
}

// The photo is checked against the restrictions known when the page asked.
void XClient::uploadImage(QString &file, QVariant &meta, QString &success_callback, QString &error_callback,
                          QString &process_callback)
{
    photos->add({file, signIn->restrictions(), meta.toMap(), success_callback, error_callback, process_callback});
}

void XClient::uploadRelease(QString &file, QString type, QString name, QString description, QString date,
                            QString &success_callback, QString &error_callback, QString &process_callback)
{
    Q_UNUSED(process_callback) // release uploads report no progress
    releases->upload(file, type, name, description, date, success_callback, error_callback);
}

void XClient::checkReleases(QString &releases, QString &success_callback, QString &error_callback)
{
    this->releases->check(releases, success_callback, error_callback);
}

void XClient::attachReleases(QString &id_photo, QString &releases, QString &success_callback, QString &error_callback)
{
    this->releases->attach(id_photo, releases, success_callback, error_callback);
}

void XClient::getEarnings(QString date_from, QString date_to, QString func_pointer_success, QString func_pointer_error)
{
    earnings->fetch(date_from, date_to, func_pointer_success, func_pointer_error);
}
