#include "XClient.h"

#include "earningscatalog.h"
#include "maiaXmlRpcClient.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QRandomGenerator>
#include <QTemporaryFile>
#include <QDebug>
#include <QNetworkReply>
#include <QSslConfiguration>
#include <QStandardPaths>
#include <QUrl>
#include <QWebFrame>

#include <cmath>

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

// The lower-cased text from the path's last "." on; empty without one.
QString extensionOf(const QString &path)
{
    const int dot = path.lastIndexOf(QLatin1Char('.'));
    return dot < 0 ? QString() : path.mid(dot).toLower();
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
    uploadTempFile.clear();
    if (extensionOf(file) == QLatin1String(".jpg") && !prepareJpeg(file, error_callback))
        return;

    QFile source(file);
    if (!source.open(QIODevice::ReadOnly)) {
        removeTempFile();
        return reportError(error_callback, QStringLiteral("app"), QStringLiteral("121"),
                           QStringLiteral("Cannot read file"));
    }
    const QByteArray text = source.readAll().toBase64();
    source.close();
    removeTempFile(); // the temporary JPEG lives only until it has been read

    uploadUniq = md5(sessionId + QString::number(QRandomGenerator::global()->bounded(RAND_MAX)));
    const int length = text.size();
    const int cuts[] = {0, length / 4, length / 2, 3 * length / 4, length};
    for (int part = 0; part < 4; ++part)
        uploadParts[part] = QString::fromLatin1(text.mid(cuts[part], cuts[part + 1] - cuts[part]));

    const QVariantMap metadata = meta.toMap();
    uploadTitle = metadata.value(QStringLiteral("title")).toString();
    uploadDesc = metadata.value(QStringLiteral("desc")).toString();
    uploadKeywords = metadata.value(QStringLiteral("keywords")).toStringList();
    uploadExt = extensionOf(file);

    sendUploadStage(0, success_callback + QLatin1Char(':') + process_callback + QLatin1Char('|')
                           + error_callback);
}

