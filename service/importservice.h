#ifndef IMPORTSERVICE_H
#define IMPORTSERVICE_H

#include "calllog.h"
#include "faultgate.h"
#include "sessionbook.h"

#include <QDate>
#include <QHash>
#include <QList>
#include <QObject>
#include <QString>
#include <QVariant>

class MaiaXmlRpcServer;

// A strict stand-in for the remote Vendalux import service: it checks every
// session token against the chain it computes itself, records every call,
// and can be told to fail the next calls of a method in several ways.
class ImportService : public QObject
{
    Q_OBJECT
public:
    struct Photo {
        QString id;
        QString uniq;
        QString ext;
        QByteArray bytes;
        QString title;
        QString desc;
        QString keywords;
    };
    struct Release {
        QString id;
        QString ext;
        QByteArray bytes;
        QString type;
        QString name;
        QString description;
        QString date;
    };
    using Call = CallLog::Call;

    static const QString demoClientId;
    static const QString demoClientKey;
    static const QString demoPassword;

    explicit ImportService(QObject *parent = nullptr);

    // Listens on 127.0.0.1; port 0 picks a free one.
    bool listen(quint16 port);
    quint16 port() const { return gate->serverPort(); }

    void addAccount(const QString &clientId, const QString &clientKey, const QString &password)
    {
        sessions.addAccount(clientId, clientKey, password);
    }
    void setRestrictions(const QVariantMap &restrictions);
    QVariantMap restrictions() const;

    // The next `count` calls of `method` fail as described.
    void injectFault(const QString &method, const FaultGate::InjectedFault &fault, int count = 1)
    {
        gate->injectFault(method, fault, count);
    }

    // Earnings: a day list made from the dates themselves, so answers are
    // deterministic; tests replace the whole record to send odd replies.
    void setEarningsRecord(const QVariantMap &record);
    static QVariantMap generatedEarnings(const QDate &from, const QDate &to, const QDate &today);

    QList<Photo> photos() const { return storedPhotos; }
    QList<Release> releases() const { return storedReleases; }
    QHash<QString, QStringList> attachments() const { return attached; }

    QList<Call> calls() const { return log->calls(); }
    void clearCalls() { log->clear(); }

signals:
    void callRecorded(const QString &method, bool accepted, const QString &note);

public slots:
    QVariantMap getHash(const QString &clientId);
    QVariantMap login(const QString &token);
    QVariantMap getRestrictions(const QString &token);
    QVariantMap getEarnings(const QString &token, const QString &dateFrom, const QString &dateTo);
    QVariantMap addPhoto(const QString &token, const QVariantMap &record);
    QVariantMap addRelease(const QString &token, const QVariantMap &record, const QString &type,
                           const QString &name, const QString &description, const QString &date);
    QVariantMap checkReleases(const QString &token, const QString &releases);
    QVariantMap attachReleases(const QString &token, const QString &photoId, const QString &releases);

    // Control methods for other processes (tests, the demo).
    QVariantMap simInjectFault(const QString &method, const QString &kind, int count, int code,
                               const QString &text, int after);
    QVariantMap simSetRestrictions(const QVariantMap &restrictions);
    QVariantList simCallLog();
    QVariantMap simSetEarningsRecord(const QVariantMap &record);

private:
    struct Admission {
        QVariantMap refusal; // empty when the call may go on
        explicit operator bool() const { return refusal.isEmpty(); }
    };
    // Checks the token (the first parameter) on its chain and records the call.
    Admission admit(const QString &method, const QVariantList &params);

    CallLog *log;
    FaultGate *gate;
    SessionBook sessions;
    // Checks a finished ".jpg" upload against the announced limits; empty when it passes.
    QString photoRefusal(const QByteArray &bytes) const;

    struct PendingUpload {
        int nextPart = 0;
        QString ext;
        QString text;
    };
    QHash<QString, PendingUpload> pendingUploads; // by "uniq"
    QList<Photo> storedPhotos;
    QList<Release> storedReleases;
    QHash<QString, QStringList> attached; // photo id to release ids
    QVariantMap limits;
    QVariantMap earningsRecord; // empty: generated from the requested dates
};

#endif
