#include "XClient.h"

#include "earningscatalog.h"
#include "maiaXmlRpcClient.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QNetworkReply>
#include <QSslConfiguration>
#include <QStandardPaths>
#include <QUrl>
#include <QWebFrame>

namespace {

const QString serviceUrl = QStringLiteral("http://api.vendalux.example/import-images");
const QString successStatus = QStringLiteral("200");
constexpr int tokenPrefixLength = 48;

// A text placed between single quotes in a script: escaped so that no
// service text can end the string early or break the script.
QString jsQuoted(const QString &text)
{
    QString quoted;
    quoted.reserve(text.size() + 8);
    for (const QChar c : text) {
        switch (c.unicode()) {
        case '\\': quoted += QLatin1String("\\\\"); break;
        case '\'': quoted += QLatin1String("\\'"); break;
        case '\r': quoted += QLatin1String("\\r"); break;
        case '\n': quoted += QLatin1String("\\n"); break;
        case 0x2028: quoted += QLatin1String("\\u2028"); break;
        case 0x2029: quoted += QLatin1String("\\u2029"); break;
        default: quoted += c;
        }
    }
    return quoted;
}

// The host's catalog, in the host application's data directory.
QString catalogPath()
{
    return QStandardPaths::standardLocations(QStandardPaths::DataLocation).value(0)
        + QLatin1String("/data/catalog.dat");
}

// Element 0 of the reply's "output" array; false when there is none.
bool firstOutput(const QVariant &reply, QVariantMap *first)
{
    const QVariantList output = reply.toMap().value(QStringLiteral("output")).toList();
    if (output.isEmpty())
        return false;
    *first = output.first().toMap();
    return true;
}

} // namespace

XClient::XClient(QWebFrame *frame, QObject *parent)
    : QObject(parent)
    // Sensible limits for an upload tried before any sign-in.
    , max_mpx(24)
    , min_mpx(4)
    , min_w(1024)
    , min_h(1024)
    , max_r(4)
    , q(90)
{
    rpc = new MaiaXmlRpcClient(QUrl(serviceUrl, QUrl::TolerantMode), this);
    this->frame = frame;
    QSslConfiguration ssl = rpc->sslConfiguration();
    ssl.setProtocol(QSsl::AnyProtocol);
    rpc->setSslConfiguration(ssl);
    rpc->setUserAgent(QStringLiteral("Corvane"));
    connect(rpc, SIGNAL(sslErrors(QNetworkReply *, const QList<QSslError> &)), this,
            SLOT(handleSslErrors(QNetworkReply *, const QList<QSslError> &)));
}

void XClient::setCredentials(const QString &clientId, const QString &clientKey, const QString &password)
{
    this->clientId = clientId;
    this->clientKey = clientKey;
    passwordHash = md5(password);
}

QString XClient::contextOfSender() const
{
    return sender() ? sender()->property("name").toString() : QString();
}

XClient::Callbacks XClient::callbacksOfSender(bool withProgress) const
{
    const QStringList parts = contextOfSender().split(QLatin1Char('|'));
    Callbacks callbacks;
    callbacks.success = parts.value(0);
    callbacks.error = parts.value(1);
    if (withProgress) {
        const QStringList successParts = callbacks.success.split(QLatin1Char(':'));
        callbacks.success = successParts.value(0);
        callbacks.progress = successParts.value(1);
    }
    return callbacks;
}

void XClient::callService(const QString &method, const QVariantList &params, const char *replySlot,
                          const QString &context)
{
    rpc->call(method, params, this, replySlot, this, SLOT(fault(int, const QString &)), context);
}

void XClient::evaluate(const QString &script)
{
    frame->evaluateJavaScript(script);
}

void XClient::callBack(const QString &name)
{
    evaluate(QLatin1String("window.") + name + QLatin1String("();"));
}

void XClient::callBackWithText(const QString &name, const QString &text)
{
    evaluate(QLatin1String("window.") + name + QLatin1String("('") + jsQuoted(text) + QLatin1String("');"));
}

void XClient::reportError(const QString &name, const QString &type, const QString &code, const QString &text)
{
    evaluate(QLatin1String("window.") + name + QLatin1String("({error_type: '") + type
             + QLatin1String("', error_code: '") + jsQuoted(code) + QLatin1String("', error_text: '")
             + jsQuoted(text) + QLatin1String("'});"));
}

void XClient::login(QString &success_callback, QString &error_callback)
{
    callService(QStringLiteral("getHash"), {clientId}, SLOT(getHashResponse(QVariant &)),
                success_callback + QLatin1Char('|') + error_callback);
}

void XClient::uploadImage(QString &file, QVariant &meta, QString &success_callback,
                          QString &error_callback, QString &process_callback)
{
    Q_UNUSED(file) Q_UNUSED(meta) Q_UNUSED(success_callback) Q_UNUSED(error_callback)
    Q_UNUSED(process_callback)
}

void XClient::uploadRelease(QString &file, QString type, QString name, QString description,
                            QString date, QString &success_callback, QString &error_callback,
                            QString &process_callback)
{
    Q_UNUSED(file) Q_UNUSED(type) Q_UNUSED(name) Q_UNUSED(description) Q_UNUSED(date)
    Q_UNUSED(success_callback) Q_UNUSED(error_callback) Q_UNUSED(process_callback)
}

