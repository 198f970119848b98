#ifndef HOSTBRIDGE_H
#define HOSTBRIDGE_H

#include <QObject>
#include <QStringList>
#include <QVariant>

// What the host tells its uploader page, published as window.corvane: the
// photos and release files the user chose, the catalog's statistics, and a
// log and an end signal for scripted sessions.
class HostBridge : public QObject
{
    Q_OBJECT
public:
    HostBridge(const QStringList &photos, const QStringList &releases, bool scripted, QObject *parent);

    void setCredentials(const QString &clientId, const QString &clientKey, const QString &password);

public slots:
    QVariantList photos() const;
    QVariantList releases() const;
    bool scripted() const;
    QVariantMap credentials() const;
    // Daily amounts (type 1 rows) of the catalog, oldest first: {date, amount}.
    QVariantList dailyAmounts() const;
    QVariantMap account() const;
    void log(const QString &line);
    void finish(bool succeeded, const QString &summary);

signals:
    void sessionFinished(bool succeeded, const QString &summary);

private:
    static QVariantList fileEntries(const QStringList &paths);

    QStringList photoPaths;
    QStringList releasePaths;
    bool scriptedSession;
    QVariantMap demoCredentials;
};

#endif
