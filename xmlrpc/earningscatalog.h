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
// snapshot and the daily amounts and counts, without duplicates. It never
// creates the file, and failed statements change nothing and report nothing.
class EarningsCatalog
{
public:
    explicit EarningsCatalog(const QString &path);

    void updateAccount(double value, const QString &currency, double rate);
    void storeSnapshot(const CatalogDate &today, double value);
    // Items "year-month-day:amount:count"; malformed items are skipped.
    void storeDays(const QStringList &items);
    void close();

private:
    struct Row {
        QString id;
        QString value;
        int type;
    };
    QList<Row> rows(const QString &statement);
    void execute(const QString &statement);

    QSqlDatabase database;
    QSqlQuery query;
};

#endif