void XClient::checkReleases(QString &releases, QString &success_callback, QString &error_callback)
{
    Q_UNUSED(releases) Q_UNUSED(success_callback) Q_UNUSED(error_callback)
}

void XClient::attachReleases(QString &id_photo, QString &releases, QString &success_callback,
                             QString &error_callback)
{
    Q_UNUSED(id_photo) Q_UNUSED(releases) Q_UNUSED(success_callback) Q_UNUSED(error_callback)
}

void XClient::getEarnings(QString date_from, QString date_to, QString func_pointer_success,
                          QString func_pointer_error)
{
    callService(QStringLiteral("getEarnings"), {sessionId, date_from, date_to},
                SLOT(getEarningsResponse(QVariant &)),
                func_pointer_success + QLatin1Char('|') + func_pointer_error);
}

void XClient::response(QVariant &reply)
{
    QVariantMap first;
    if (firstOutput(reply, &first))
        qDebug() << first.value(QStringLiteral("sessionId"));
}

void XClient::fault(int code, const QString &text)
{
    qDebug() << "Error:" << code << "-" << text;
    reportError(callbacksOfSender().error, QStringLiteral("xmlrpc"), QString::number(code, 10), text);
}

void XClient::getEarningsResponse(QVariant &reply)
{
    const Callbacks callbacks = callbacksOfSender();
    QVariantMap record;
    const bool hasRecord = firstOutput(reply, &record);
    const QStringList today = record.value(QStringLiteral("today")).toString().split(QLatin1Char('-'));
    if (!hasRecord || today.size() < 3) {
        renewSessionId();
        return reportError(callbacks.error, QStringLiteral("app"), QStringLiteral("124"),
                           QStringLiteral("Malformed earnings reply"));
    }

    EarningsCatalog catalog(catalogPath());
    catalog.updateAccount(record.value(QStringLiteral("value")).toDouble(),
                          record.value(QStringLiteral("currency")).toString(),
                          record.value(QStringLiteral("rate")).toDouble());
    catalog.storeSnapshot(CatalogDate{today.at(0), today.at(1), today.at(2)},
                          record.value(QStringLiteral("value")).toDouble());
    const QString days = record.value(QStringLiteral("data")).toString();
    if (!days.isEmpty())
        catalog.storeDays(days.split(QLatin1Char('|')));
    catalog.close();

    renewSessionId();
    callBack(callbacks.success);
}

void XClient::getHashResponse(QVariant &reply)
{
    QVariantMap first;
    if (!firstOutput(reply, &first))
        return callBack(callbacksOfSender().error); // nothing to sign in with
    sessionId = first.value(QStringLiteral("sessionId")).toString();
    renewSessionId();
    callService(QStringLiteral("login"), {sessionId}, SLOT(loginResponse(QVariant &)),
                contextOfSender());
}

void XClient::loginResponse(QVariant &reply)
{
    const QString status = reply.toMap().value(QStringLiteral("status")).toString();
    if (status != successStatus)
        return callBack(callbacksOfSender().error);
    renewSessionId();
    callService(QStringLiteral("getRestrictions"), {sessionId}, SLOT(restrictionsResponse(QVariant &)),
                contextOfSender());
}

void XClient::restrictionsResponse(QVariant &reply)
{
    const Callbacks callbacks = callbacksOfSender();
    QVariantMap limits;
    if (!firstOutput(reply, &limits))
        return callBack(callbacks.error);

    auto limit = [&limits](const char *key, int fallback) {
        bool ok = false;
        const int value = limits.value(QLatin1String(key)).toInt(&ok);
        return ok ? value : fallback;
    };
    exts = limits.value(QStringLiteral("exts")).toString().split(QLatin1Char(','));
    max_mpx = limit("max_mpx", 24);
    min_mpx = limit("min_mpx", 4);
    min_w = limit("min_w", 1024);
    min_h = limit("min_h", 1024);
    max_r = limit("max_r", 4);
    q = limit("q", 90);
    renewSessionId();
    callBack(callbacks.success);
    doClient();
}

void XClient::completeResponse(QVariant &arg)
{
    Q_UNUSED(arg)
}

void XClient::uploadImageResponse(QVariant &arg)
{
    Q_UNUSED(arg)
}

void XClient::uploadImage0Response(QVariant &arg)
{
    Q_UNUSED(arg)
}

void XClient::uploadImage1Response(QVariant &arg)
{
    Q_UNUSED(arg)
}

void XClient::uploadImage2Response(QVariant &arg)
{
    Q_UNUSED(arg)
}

void XClient::handleSslErrors(QNetworkReply *reply, const QList<QSslError> &errors)
{
    Q_UNUSED(errors)
    reply->ignoreSslErrors();
}

void XClient::renewSessionId()
{
    const QString digest = md5(sessionId + passwordHash + clientKey);
    sessionId = sessionId.left(tokenPrefixLength) + digest;
}

QString XClient::md5(QString string)
{
    return QString::fromLatin1(
        QCryptographicHash::hash(string.toLatin1(), QCryptographicHash::Md5).toHex());
}

void XClient::doClient()
{
    qDebug() << exts;
}
