#include "earningscatalog.h"

#include <QSet>
#include <QSqlError>
#include <QUrl>
#include <QVariant>

namespace {

const QString connectionName = QStringLiteral("catalog");
constexpr int maxPendingBeforeFlush = 30;

// A value between single quotes: its own quotes doubled, so that no text
// from the service can change a statement.
QString quoted(const QString &value)
{
    return QLatin1Char('\'') + QString(value).replace(QLatin1Char('\''), QLatin1String("''"))
        + QLatin1Char('\'');
}

QString real(double value)
{
    return QString::number(value, 'g', 6);
}

QSqlDatabase openCatalog(const QString &path)
{
    // Replace an earlier registration; nothing of it is in use any more.
    if (QSqlDatabase::contains(connectionName))
        QSqlDatabase::removeDatabase(connectionName);
    QSqlDatabase database = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connectionName);
    // mode=rw: a missing catalog stays missing. A short busy wait, so that a
    // catalog the host keeps locked cannot freeze the page for long.
    database.setConnectOptions(QStringLiteral("QSQLITE_OPEN_URI;QSQLITE_BUSY_TIMEOUT=200"));
    database.setDatabaseName(QUrl::fromLocalFile(path).toString(QUrl::FullyEncoded)
                             + QLatin1String("?mode=rw"));
    database.open();
    return database;
}

QString dayConditions(const CatalogDate &date)
{
    return QLatin1String("StockID=1 AND Year=") + quoted(date.year) + QLatin1String(" AND Month=")
        + quoted(date.month) + QLatin1String(" AND Day=") + quoted(date.day);
}

QString tuple(const QString &value, int type, const CatalogDate &date)
{
    return QLatin1String("(NULL, ") + quoted(value) + QLatin1Char(',') + QString::number(type)
        + QLatin1Char(',') + quoted(date.day) + QLatin1Char(',') + quoted(date.month) + QLatin1Char(',')
        + quoted(date.year) + QLatin1String(", 1)");
}

QString valueUpdate(const QString &figure, const QString &rowId)
{
    return QLatin1String("UPDATE stockstats SET Value=") + quoted(figure) + QLatin1String(" WHERE ID=")
        + quoted(rowId);
}

const QString insertHead = QStringLiteral("INSERT INTO stockstats (ID, Value, Type, Day, Month, Year, StockID) VALUES ");

} // namespace

EarningsCatalog::EarningsCatalog(const QString &path)
    : database(openCatalog(path))
    , query(database)
{
}

bool EarningsCatalog::execute(const QString &statement)
{
    return database.isOpen() && query.exec(statement);
}

bool EarningsCatalog::rows(const QString &statement, QList<Row> *result)
{
    // Read the whole result first: updates run on the same query object.
    if (!execute(statement))
        return false;
    while (query.next())
        result->append({query.value(0).toString(), query.value(1).toString(), query.value(2).toInt()});
    return query.lastError().type() == QSqlError::NoError;
}

bool EarningsCatalog::begin()
{
    uncommitted = execute(QStringLiteral("BEGIN IMMEDIATE"));
    return uncommitted;
}

bool EarningsCatalog::commit()
{
    if (!uncommitted || !execute(QStringLiteral("COMMIT")))
        return false;
    uncommitted = false;
    return true;
}

bool EarningsCatalog::updateAccount(double value, const QString &currency, double rate)
{
    return execute(QLatin1String("UPDATE stock SET Earnings=") + quoted(real(value)) + QLatin1String(", Currency=")
            + quoted(currency) + QLatin1String(", Rate=") + quoted(real(rate)) + QLatin1String(" WHERE ID=1"));
}

bool EarningsCatalog::storeSnapshot(const CatalogDate &today, double value)
{
    QList<Row> snapshot;
    if (!rows(QLatin1String("SELECT ID, Value, Type from stockstats WHERE ") + dayConditions(today)
                  + QLatin1String(" AND Type=0 LIMIT 0,1"),
              &snapshot))
        return false;
    if (snapshot.isEmpty()) {
        return execute(insertHead + QLatin1String("(NULL, ") + quoted(real(value)) + QLatin1String(",0,")
                + quoted(today.day) + QLatin1Char(',') + quoted(today.month) + QLatin1Char(',')
                + quoted(today.year) + QLatin1String(", 1);"));
    } else if (!(snapshot.first().value.toDouble() == value)) { // NaN is never equal
        return execute(valueUpdate(real(value), snapshot.first().id));
    }
    return true;
}

bool EarningsCatalog::storeDays(const QStringList &items)
{
    QString pending;
    int pendingCount = 0;
    QSet<QString> pendingDays;
    auto addPending = [&](const QString &newTuple) {
        if (!pending.isEmpty())
            pending += QLatin1Char(',');
        pending += newTuple;
        ++pendingCount;
    };
    auto flush = [&] {
        const bool done = execute(insertHead + pending + QLatin1Char(';'));
        pending.clear();
        pendingCount = 0;
        pendingDays.clear();
        return done;
    };

    for (const QString &item : items) {
        const QStringList fields = item.split(QLatin1Char(':'));
        const QStringList pieces = fields.value(0).split(QLatin1Char('-'));
        if (fields.size() < 3 || pieces.size() < 3)
            continue; // not a day the service would send
        const CatalogDate date{pieces.at(0), pieces.at(1), pieces.at(2)};
        const double amount = fields.at(1).toDouble();
        const int count = fields.at(2).toInt(nullptr, 10);
        // A day listed again: its lookup must see the rows still pending, or they would be written twice.
        if (pendingDays.contains(fields.at(0)) && !flush())
            return false;

        bool amountPresent = false;
        bool countPresent = false;
        QList<Row> existing;
        if (!rows(QLatin1String("SELECT ID, Value, Type from stockstats WHERE ") + dayConditions(date), &existing))
            return false;
        for (const Row &row : qAsConst(existing)) {
            if (row.type == 1) {
                amountPresent = true;
                if (!(row.value.toDouble() == amount) && !execute(valueUpdate(real(amount), row.id)))
                    return false;
            } else if (row.type == 2) {
                countPresent = true;
                if (row.value.toInt() != count && !execute(valueUpdate(QString::number(count), row.id)))
                    return false;
            }
        }
        if (!amountPresent)
            addPending(tuple(real(amount), 1, date));
        if (!countPresent)
            addPending(tuple(QString::number(count), 2, date));
        if (!amountPresent || !countPresent)
            pendingDays.insert(fields.at(0));
        if (pendingCount > maxPendingBeforeFlush && !flush())
            return false;
    }
    return pendingCount == 0 || flush();
}

void EarningsCatalog::close()
{
    query.finish();
    if (uncommitted)
        query.exec(QStringLiteral("ROLLBACK"));
    uncommitted = false;
    database.close();
}
