#include "importservice.h"

#include "maiaXmlRpcServer.h"
#include "servicereply.h"

#include <QHostAddress>
#include <QImage>

namespace {

// XML-RPC method name to the slot that serves it.
const struct {
    const char *method;
    const char *slot;
} methodTable[] = {
    {"getHash", "getHash"},
    {"login", "login"},
    {"getRestrictions", "getRestrictions"},
    {"getEarnings", "getEarnings"},
    {"addPhoto", "addPhoto"},
    {"addRelease", "addRelease"},
    {"checkReleases", "checkReleases"},
    {"attachReleases", "attachReleases"},
    {"sim.injectFault", "simInjectFault"},
    {"sim.setRestrictions", "simSetRestrictions"},
    {"sim.callLog", "simCallLog"},
    {"sim.setEarningsRecord", "simSetEarningsRecord"},
};

} // namespace

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
    limits = QVariantMap{{"exts", "jpg,jpeg"}, {"max_mpx", 24}, {"min_mpx", 4}, {"min_w", 1024},
                         {"min_h", 1024},      {"max_r", 4},    {"q", 90}};
}

bool ImportService::listen(quint16 port)
{
    auto *backend = new MaiaXmlRpcServer(QHostAddress::LocalHost, 0, this);
    if (backend->serverPort() == 0)
        return false;
    for (const auto &entry : methodTable)
        backend->registerMethod(QString::fromLatin1(entry.method), this, entry.slot);
    gate->setBackendPort(backend->serverPort());
    return gate->listen(QHostAddress::LocalHost, port);
}

void ImportService::setRestrictions(const QVariantMap &restrictions)
{
    limits = restrictions;
}

QVariantMap ImportService::restrictions() const
{
    return limits;
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
    return serviceReply(200, QStringLiteral("OK"), {limits});
}

