#ifndef XCLIENT_H
#define XCLIENT_H

#include "session.h"
#include "uploadrestrictions.h"

#include <QObject>
#include <QString>
#include <QVariant>

class Earnings;
class PageCallbacks;
class PhotoUploads;
class Releases;
class ServiceCaller;
class SignIn;
class QWebFrame;

// The client of the Vendalux import service behind the page's slots: owns
// the session, the one path of remote calls, the page's callbacks and one
// object per kind of operation, and passes each operation on to its object.
class XClient : public QObject
{
    Q_OBJECT
public:
    XClient(QWebFrame *frame, QObject *parent);

    // Delays before each retry of a call that failed on the way (their count is the number of retries),
    // and the time without a byte moving after which a call fails; both in ms.
    void setRetryDelays(const QList<int> &msecs);
    void setCallTimeout(int msecs);
    void setCredentials(const QString &clientId, const QString &clientKey, const QString &password);
    void login(QString &success_callback, QString &error_callback);
    void uploadImage(QString &file, QVariant &meta, QString &success_callback, QString &error_callback,
                     QString &process_callback);
    void uploadRelease(QString &file, QString type, QString name, QString description, QString date,
                       QString &success_callback, QString &error_callback, QString &process_callback);
    void checkReleases(QString &releases, QString &success_callback, QString &error_callback);
    void attachReleases(QString &id_photo, QString &releases, QString &success_callback, QString &error_callback);
    void getEarnings(QString date_from, QString date_to, QString func_pointer_success, QString func_pointer_error);

    const Session &session() const { return state; }
    const UploadRestrictions &restrictions() const;

private:
    Session state;
    PageCallbacks *page;
    ServiceCaller *caller;
    SignIn *signIn;
    PhotoUploads *photos;
    Releases *releases;
    Earnings *earnings;
};

#endif
