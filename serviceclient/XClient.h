#ifndef XCLIENT_H
#define XCLIENT_H

#include "apperror.h"
#include "callbackcontext.h"
#include "photopreparation.h"
#include "uploadrestrictions.h"

#include <QList>
#include <QObject>
#include <QQueue>
#include <QPointer>
#include <QSslError>
#include <QString>
#include <QStringList>
#include <QVariant>

class MaiaXmlRpcClient;
class QNetworkReply;
template <typename T>
class QFutureWatcher;
class QWebFrame;
struct XClientProbe;

// The client of the Vendalux import service. Each operation runs a chain of
// remote calls; results, progress and errors go back to the page by
// evaluating calls of the page's own callback functions in `frame`. A page
// callback may run an event loop in which the host deletes the view, and the
// host may replace the page: either ends the work in flight silently.
// Photos are prepared off the GUI thread, one upload after another.
class XClient : public QObject
{
    Q_OBJECT
public:
    XClient(QWebFrame *frame, QObject *parent);

    void setCredentials(const QString &clientId, const QString &clientKey, const QString &password);

public slots:
    void login(QString &success_callback, QString &error_callback);
    void uploadImage(QString &file, QVariant &meta, QString &success_callback,
                     QString &error_callback, QString &process_callback);
    void uploadRelease(QString &file, QString type, QString name, QString description,
                       QString date, QString &success_callback, QString &error_callback,
                       QString &process_callback);
    void checkReleases(QString &releases, QString &success_callback, QString &error_callback);
    void attachReleases(QString &id_photo, QString &releases, QString &success_callback,
                        QString &error_callback);
    void getEarnings(QString date_from, QString date_to, QString func_pointer_success,
                     QString func_pointer_error);

private slots:
    void response(QVariant &);
    void fault(int, const QString &);
    void getEarningsResponse(QVariant &);
    void getHashResponse(QVariant &);
    void loginResponse(QVariant &);
    void restrictionsResponse(QVariant &);
    void completeResponse(QVariant &arg);
    void uploadImageResponse(QVariant &arg);
    void uploadImage0Response(QVariant &arg);
    void uploadImage1Response(QVariant &arg);
    void uploadImage2Response(QVariant &arg);
    void photoPrepared();
    void uploadFault(int, const QString &);
    void handleSslErrors(QNetworkReply *reply, const QList<QSslError> &errors);
    void renewSessionId();
    QString md5(QString string);
    void doClient();

private:
    friend struct XClientProbe; // tests read the session state

    CallbackContext contextOfSender(bool withProgress = false) const;

    void callService(const QString &method, const QVariantList &params, const char *replySlot,
                     const CallbackContext &context);
    // False when the script's callback destroyed this client, or there is no page to run it in.
    bool evaluate(const QString &script);
    bool callBack(const QString &name);
    bool callBackWithText(const QString &name, const QString &text);
    bool reportError(const QString &name, const QString &type, const QString &code, const QString &text);
    bool reportError(const QString &name, AppError error);
    // One _uploadFile call, as the page made it.
    struct PhotoUpload
    {
        QString file;
        UploadRestrictions limits;
        QString title;
        QString desc;
        QStringList keywords;
        CallbackContext callbacks;
    };

    void startNextUpload();
    void endUpload();
    void sendUploadStage(int part, const CallbackContext &context);
    void handleUploadStage(QVariant &reply, int part);

    MaiaXmlRpcClient *rpc;
    QString clientId;
    QString clientKey;
    QString passwordHash;
    QString sessionId;
    QQueue<PhotoUpload> uploads; // the first is under way
    QFutureWatcher<PhotoPreparation::Result> *preparation = nullptr;
    PhotoPreparation::Result upload;
    QString uploadUniq;
    UploadRestrictions restrictions;
    QPointer<QWebFrame> frame;
};

#endif