QVariantMap ImportService::simInjectFault(const QString &method, const QString &kind, int count,
                                          int code, const QString &text, int after)
{
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

void ImportService::setEarningsRecord(const QVariantMap &record)
{
    earningsRecord = record;
}

QVariantMap ImportService::generatedEarnings(const QDate &from, const QDate &to, const QDate &today)
{
    QStringList days;
    for (QDate day = from; day <= to; day = day.addDays(1)) {
        const qint64 n = day.toJulianDay();
        days << QStringLiteral("%1:%2:%3")
                    .arg(day.toString(Qt::ISODate))
                    .arg(QString::number(double(n % 7 + 1) * 1.25))
                    .arg(n % 5 + 1);
    }
    return QVariantMap{{"today", today.toString(Qt::ISODate)},
                       {"currency", "USD"},
                       {"value", 123.45},
                       {"rate", 0.35},
                       {"data", days.join(QLatin1Char('|'))}};
}

QVariantMap ImportService::getEarnings(const QString &token, const QString &dateFrom, const QString &dateTo)
{
    const Admission admitted = admit(QStringLiteral("getEarnings"), {token, dateFrom, dateTo});
    if (!admitted)
        return admitted.refusal;
    if (!earningsRecord.isEmpty())
        return serviceReply(200, QStringLiteral("OK"), {earningsRecord});
    const QDate from = QDate::fromString(dateFrom, Qt::ISODate);
    const QDate to = QDate::fromString(dateTo, Qt::ISODate);
    if (!from.isValid() || !to.isValid() || from > to || from.daysTo(to) > 366)
        return serviceReply(400, QStringLiteral("Dates must be yyyy-MM-dd, in order, at most a year apart"));
    return serviceReply(200, QStringLiteral("OK"), {generatedEarnings(from, to, QDate::currentDate())});
}

QVariantMap ImportService::simSetEarningsRecord(const QVariantMap &record)
{
    setEarningsRecord(record);
    return serviceReply(200, QStringLiteral("OK"));
}

QString ImportService::photoRefusal(const QByteArray &bytes) const
{
    if (!bytes.startsWith("\xff\xd8\xff"))
        return QStringLiteral("A .jpg upload must be a JPEG photo");
    const QImage image = QImage::fromData(bytes, "JPEG");
    if (image.isNull())
        return QStringLiteral("The JPEG photo cannot be decoded");
    auto limit = [this](const char *key, int fallback) {
        bool ok = false;
        const int value = limits.value(QLatin1String(key)).toInt(&ok);
        return ok ? value : fallback;
    };
    const int w = image.width();
    const int h = image.height();
    const double mpx = double(w) * h / 1000000.0;
    const double ratio = w > h ? double(w) / h : double(h) / w;
    if (mpx < limit("min_mpx", 4) || mpx > limit("max_mpx", 24) || w < limit("min_w", 1024)
        || h < limit("min_h", 1024) || ratio > limit("max_r", 4))
        return QStringLiteral("The photo (%1 x %2) is outside the announced limits").arg(w).arg(h);
    return QString();
}

QVariantMap ImportService::addPhoto(const QString &token, const QVariantMap &record)
{
    const Admission admitted = admit(QStringLiteral("addPhoto"), {token, record});
    if (!admitted)
        return admitted.refusal;
    const QString uniq = record.value(QStringLiteral("uniq")).toString();
    const int part = record.value(QStringLiteral("part"), -1).toInt();
    const QVariant last = record.value(QStringLiteral("last"));
    if (uniq.size() != 32 || part < 0 || part > 3 || last.type() != QVariant::Int
        || last.toInt() != (part == 3 ? 1 : 0) || record.value(QStringLiteral("data")).type() != QVariant::String)
        return serviceReply(400, QStringLiteral("Malformed upload stage"));

    if (part == 0)
        pendingUploads.insert(uniq, PendingUpload{0, record.value(QStringLiteral("ext")).toString(), QString()});
    auto pending = pendingUploads.find(uniq);
    if (pending == pendingUploads.end() || pending->nextPart != part)
        return serviceReply(409, QStringLiteral("Stage %1 of upload %2 arrived out of order").arg(part).arg(uniq));
    if (record.value(QStringLiteral("ext")).toString() != pending->ext)
        return serviceReply(409, QStringLiteral("The extension changed during upload %1").arg(uniq));
    pending->text += record.value(QStringLiteral("data")).toString();
    pending->nextPart = part + 1;
    if (part < 3)
        return serviceReply(200, QStringLiteral("Stage received"));

    const PendingUpload upload = pendingUploads.take(uniq);
    for (const char *key : {"title", "desc", "keywords"}) {
        if (record.value(QLatin1String(key)).type() != QVariant::String)
            return serviceReply(400, QStringLiteral("The last stage needs title, desc and keywords"));
    }
    const auto decoded = QByteArray::fromBase64Encoding(upload.text.toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded)
        return serviceReply(400, QStringLiteral("The photo data is not valid Base64"));
    if (upload.ext == QLatin1String(".jpg")) {
        const QString why = photoRefusal(*decoded);
        if (!why.isEmpty())
            return serviceReply(422, why);
    }
    const QString id = QString::number(1001 + storedPhotos.size());
    storedPhotos.append(Photo{id, uniq, upload.ext, *decoded, record.value(QStringLiteral("title")).toString(),
                              record.value(QStringLiteral("desc")).toString(),
                              record.value(QStringLiteral("keywords")).toString()});
    return serviceReply(200, QStringLiteral("Photo stored"), {QVariantMap{{"response", id}}});
}

QVariantMap ImportService::addRelease(const QString &token, const QVariantMap &record, const QString &type,
                                      const QString &name, const QString &description, const QString &date)
{
    const Admission admitted = admit(QStringLiteral("addRelease"), {token, record, type, name, description, date});
    if (!admitted)
        return admitted.refusal;
    const auto decoded = QByteArray::fromBase64Encoding(record.value(QStringLiteral("data")).toString().toLatin1(),
                                                        QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded)
        return serviceReply(400, QStringLiteral("The release data is not valid Base64"));
    if ((*decoded).isEmpty())
        return serviceReply(400, QStringLiteral("The release file is empty"));
    const QString id = QStringLiteral("R%1").arg(storedReleases.size() + 1);
    storedReleases.append(Release{id, record.value(QStringLiteral("ext")).toString(), *decoded, type, name,
                                  description, date});
    return serviceReply(200, QStringLiteral("Release stored"), {QVariantMap{{"response", id}}});
}

QVariantMap ImportService::checkReleases(const QString &token, const QString &releases)
{
    const Admission admitted = admit(QStringLiteral("checkReleases"), {token, releases});
    if (!admitted)
        return admitted.refusal;
    QStringList states;
    for (const QString &id : releases.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const QString release = id.trimmed();
        const bool known = std::any_of(storedReleases.cbegin(), storedReleases.cend(),
                                       [&release](const Release &r) { return r.id == release; });
        states << release + (known ? QStringLiteral(":valid") : QStringLiteral(":unknown"));
    }
    return serviceReply(200, QStringLiteral("OK"), {QVariantMap{{"response", states.join(QLatin1Char(','))}}});
}

QVariantMap ImportService::attachReleases(const QString &token, const QString &photoId, const QString &releases)
{
    const Admission admitted = admit(QStringLiteral("attachReleases"), {token, photoId, releases});
    if (!admitted)
        return admitted.refusal;
    const bool photoKnown = std::any_of(storedPhotos.cbegin(), storedPhotos.cend(),
                                        [&photoId](const Photo &p) { return p.id == photoId; });
    if (!photoKnown)
        return serviceReply(404, QStringLiteral("Unknown photo id %1").arg(photoId));
    QStringList ids;
    for (const QString &id : releases.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const QString release = id.trimmed();
        if (std::none_of(storedReleases.cbegin(), storedReleases.cend(),
                         [&release](const Release &r) { return r.id == release; }))
            return serviceReply(404, QStringLiteral("Unknown release %1").arg(release));
        ids << release;
    }
    if (ids.isEmpty())
        return serviceReply(400, QStringLiteral("No release to attach"));
    attached[photoId] << ids;
    return serviceReply(200, QStringLiteral("Attached"), {QVariantMap{{"response", QString::number(ids.size())}}});
}