bool XClient::prepareJpeg(QString &file, const QString &error_callback)
{
    QImage image(file);
    const int w = image.width();
    const int h = image.height();
    const double mpx = double(w) * h / 1000000.0;
    const double ratio = w > h ? double(w) / h : double(h) / w;
    if (mpx < min_mpx || w < min_w || h < min_h) {
        reportError(error_callback, QStringLiteral("app"), QStringLiteral("122"),
                    QStringLiteral("Too small dimensions"));
        return false;
    }
    if (ratio > max_r) {
        reportError(error_callback, QStringLiteral("app"), QStringLiteral("123"),
                    QStringLiteral("Wrong aspect ratio"));
        return false;
    }
    // One megapixel under the limit; a limit of 1 or less leaves no area to aim at.
    if (mpx > max_mpx && max_mpx - 1 > 0) {
        const double scale = std::sqrt((max_mpx - 1) * 1000000.0 / (double(w) * h));
        const long height = std::lround(h * scale);
        const long width = std::lround(height * (double(w) / h));
        image = image.scaled(int(width), int(height), Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    }

    QTemporaryFile temporary(QDir::tempPath() + QLatin1String("/corvane_img_XXXXXX.jpg"));
    temporary.setAutoRemove(false);
    if (!temporary.open())
        return true; // sent as it is: it passed the checks
    const QString path = temporary.fileName();
    temporary.close();
    QFile target(path);
    if (!target.open(QIODevice::WriteOnly)) {
        QFile::remove(path);
        return true;
    }
    image.save(&target, "jpeg", q);
    file = path;
    uploadTempFile = path;
    return true;
}

void XClient::removeTempFile()
{
    if (!uploadTempFile.isEmpty())
        QFile::remove(uploadTempFile);
}

void XClient::sendUploadStage(int part, const QString &context)
{
    static const char *const replySlots[] = {
        SLOT(uploadImage0Response(QVariant &)), SLOT(uploadImage1Response(QVariant &)),
        SLOT(uploadImage2Response(QVariant &)), SLOT(uploadImageResponse(QVariant &))};
    QVariantMap record{{QStringLiteral("data"), uploadParts[part]},
                       {QStringLiteral("ext"), uploadExt},
                       {QStringLiteral("part"), part},
                       {QStringLiteral("last"), part == 3 ? 1 : 0},
                       {QStringLiteral("uniq"), uploadUniq}};
    if (part == 3) {
        record.insert(QStringLiteral("title"), uploadTitle);
        record.insert(QStringLiteral("desc"), uploadDesc);
        record.insert(QStringLiteral("keywords"), uploadKeywords.join(QLatin1Char('|')));
    }
    callService(QStringLiteral("addPhoto"), {sessionId, record}, replySlots[part], context);
}

void XClient::handleUploadStage(QVariant &reply, int part)
{
    const QVariantMap map = reply.toMap();
    const QString status = map.value(QStringLiteral("status")).toString();
    renewSessionId();
    const Callbacks callbacks = callbacksOfSender(true);
    if (status != successStatus)
        return reportError(callbacks.error, QStringLiteral("app"), status,
                           map.value(QStringLiteral("statusMessage")).toString());
    evaluate(QLatin1String("window.") + callbacks.progress + QStringLiteral("(%1, 4);").arg(part + 1));
    if (part < 3)
        return sendUploadStage(part + 1, contextOfSender());
    QVariantMap first;
    if (firstOutput(reply, &first))
        callBackWithText(callbacks.success, first.value(QStringLiteral("response")).toString());
    else
        callBack(callbacks.success);
}

void XClient::uploadRelease(QString &file, QString type, QString name, QString description,
                            QString date, QString &success_callback, QString &error_callback,
                            QString &process_callback)
{
    Q_UNUSED(process_callback) // release uploads report no progress
    QFile source(file);
    source.open(QIODevice::ReadOnly); // an unreadable file goes as empty data; the service decides
    const QVariantMap record{{QStringLiteral("data"), QString::fromLatin1(source.readAll().toBase64())},
                             {QStringLiteral("ext"), extensionOf(file)}};
    source.close();
    callService(QStringLiteral("addRelease"), {sessionId, record, type, name, description, date},
                SLOT(completeResponse(QVariant &)), success_callback + QLatin1Char('|') + error_callback);
}

void XClient::checkReleases(QString &releases, QString &success_callback, QString &error_callback)
{
    callService(QStringLiteral("checkReleases"), {sessionId, releases}, SLOT(completeResponse(QVariant &)),
                success_callback + QLatin1Char('|') + error_callback);
}

void XClient::attachReleases(QString &id_photo, QString &releases, QString &success_callback,
                             QString &error_callback)
{
    callService(QStringLiteral("attachReleases"), {sessionId, id_photo, releases},
                SLOT(completeResponse(QVariant &)), success_callback + QLatin1Char('|') + error_callback);
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
    const QVariantMap reply = arg.toMap();
    const QString status = reply.value(QStringLiteral("status")).toString();
    renewSessionId();
    const Callbacks callbacks = callbacksOfSender();
    if (status != successStatus)
        return reportError(callbacks.error, QStringLiteral("app"), status,
                           reply.value(QStringLiteral("statusMessage")).toString());
    QVariantMap first;
    if (firstOutput(arg, &first) && first.contains(QStringLiteral("response")))
        callBackWithText(callbacks.success, first.value(QStringLiteral("response")).toString());
    else
        callBack(callbacks.success);
}

void XClient::uploadImageResponse(QVariant &arg)
{
    handleUploadStage(arg, 3);
}

void XClient::uploadImage0Response(QVariant &arg)
{
    handleUploadStage(arg, 0);
}

void XClient::uploadImage1Response(QVariant &arg)
{
    handleUploadStage(arg, 1);
}

void XClient::uploadImage2Response(QVariant &arg)
{
    handleUploadStage(arg, 2);
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
