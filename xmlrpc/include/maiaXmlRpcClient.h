#ifndef MAIAXMLRPCCLIENT_H
#define MAIAXMLRPCCLIENT_H

#include <QMap>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QObject>
#include <QSslConfiguration>
#include <QSslError>
#include <QUrl>
#include <QVariant>

class MaiaObject;
class QNetworkReply;

// Posts XML-RPC calls to one endpoint and delivers each outcome to the
// receiver named at call time; the call's tag travels as the sender's "name".
class MaiaXmlRpcClient : public QObject
{
    Q_OBJECT
public:
    explicit MaiaXmlRpcClient(QObject *parent = nullptr);
    explicit MaiaXmlRpcClient(QUrl url, QObject *parent = nullptr);
    MaiaXmlRpcClient(QUrl url, QString userAgent, QObject *parent = nullptr);

    void setUrl(QUrl url);
    void setUserAgent(QString userAgent);
    QSslConfiguration sslConfiguration() const;
    void setSslConfiguration(const QSslConfiguration &config);

    QNetworkReply *call(QString method, QList<QVariant> args, QObject *responseObject,
                        const char *responseSlot, QObject *faultObject, const char *faultSlot,
                        QString tag);

signals:
    void sslErrors(QNetworkReply *reply, const QList<QSslError> &errors);

private slots:
    void replyFinished(QNetworkReply *);
    void refuseOversizedReply(qint64 received, qint64 total);

private:
    void init();

    QNetworkAccessManager accessManager;
    QNetworkRequest request;
    QMap<QNetworkReply *, MaiaObject *> pendingCalls;
};

#endif
