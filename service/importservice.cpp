#include "importservice.h"

#include "faultgate.h"
#include "maiaXmlRpcServer.h"

#include <QCryptographicHash>
#include <QHostAddress>
#include <QRandomGenerator>

namespace {

constexpr int tokenPrefixLength = 48;
// How far a token may lie from the last accepted one: calls overlap, so
// renewed tokens can arrive in another order than they were made.
constexpr int tokenWindow = 16;

const QString ok = QStringLiteral("200");

QString md5Hex(const QString &text)
{
    return QString::fromLatin1(QCryptographicHash::hash(text.toLatin1(), QCryptographicHash::Md5).toHex());
}

QString newToken()
{
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    QString token;
    for (int i = 0; i < tokenPrefixLength; ++i)
        token += QLatin1Char(alphabet[QRandomGenerator::global()->bounded(int(sizeof alphabet - 1))]);
    return token + md5Hex(token + QString::number(QRandomGenerator::global()->generate64()));
}

// XML-RPC method name to the slot that serves it.
const struct {
    const char *method;
    const char *slot;
} methodTable[] = {
    {"getHash", "getHash"},
    {"login", "login"},
    {"getRestrictions", "getRestrictions"},
    {"getEarnings", "getEarnings"},
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
{
    addAccount(demoClientId, demoClientKey, demoPassword);
    limits = QVariantMap{{"exts", "jpg,jpeg"}, {"max_mpx", 24}, {"min_mpx", 4}, {"min_w", 1024},
                         {"min_h", 1024},      {"max_r", 4},    {"q", 90}};
}

ImportService::~ImportService() = default;

bool ImportService::listen(quint16 port)
{
    backend = new MaiaXmlRpcServer(QHostAddress::LocalHost, 0, this);
    if (backend->serverPort() == 0)
        return false;
    for (const auto &entry : methodTable)
        backend->registerMethod(QString::fromLatin1(entry.method), this, entry.slot);
    gate = new FaultGate(this, backend->serverPort(), this);
    return gate->listen(QHostAddress::LocalHost, port);
}

quint16 ImportService::port() const
{
    return gate ? gate->serverPort() : 0;
}

void ImportService::addAccount(const QString &clientId, const QString &clientKey, const QString &password)
{
    accounts.insert(clientId, Account{clientKey, md5Hex(password)});
}

void ImportService::setRestrictions(const QVariantMap &restrictions)
{
    limits = restrictions;
}

QVariantMap ImportService::restrictions() const
{
    return limits;
}

void ImportService::injectFault(const QString &method, const InjectedFault &fault, int count)
{
    for (int i = 0; i < count; ++i)
        injected[method].append(fault);
}

std::optional<ImportService::InjectedFault> ImportService::takeInjectedFault(const QString &method)
{
    auto it = injected.find(method);
    if (it == injected.end() || it->isEmpty())
        return std::nullopt;
    return it->takeFirst();
}

std::optional<ImportService::FaultKind> ImportService::faultKindFromName(const QString &name)
{
    static const QHash<QString, FaultKind> kinds{{"status", FaultKind::Status},
                                                 {"fault", FaultKind::XmlRpcFault},
                                                 {"drop", FaultKind::DropConnection},
                                                 {"http", FaultKind::HttpError},
                                                 {"malformed", FaultKind::MalformedXml}};
    const auto it = kinds.find(name);
    if (it == kinds.end())
        return std::nullopt;
    return *it;
}

QList<ImportService::Call> ImportService::calls() const
{
    return log;
}

void ImportService::clearCalls()
{
    log.clear();
}

void ImportService::recordCall(const Call &call)
{
    log.append(call);
    emit callRecorded(call.method, call.accepted, call.note);
}

QVariantMap ImportService::reply(const QString &status, const QString &message, const QVariantList &output)
{
    return QVariantMap{{"status", status}, {"statusMessage", message}, {"output", output}};
}

QString ImportService::renewed(const Session &session, const QString &token) const
{
    const Account account = accounts.value(session.clientId);
    return token.left(tokenPrefixLength) + md5Hex(token + account.passwordHash + account.key);
}

ImportService::Session *ImportService::acceptToken(const QString &method, const QVariantList &params,
                                                   const QString &token, QVariantMap *refusal)
{
    Call call{method, params, token, false, QString()};
    auto it = sessions.find(token.left(tokenPrefixLength));
    Session *session = it == sessions.end() ? nullptr : &*it;
    int index = -1;
    if (session) {
        while (session->chain.size() <= session->lastAccepted + tokenWindow)
            session->chain.append(renewed(*session, session->chain.last()));
        // The issued token itself never counts: a caller must renew it to prove the key.
        for (int i = qMax(1, session->lastAccepted - tokenWindow); i < session->chain.size(); ++i) {
            if (session->chain.at(i) == token) {
                index = i;
                break;
            }
        }
    }
    if (index < 0) {
        call.note = method == QLatin1String("login")
            ? QStringLiteral("wrong client key or password")
            : QStringLiteral("session token not on the chain");
        *refusal = method == QLatin1String("login")
            ? reply(QStringLiteral("403"), QStringLiteral("Wrong client key or password"))
            : reply(QStringLiteral("401"), QStringLiteral("Session token is not valid, please sign in again"));
        recordCall(call);
        return nullptr;
    }
    session->lastAccepted = qMax(session->lastAccepted, index);
    if (method != QLatin1String("login") && !session->signedIn) {
        call.note = QStringLiteral("not signed in");
        *refusal = reply(QStringLiteral("401"), QStringLiteral("Not signed in"));
        recordCall(call);
        return nullptr;
    }
    call.accepted = true;
    recordCall(call);
    return session;
}

QVariantMap ImportService::getHash(const QString &clientId)
{
    Call call{QStringLiteral("getHash"), {clientId}, QString(), false, QString()};
    if (!accounts.contains(clientId)) {
        call.note = QStringLiteral("unknown client id");
        recordCall(call);
        return reply(QStringLiteral("404"), QStringLiteral("Unknown client id"));
    }
    const QString token = newToken();
    Session session;
    session.clientId = clientId;
    session.chain.append(token);
    sessions.insert(token.left(tokenPrefixLength), session);
    call.token = token;
    call.accepted = true;
    recordCall(call);
    return reply(ok, QStringLiteral("OK"), {QVariantMap{{"sessionId", token}}});
}

QVariantMap ImportService::login(const QString &token)
{
    QVariantMap refusal;
    Session *session = acceptToken(QStringLiteral("login"), {token}, token, &refusal);
    if (!session)
        return refusal;
    session->signedIn = true;
    return reply(ok, QStringLiteral("Signed in"));
}

QVariantMap ImportService::getRestrictions(const QString &token)
{
    QVariantMap refusal;
    if (!acceptToken(QStringLiteral("getRestrictions"), {token}, token, &refusal))
        return refusal;
    return reply(ok, QStringLiteral("OK"), {limits});
}

QVariantMap ImportService::simInjectFault(const QString &method, const QString &kind, int count,
                                          int code, const QString &text)
{
    const std::optional<FaultKind> faultKind = faultKindFromName(kind);
    if (!faultKind)
        return reply(QStringLiteral("400"), QStringLiteral("Unknown fault kind: ") + kind);
    injectFault(method, InjectedFault{*faultKind, code, text}, qBound(0, count, 1000));
    return reply(ok, QStringLiteral("OK"));
}

QVariantMap ImportService::simSetRestrictions(const QVariantMap &restrictions)
{
    setRestrictions(restrictions);
    return reply(ok, QStringLiteral("OK"));
}

QVariantList ImportService::simCallLog()
{
    QVariantList entries;
    for (const Call &call : qAsConst(log))
        entries.append(QVariantMap{{"method", call.method}, {"params", call.params}, {"token", call.token},
                                   {"accepted", call.accepted}, {"note", call.note}});
    return entries;
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
    QVariantMap refusal;
    if (!acceptToken(QStringLiteral("getEarnings"), {token, dateFrom, dateTo}, token, &refusal))
        return refusal;
    if (!earningsRecord.isEmpty())
        return reply(ok, QStringLiteral("OK"), {earningsRecord});
    const QDate from = QDate::fromString(dateFrom, Qt::ISODate);
    const QDate to = QDate::fromString(dateTo, Qt::ISODate);
    if (!from.isValid() || !to.isValid() || from > to || from.daysTo(to) > 366)
        return reply(QStringLiteral("400"), QStringLiteral("Dates must be yyyy-MM-dd, in order, at most a year apart"));
    return reply(ok, QStringLiteral("OK"), {generatedEarnings(from, to, QDate::currentDate())});
}

QVariantMap ImportService::simSetEarningsRecord(const QVariantMap &record)
{
    setEarningsRecord(record);
    return reply(ok, QStringLiteral("OK"));
}
