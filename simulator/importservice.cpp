#include "importservice.h"

#include "maiaXmlRpcServer.h"
#include "servicereply.h"

#include <QHostAddress>

const QString ImportService::demoClientId = QStringLiteral("demo");
const QString ImportService::demoClientKey = QStringLiteral("demo-key");
const QString ImportService::demoPassword = QStringLiteral("demo-password");

ImportService::ImportService(QObject *parent)
    : QObject(parent)
    , log(new CallLog(this))
    , gate(new FaultGate(log, this))
{
    connect(log, &CallLog::recorded, this, &ImportService::callRecorded);
    addAccount(demoClientId, demoClientKey, demoPassword);
}

bool ImportService::listen(quint16 port)
{
    auto *backend = new MaiaXmlRpcServer(this);
    if (!backend->listen(QHostAddress::LocalHost)) {
        qWarning().noquote() << "vendalux-sim: the backend cannot listen:" << backend->errorString();
        delete backend;
        return false;
    }
    backend->registerMethod(QStringLiteral("getHash"), this, &ImportService::getHash);
    backend->registerMethod(QStringLiteral("login"), this, &ImportService::login);
    backend->registerMethod(QStringLiteral("getRestrictions"), this, &ImportService::getRestrictions);
    backend->registerMethod(QStringLiteral("getEarnings"), this, &ImportService::getEarnings);
    backend->registerMethod(QStringLiteral("addPhoto"), this, &ImportService::addPhoto);
    backend->registerMethod(QStringLiteral("addRelease"), this, &ImportService::addRelease);
    backend->registerMethod(QStringLiteral("checkReleases"), this, &ImportService::checkReleases);
    backend->registerMethod(QStringLiteral("attachReleases"), this, &ImportService::attachReleases);
    backend->registerMethod(QStringLiteral("sim.injectFault"), this, &ImportService::simInjectFault);
    backend->registerMethod(QStringLiteral("sim.setRestrictions"), this, &ImportService::simSetRestrictions);
    backend->registerMethod(QStringLiteral("sim.callLog"), this, &ImportService::simCallLog);
    backend->registerMethod(QStringLiteral("sim.storedPhotos"), this, &ImportService::simStoredPhotos);
    backend->registerMethod(QStringLiteral("sim.setEarningsRecord"), this, &ImportService::simSetEarningsRecord);
    gate->setBackendPort(backend->serverPort());
    return gate->listen(QHostAddress::LocalHost, port);
}

ImportService::Admission ImportService::admit(const QString &method, const QVariantList &params)
{
    // At login a token off the chain means a wrong key or password: its renewal proves both.
    const bool signingIn = method == QLatin1String("login");
    Call call{method, params, params.value(0).toString(), false, QString()};
    Admission admission;
    switch (sessions.admit(call.token, signingIn)) {
    case SessionBook::Verdict::Accepted:
        call.accepted = true;
        break;
    case SessionBook::Verdict::OffChain:
        call.note = signingIn ? QStringLiteral("wrong client key or password")
                              : QStringLiteral("session token not on the chain");
        admission.refusal = signingIn
            ? serviceReply(403, QStringLiteral("Wrong client key or password"))
            : serviceReply(401, QStringLiteral("Session token is not valid, please sign in again"));
        break;
    case SessionBook::Verdict::NotSignedIn:
        call.note = QStringLiteral("not signed in");
        admission.refusal = serviceReply(401, QStringLiteral("Not signed in"));
        break;
    }
    log->record(call);
    return admission;
}

QVariantMap ImportService::getHash(const QString &clientId)
{
    const QString token = sessions.open(clientId);
    const bool known = !token.isEmpty();
    log->record({QStringLiteral("getHash"), {clientId}, token, known,
                 known ? QString() : QStringLiteral("unknown client id")});
    if (!known)
        return serviceReply(404, QStringLiteral("Unknown client id"));
    return serviceReply(200, QStringLiteral("OK"), {QVariantMap{{"sessionId", token}}});
}

