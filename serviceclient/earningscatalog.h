#ifndef EARNINGSCATALOG_H
#define EARNINGSCATALOG_H

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <QStringList>

// A date as the service writes it: the pieces stay text, so "07" stays "07".
struct CatalogDate {
    QString year;
    QString month;
    QString day;
};

// Writes earnings into the host's catalog: the account row, today's
// snapshot and the daily amounts and counts, without duplicates, all in one
// transaction. It never creates the file. Every step says whether it
// worked: a lookup that failed is not "no row", or rows would be written twice.
class EarningsCatalog
{
public:
    explicit EarningsCatalog(const QString &path);

    // Takes the write lock, or fails at once with the catalog missing or locked.
    bool begin();
    bool updateAccount(double value, const QString &currency, double rate);
    bool storeSnapshot(const CatalogDate &today, double value);
    // Items "year-month-day:amount:count"; malformed items are skipped.
    bool storeDays(const QStringList &items);
    bool commit();
    // Undoes whatever began; then closes.
    void close();

private:
    struct Row {
        QString id;
        QString value;
        int type;
    };
    bool rows(const QString &statement, QList<Row> *result);
    bool execute(const QString &statement);

    QSqlDatabase database;
    QSqlQuery query;
    bool uncommitted = false;
};

#endif
