#ifndef SIGNIN_H
#define SIGNIN_H

#include "uploadrestrictions.h"

#include <QObject>

class PageCallbacks;
class ServiceCaller;
class Session;

// Signs in: getHash opens a session, login proves the key and password with
// the token's renewal, getRestrictions brings the limits on photos.
class SignIn : public QObject
{
    Q_OBJECT
public:
    SignIn(Session *session, ServiceCaller *caller, PageCallbacks *page, QObject *parent);

    // Calls `error` without argument when the service refuses a step.
    void start(const QString &success, const QString &error);
    // The last ones announced; the defaults before.
    const UploadRestrictions &restrictions() const { return limits; }

private:
    void login(const QString &success, const QString &error);
    void fetchRestrictions(const QString &success, const QString &error);

    Session *session;
    ServiceCaller *caller;
    PageCallbacks *page;
    UploadRestrictions limits;
};

#endif