QVariantMap ImportService::login(const QString &token)
{
    const Admission admitted = admit(QStringLiteral("login"), {token});
    if (!admitted)
        return admitted.refusal;
    return serviceReply(200, QStringLiteral("Signed in"));
}

QVariantMap ImportService::getRestrictions(const QString &token)
{
    const Admission admitted = admit(QStringLiteral("getRestrictions"), {token});
    if (!admitted)
        return admitted.refusal;
    return serviceReply(200, QStringLiteral("OK"), {uploads.restrictions()});
}

QVariantMap ImportService::getEarnings(const QString &token, const QString &dateFrom, const QString &dateTo)
{
    const Admission admitted = admit(QStringLiteral("getEarnings"), {token, dateFrom, dateTo});
    if (!admitted)
        return admitted.refusal;
    return earnings.reply(dateFrom, dateTo);
}

QVariantMap ImportService::addPhoto(const QString &token, const QVariantMap &record)
{
    const Admission admitted = admit(QStringLiteral("addPhoto"), {token, record});
    if (!admitted)
        return admitted.refusal;
    const int stored = uploads.photos().size();
    const QVariantMap reply = uploads.addPhotoStage(record);
    const QList<Photo> photos = uploads.photos();
    if (photos.size() > stored)
        emit photoStored(photos.constLast().id, photos.constLast().metadata);
    return reply;
}

QVariantMap ImportService::addRelease(const QString &token, const QVariantMap &record, const QString &type,
                                      const QString &name, const QString &description, const QString &date)
{
    const Admission admitted = admit(QStringLiteral("addRelease"), {token, record, type, name, description, date});
    if (!admitted)
        return admitted.refusal;
    return uploads.addRelease(record, type, name, description, date);
}

QVariantMap ImportService::checkReleases(const QString &token, const QString &releases)
{
    const Admission admitted = admit(QStringLiteral("checkReleases"), {token, releases});
    if (!admitted)
        return admitted.refusal;
    return uploads.checkReleases(releases);
}

QVariantMap ImportService::attachReleases(const QString &token, const QString &photoId, const QString &releases)
{
    const Admission admitted = admit(QStringLiteral("attachReleases"), {token, photoId, releases});
    if (!admitted)
        return admitted.refusal;
    return uploads.attachReleases(photoId, releases);
}

QVariantMap ImportService::simInjectFault(const QString &method, const QString &kind, int count,
                                          int code, const QString &text, int after)
{
    if (kind == QLatin1String("strict")) { // a mode of the service, not of one call: count 0 ends it
        setStrictTokens(count > 0);
        return serviceReply(200, QStringLiteral("OK"));
    }
    const std::optional<FaultGate::FaultKind> faultKind = FaultGate::faultKindFromName(kind);
    if (!faultKind)
        return serviceReply(400, QStringLiteral("Unknown fault kind: ") + kind);
    gate->injectFault(method, FaultGate::InjectedFault(*faultKind, code, text, {}, qMax(0, after)),
                      qBound(0, count, 1000));
    return serviceReply(200, QStringLiteral("OK"));
}

QVariantMap ImportService::simSetRestrictions(const QVariantMap &restrictions)
{
    setRestrictions(restrictions);
    return serviceReply(200, QStringLiteral("OK"));
}

QVariantList ImportService::simCallLog()
{
    return log->toVariantList();
}

QVariantList ImportService::simStoredPhotos()
{
    QVariantList photos;
    for (const Photo &photo : uploads.photos())
        photos << QVariantMap{{QStringLiteral("id"), photo.id}, {QStringLiteral("title"), photo.title}};
    return photos;
}

QVariantMap ImportService::simSetEarningsRecord(const QVariantMap &record)
{
    setEarningsRecord(record);
    return serviceReply(200, QStringLiteral("OK"));
}
