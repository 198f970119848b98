#ifndef XCLIENT_H
#define XCLIENT_H

#include <QList>
#include <QObject>
#include <QSslError>
#include <QString>
#include <QStringList>
#include <QVariant>

class MaiaXmlRpcClient;
class QNetworkReply;
class QWebFrame;
struct XClientProbe;

// The client of the Vendalux import service. Each operation runs a chain of
// remote calls; results, progress and errors go back to the page by
// evaluating calls of the page's own callback functions in `frame`.
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
    void handleSslErrors(QNetworkReply *reply, const QList<QSslError> &errors);
    void renewSessionId();
    QString md5(QString string);
    void doClient();

private:
    friend struct XClientProbe; // tests read the session state

    // The page's callback names, as they travel with each remote call.
    struct Callbacks {
        QString success;
        QString progress;
        QString error;
    };
    QString contextOfSender() const;
    Callbacks callbacksOfSender(bool withProgress = false) const;

    void callService(const QString &method, const QVariantList &params, const char *replySlot,
                     const QString &context);
    void evaluate(const QString &script);
    void callBack(const QString &name);
    void callBackWithText(const QString &name, const QString &text);
    void reportError(const QString &name, const QString &type, const QString &code,
                     const QString &text);
    // Checks a ".jpg" photo and re-encodes it into a temporary JPEG; false
    // when a check refused it (the page has been told).
    bool prepareJpeg(QString &file, const QString &error_callback);
    void removeTempFile();
    void sendUploadStage(int part, const QString &context);
    void handleUploadStage(QVariant &reply, int part);

    MaiaXmlRpcClient *rpc;
    QString clientId;
    QString clientKey;
    QString passwordHash;
    QString sessionId;
    QString uploadParts[4];
    QString uploadUniq;
    QString uploadExt;
    QString uploadTitle;
    QString uploadDesc;
    QStringList uploadKeywords;
    QString uploadTempFile;
    QStringList exts;
    int max_mpx;
    int min_mpx;
    int min_w;
    int min_h;
    int max_r;
    int q;
    QWebFrame *frame;
};

#endif
