#include "hostbridge.h"

#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QTextStream>
#include <QUrl>

namespace {

const QString statsConnection = QStringLiteral("corvane-host-stats");

QString catalogPath()
{
    return QStandardPaths::standardLocations(QStandardPaths::DataLocation).value(0)
        + QLatin1String("/data/catalog.dat");
}

// Runs `statement` read-only on the catalog and hands each row to `take`.
template<typename Take>
void readCatalog(const QString &statement, Take take)
{
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), statsConnection);
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
        db.setDatabaseName(catalogPath());
        if (QFileInfo::exists(catalogPath()) && db.open()) {
            QSqlQuery query(statement, db);
            while (query.next())
                take(query);
        }
    }
    QSqlDatabase::removeDatabase(statsConnection);
}

} // namespace

HostBridge::HostBridge(const QStringList &photos, const QStringList &releases, bool scripted, QObject *parent)
    : QObject(parent)
    , photoPaths(photos)
    , releasePaths(releases)
    , scriptedSession(scripted)
{
}

void HostBridge::setCredentials(const QString &clientId, const QString &clientKey, const QString &password)
{
    demoCredentials = {{"clientId", clientId}, {"clientKey", clientKey}, {"password", password}};
}

QVariantList HostBridge::fileEntries(const QStringList &paths)
{
    QVariantList entries;
    for (const QString &path : paths) {
        const QFileInfo info(path);
        entries.append(QVariantMap{{"path", info.absoluteFilePath()},
                                   {"name", info.fileName()},
                                   {"url", QUrl::fromLocalFile(info.absoluteFilePath()).toString()},
                                   {"size", info.size()}});
    }
    return entries;
}

QVariantList HostBridge::photos() const
{
    return fileEntries(photoPaths);
}

QVariantList HostBridge::releases() const
{
    return fileEntries(releasePaths);
}

bool HostBridge::scripted() const
{
    return scriptedSession;
}

QVariantMap HostBridge::credentials() const
{
    return demoCredentials;
}

QVariantList HostBridge::dailyAmounts() const
{
    QVariantList days;
    readCatalog(QStringLiteral("SELECT Year, Month, Day, Value FROM stockstats WHERE StockID=1 AND Type=1 "
                               "ORDER BY Year, Month, Day"),
                [&days](const QSqlQuery &row) {
                    days.append(QVariantMap{{"date", row.value(0).toString() + '-' + row.value(1).toString()
                                                         + '-' + row.value(2).toString()},
                                            {"amount", row.value(3).toDouble()}});
                });
    return days;
}

QVariantMap HostBridge::account() const
{
    QVariantMap account;
    readCatalog(QStringLiteral("SELECT Earnings, Currency, Rate FROM stock WHERE ID=1"),
                [&account](const QSqlQuery &row) {
                    account = {{"earnings", row.value(0).toString()},
                               {"currency", row.value(1).toString()},
                               {"rate", row.value(2).toString()}};
                });
    return account;
}

void HostBridge::log(const QString &line)
{
    QTextStream(stdout) << line << Qt::endl;
}

void HostBridge::finish(bool succeeded, const QString &summary)
{
    emit sessionFinished(succeeded, summary);
}
