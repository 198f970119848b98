#include "XClient.h"

#include "earningscatalog.h"
#include "maiaXmlRpcClient.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFutureWatcher>
#include <QRandomGenerator>
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
    , rpc(new MaiaXmlRpcClient(QUrl(serviceUrl, QUrl::TolerantMode), this))
    , frame(frame)
{
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

CallbackContext XClient::contextOfSender(bool withProgress) const
{
    return CallbackContext::decoded(sender() ? sender()->property("name").toString() : QString(), withProgress);
}

void XClient::callService(const QString &method, const QVariantList &params, const char *replySlot,
                          const CallbackContext &context)
{
    rpc->call(method, params, this, replySlot, this, SLOT(fault(int, const QString &)), context.encoded());
}

bool XClient::evaluate(const QString &script)
{
    if (!frame)
        return false;
    const QPointer<XClient> alive(this);
    frame->evaluateJavaScript(script);
    return alive;
}

bool XClient::callBack(const QString &name)
{
    return evaluate(QLatin1String("window.") + name + QLatin1String("();"));
}

bool XClient::callBackWithText(const QString &name, const QString &text)
{
    return evaluate(QLatin1String("window.") + name + QLatin1String("('") + jsQuoted(text) + QLatin1String("');"));
}

bool XClient::reportError(const QString &name, const QString &type, const QString &code, const QString &text)
{
    return evaluate(QLatin1String("window.") + name + QLatin1String("({error_type: '") + type
                    + QLatin1String("', error_code: '") + jsQuoted(code) + QLatin1String("', error_text: '")
                    + jsQuoted(text) + QLatin1String("'});"));
}

bool XClient::reportError(const QString &name, AppError error)
{
    return reportError(name, QStringLiteral("app"), appErrorCode(error), appErrorText(error));
}

void XClient::login(QString &success_callback, QString &error_callback)
{
    callService(QStringLiteral("getHash"), {clientId}, SLOT(getHashResponse(QVariant &)),
                {success_callback, error_callback});
}

void XClient::uploadImage(QString &file, QVariant &meta, QString &success_callback,
                          QString &error_callback, QString &process_callback)
{
    const QVariantMap metadata = meta.toMap();
    uploads.enqueue({file, restrictions, metadata.value(QStringLiteral("title")).toString(),
                     metadata.value(QStringLiteral("desc")).toString(),
                     metadata.value(QStringLiteral("keywords")).toStringList(),
                     {success_callback, error_callback, process_callback}});
    if (uploads.size() == 1)
        startNextUpload();
}

// The pool prepares the photo; this thread only hears when it is ready.
void XClient::startNextUpload()
{
    if (!frame)
        uploads.clear(); // no page to report to: nothing more is sent
    if (uploads.isEmpty())
        return;
    preparation = new QFutureWatcher<PhotoPreparation::Result>(this);
    connect(preparation, &QFutureWatcherBase::finished, this, &XClient::photoPrepared);
    preparation->setFuture(PhotoPreparation::prepareLater(uploads.head().file, uploads.head().limits));
}

void XClient::photoPrepared()
{
    PhotoPreparation::Result prepared = preparation->result();
    preparation->deleteLater();
    preparation = nullptr;
    if (prepared.error != PhotoPreparation::Refusal::None) {
        const QPointer<XClient> alive(this);
        reportError(uploads.head().callbacks.error, appErrorOf(prepared.error));
        if (alive)
            endUpload();
        return;
    }
    if (!frame)
        return endUpload();
    upload = std::move(prepared);
    uploadUniq = md5(sessionId + QString::number(QRandomGenerator::global()->bounded(RAND_MAX)));
    sendUploadStage(0, uploads.head().callbacks);
}

void XClient::endUpload()
{
    upload = PhotoPreparation::Result();
    if (!uploads.isEmpty())
        uploads.dequeue();
    startNextUpload();
}

void XClient::sendUploadStage(int part, const CallbackContext &context)
{
    static const char *const replySlots[PhotoPreparation::stageCount] = {
        SLOT(uploadImage0Response(QVariant &)), SLOT(uploadImage1Response(QVariant &)),
        SLOT(uploadImage2Response(QVariant &)), SLOT(uploadImageResponse(QVariant &))};
    const bool last = part == PhotoPreparation::stageCount - 1;
    QVariantMap record{{QStringLiteral("data"), upload.stages[part]},
                       {QStringLiteral("ext"), upload.extension},
                       {QStringLiteral("part"), part},
                       {QStringLiteral("last"), last ? 1 : 0},
                       {QStringLiteral("uniq"), uploadUniq}};
    if (last) {
        const PhotoUpload &current = uploads.head();
        record.insert(QStringLiteral("title"), current.title);
        record.insert(QStringLiteral("desc"), current.desc);
        record.insert(QStringLiteral("keywords"), current.keywords.join(QLatin1Char('|')));
    }
    rpc->call(QStringLiteral("addPhoto"), {sessionId, record}, this, replySlots[part], this,
              SLOT(uploadFault(int, const QString &)), context.encoded());
    upload.stages[part] = QString(); // the posted document holds it now
}

void XClient::handleUploadStage(QVariant &reply, int part)
{
    const QVariantMap map = reply.toMap();
    const QString status = map.value(QStringLiteral("status")).toString();
    renewSessionId();
    const CallbackContext callbacks = contextOfSender(true);
    const QPointer<XClient> alive(this);
    if (status != successStatus) {
        reportError(callbacks.error, QStringLiteral("app"), status,
                    map.value(QStringLiteral("statusMessage")).toString());
    } else if (!evaluate(QLatin1String("window.") + callbacks.progress
                         + QStringLiteral("(%1, %2);").arg(part + 1).arg(PhotoPreparation::stageCount))) {
        // the page is gone, and the upload with it
    } else if (part < PhotoPreparation::stageCount - 1) {
        return sendUploadStage(part + 1, callbacks);
    } else {
        QVariantMap first;
        if (firstOutput(reply, &first))
            callBackWithText(callbacks.success, first.value(QStringLiteral("response")).toString());
        else
            callBack(callbacks.success);
    }
    if (alive)
        endUpload();
}

void XClient::uploadFault(int code, const QString &text)
{
    const QPointer<XClient> alive(this);
    fault(code, text);
    if (alive)
        endUpload();
}

void XClient::uploadRelease(QString &file, QString type, QString name, QString description,
                            QString date, QString &success_callback, QString &error_callback,
                            QString &process_callback)
{
    Q_UNUSED(process_callback) // release uploads report no progress
    QFile source(file);
    source.open(QIODevice::ReadOnly); // an unreadable file goes as empty data; the service decides
    const QVariantMap record{{QStringLiteral("data"), QString::fromLatin1(source.readAll().toBase64())},
                             {QStringLiteral("ext"), PhotoPreparation::extensionOf(file)}};
    source.close();
    callService(QStringLiteral("addRelease"), {sessionId, record, type, name, description, date},
                SLOT(completeResponse(QVariant &)), {success_callback, error_callback});
}

void XClient::checkReleases(QString &releases, QString &success_callback, QString &error_callback)
{
    callService(QStringLiteral("checkReleases"), {sessionId, releases}, SLOT(completeResponse(QVariant &)),
                {success_callback, error_callback});
}

void XClient::attachReleases(QString &id_photo, QString &releases, QString &success_callback,
                             QString &error_callback)
{
    callService(QStringLiteral("attachReleases"), {sessionId, id_photo, releases},
                SLOT(completeResponse(QVariant &)), {success_callback, error_callback});
}

void XClient::getEarnings(QString date_from, QString date_to, QString func_pointer_success,
                          QString func_pointer_error)
{
    callService(QStringLiteral("getEarnings"), {sessionId, date_from, date_to},
                SLOT(getEarningsResponse(QVariant &)),
                {func_pointer_success, func_pointer_error});
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
    reportError(contextOfSender().error, QStringLiteral("xmlrpc"), QString::number(code, 10), text);
}

void XClient::getEarningsResponse(QVariant &reply)
{
    const CallbackContext callbacks = contextOfSender();
    QVariantMap record;
    const bool hasRecord = firstOutput(reply, &record);
    const QStringList today = record.value(QStringLiteral("today")).toString().split(QLatin1Char('-'));
    if (!hasRecord || today.size() < 3) {
        renewSessionId();
        return void(reportError(callbacks.error, AppError::MalformedEarnings));
    }

    const double value = record.value(QStringLiteral("value")).toDouble();
    const QString days = record.value(QStringLiteral("data")).toString();
    EarningsCatalog catalog(catalogPath());
    const bool stored = catalog.begin()
        && catalog.updateAccount(value, record.value(QStringLiteral("currency")).toString(),
                                 record.value(QStringLiteral("rate")).toDouble())
        && catalog.storeSnapshot(CatalogDate{today.at(0), today.at(1), today.at(2)}, value)
        && (days.isEmpty() || catalog.storeDays(days.split(QLatin1Char('|')))) && catalog.commit();
    catalog.close();

    renewSessionId();
    if (stored)
        callBack(callbacks.success);
    else
        reportError(callbacks.error, AppError::CatalogUnavailable);
}

void XClient::getHashResponse(QVariant &reply)
{
    QVariantMap first;
    if (!firstOutput(reply, &first))
        return void(callBack(contextOfSender().error)); // nothing to sign in with
    sessionId = first.value(QStringLiteral("sessionId")).toString();
    renewSessionId();
    callService(QStringLiteral("login"), {sessionId}, SLOT(loginResponse(QVariant &)), contextOfSender());
}

void XClient::loginResponse(QVariant &reply)
{
    const QString status = reply.toMap().value(QStringLiteral("status")).toString();
    if (status != successStatus)
        return void(callBack(contextOfSender().error));
    renewSessionId();
    callService(QStringLiteral("getRestrictions"), {sessionId}, SLOT(restrictionsResponse(QVariant &)),
                contextOfSender());
}

void XClient::restrictionsResponse(QVariant &reply)
{
    const CallbackContext callbacks = contextOfSender();
    QVariantMap limits;
    if (!firstOutput(reply, &limits))
        return void(callBack(callbacks.error));
    restrictions = UploadRestrictions::fromRecord(limits);
    renewSessionId();
    if (callBack(callbacks.success))
        doClient();
}

void XClient::completeResponse(QVariant &arg)
{
    const QVariantMap reply = arg.toMap();
    const QString status = reply.value(QStringLiteral("status")).toString();
    renewSessionId();
    const CallbackContext callbacks = contextOfSender();
    if (status != successStatus)
        return void(reportError(callbacks.error, QStringLiteral("app"), status,
                                reply.value(QStringLiteral("statusMessage")).toString()));
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
    qDebug() << restrictions.exts;
}
