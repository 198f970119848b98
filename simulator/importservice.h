#ifndef IMPORTSERVICE_H
#define IMPORTSERVICE_H

#include "calllog.h"
#include "earningsgenerator.h"
#include "faultgate.h"
#include "sessionbook.h"
#include "uploadstore.h"

class MaiaXmlRpcServer;

// A strict stand-in for the remote Vendalux import service: each remote
// method is admitted against the session chain and recorded before the part
// that keeps the data answers it.
class ImportService : public QObject
{
    Q_OBJECT
public:
    using Call = CallLog::Call;
    using Photo = UploadStore::Photo;
    using Release = UploadStore::Release;

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
    void setRestrictions(const QVariantMap &restrictions) { uploads.setRestrictions(restrictions); }
    QVariantMap restrictions() const { return uploads.restrictions(); }
    // The next `count` calls of `method` fail as described.
    void injectFault(const QString &method, const FaultGate::InjectedFault &fault, int count = 1)
    {
        gate->injectFault(method, fault, count);
    }
    // Refuses every token but the latest (the renewal of the last accepted one).
    void setStrictTokens(bool on) { sessions.setStrict(on); }
    // Replaces generated earnings answers; an empty record restores them.
    void setEarningsRecord(const QVariantMap &record) { earnings.setRecord(record); }

    QList<Photo> photos() const { return uploads.photos(); }
    QList<Release> releases() const { return uploads.releases(); }
    QHash<QString, QStringList> attachments() const { return uploads.attachments(); }
    QList<Call> calls() const { return log->calls(); }
    void clearCalls() { log->clear(); }

signals:
    void callRecorded(const QString &method, bool accepted, const QString &note);
    // A photo's last stage arrived and the photo was kept, with these metadata blocks.
    void photoStored(const QString &id, const QStringList &metadata);

public: // the remote methods
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
    // The photos kept, as {id, title}: what a batch stored, without their data.
    QVariantList simStoredPhotos();
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
    UploadStore uploads;
    EarningsGenerator earnings;
};

#endif
