#ifndef CATALOGFIXTURE_H
#define CATALOGFIXTURE_H

#include <QCoreApplication>
#include <QProcess>
#include <QTemporaryDir>

#include <sqlite3.h>

// A catalog as the host makes it, where the client looks for it (a data
// home of its own); SQLite's trace hook records in `statements` every
// statement any connection runs.
struct CatalogFixture {
    QTemporaryDir home;
    QString path = home.filePath(QCoreApplication::applicationName() + QLatin1String("/data/catalog.dat"));
    bool ready = home.isValid() && qputenv("XDG_DATA_HOME", home.path().toLocal8Bit())
        && QProcess::execute(QStringLiteral("python3"), {QStringLiteral(CATALOG_SCRIPT), path}) == 0
        && sqlite3_auto_extension(reinterpret_cast<void (*)()>(&traceConnection)) == SQLITE_OK;
    static inline QStringList statements;

    // The account ("earnings currency rate"), then each day row ("type value year-month-day").
    QStringList stored() const
    {
        QStringList rows;
        sqlite3 *db = nullptr;
        sqlite3_open_v2(path.toUtf8().constData(), &db, SQLITE_OPEN_READONLY, nullptr);
        sqlite3_trace_v2(db, 0, nullptr, nullptr); // reading is no statement of the client's
        for (const char *sql :
             {"SELECT Earnings||' '||Currency||' '||Rate FROM stock WHERE ID=1",
              "SELECT Type||' '||Value||' '||Year||'-'||Month||'-'||Day FROM stockstats ORDER BY ID"}) {
            sqlite3_stmt *query = nullptr;
            sqlite3_prepare_v2(db, sql, -1, &query, nullptr);
            while (sqlite3_step(query) == SQLITE_ROW)
                rows << QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(query, 0)));
            sqlite3_finalize(query);
        }
        sqlite3_close(db);
        return rows;
    }

private:
    static int traceConnection(sqlite3 *db, char **, const sqlite3_api_routines *)
    {
        return sqlite3_trace_v2(db, SQLITE_TRACE_STMT, &record, nullptr);
    }
    static int record(unsigned, void *, void *, void *sql)
    {
        statements << QString::fromUtf8(static_cast<const char *>(sql));
        return 0;
    }
};

#endif
