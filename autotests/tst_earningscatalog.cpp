#include "catalogfixture.h"
#include "earningscatalog.h"

#include <QDate>
#include <QFile>
#include <QTest>

// EarningsCatalog on catalog files made as the host makes them; the tables are
// read back through a connection of their own, and the host's own connection
// locks, reads or refuses writes while the earnings are stored.
namespace {

const QString today = QStringLiteral("2026-12-06");
const QString account = QStringLiteral("12.5 EUR 0.3");

// One fetch stored as the client stores it: account, today's snapshot, days, one transaction.
bool store(const QString &path, const QStringList &days)
{
    const QStringList date = today.split('-');
    EarningsCatalog catalog(path);
    const bool stored = catalog.begin() && catalog.updateAccount(12.5, QStringLiteral("EUR"), 0.3)
        && catalog.storeSnapshot(CatalogDate{date.value(0), date.value(1), date.value(2)}, 12.5)
        && (days.isEmpty() || catalog.storeDays(days)) && catalog.commit();
    catalog.close();
    return stored;
}

// The host's connection to the catalog.
struct Host
{
    sqlite3 *db = nullptr;
    explicit Host(const QString &path) { sqlite3_open_v2(path.toUtf8(), &db, SQLITE_OPEN_READWRITE, nullptr); }
    ~Host() { sqlite3_close(db); }
    bool run(const QString &sql) { return sqlite3_exec(db, sql.toUtf8(), nullptr, nullptr, nullptr) == SQLITE_OK; }
};

// Rows as the fixture lists them ("type value year-month-day") put in by the host.
QString inserts(const QStringList &rows)
{
    QString sql;
    for (const QString &row : rows) {
        const QStringList fields = QString(row).replace('\'', "''").split(' ');
        const QStringList date = fields.at(2).split('-');
        sql += QString("INSERT INTO stockstats (Value, Type, Day, Month, Year, StockID) "
                       "VALUES ('%1', %2, '%3', '%4', '%5', 1);")
                   .arg(fields.at(1), fields.at(0), date.at(2), date.at(1), date.at(0));
    }
    return sql;
}

// `count` days from January `first` on: as the service lists them, or (`rows`) the rows they make.
QStringList days(int count, int first = 1, bool rows = false)
{
    QStringList list;
    for (int i = first; i < first + count; ++i) {
        const QString date = QDate(2026, 1, i).toString(Qt::ISODate);
        list << (rows ? QStringList{"1 2.5 " + date, "2 3 " + date} : QStringList{date + ":2.5:3"});
    }
    return list;
}

} // namespace

class TestEarningsCatalog : public QObject
{
    Q_OBJECT
private slots:
    void stores_data()
    {
        QTest::addColumn<QStringList>("before"); // rows the catalog holds already
        QTest::addColumn<QStringList>("items");
        QTest::addColumn<QStringList>("after"); // the account, then every row

        const QString snapshot = "0 12.5 " + today;
        const QStringList fresh{account, snapshot};
        const QStringList todayRows{"1 4 " + today, "2 1 " + today};
        QTest::newRow("fresh catalog, no days") << QStringList() << QStringList() << fresh;
        QTest::newRow("yesterday's snapshot kept")
            << QStringList{"0 10 2026-12-05"} << QStringList() << QStringList{account, "0 10 2026-12-05", snapshot};
        // The snapshot is today's type 0 row, never one of today's daily rows.
        QTest::newRow("today's day rows before the snapshot")
            << todayRows + QStringList{"0 10 " + today} << QStringList()
            << QStringList{account} + todayRows + QStringList{snapshot};
        QTest::newRow("today among the days") << QStringList() << QStringList{today + ":4:1"} << fresh + todayRows;

        QTest::newRow("amount and count changed")
            << days(2, 1, true) << QStringList{"2026-01-01:7.25:3", "2026-01-02:2.5:4"}
            << QStringList{account, "1 7.25 2026-01-01", "2 3 2026-01-01", "1 2.5 2026-01-02", "2 4 2026-01-02",
                           snapshot};
        QTest::newRow("only the count there") << QStringList{"2 3 2026-01-01"} << days(1)
                                              << QStringList{account, "2 3 2026-01-01", snapshot, "1 2.5 2026-01-01"};
        QTest::newRow("malformed items skipped")
            << QStringList() << QStringList{"2026-01-01:5", "garbage", "", "2026-01:1:1", "2026-01-02:2.5:3"}
            << fresh + days(1, 2, true);
        QTest::newRow("a day listed twice: its last figures")
            << QStringList() << QStringList{"2026-01-01:2.5:3", "2026-01-02:1:1", "2026-01-01:7.25:4"}
            << fresh + QStringList{"1 7.25 2026-01-01", "2 4 2026-01-01", "1 1 2026-01-02", "2 1 2026-01-02"};

        // More rows than one insert takes: the lookups after a flush see what it wrote.
        QTest::newRow("twenty days, ten there")
            << days(10, 1, true) << days(20)
            << QStringList{account} + days(10, 1, true) + QStringList{snapshot} + days(10, 11, true);
        QTest::newRow("twenty days, the first again")
            << QStringList() << days(20) + QStringList{"2026-01-01:9:9"}
            << fresh + QStringList{"1 9 2026-01-01", "2 9 2026-01-01"} + days(19, 2, true);
        // Values are data, whatever quotes or SQL they carry.
        const QString quoted = "2026-01-0'1", evil = "2026'); DELETE FROM stockstats; /*-01-02";
        QTest::newRow("quotes and SQL in the days")
            << QStringList{"1 1 " + quoted} << QStringList{quoted + ":1:1", evil + ":2:2"}
            << QStringList{account, "1 1 " + quoted, snapshot, "2 1 " + quoted, "1 2 " + evil, "2 2 " + evil};
    }
    void stores()
    {
        QFETCH(QStringList, before);
        QFETCH(QStringList, items);
        CatalogFixture catalog;
        QVERIFY(catalog.ready);
        QVERIFY(Host(catalog.path).run(inserts(before)));
        QVERIFY(store(catalog.path, items));
        QTEST(catalog.stored(), "after");
        QVERIFY(store(catalog.path, items)); // the same fetch again: rows already there stay as they are
        QTEST(catalog.stored(), "after");
    }

    void writesNothingOnFailure_data()
    {
        QTest::addColumn<QString>("host"); // what the host runs while the earnings are stored|after
        QTest::newRow("missing catalog") << "missing";
        QTest::newRow("locked by the host") << "BEGIN EXCLUSIVE|ROLLBACK";
        QTest::newRow("read by the host until after the commit") << "BEGIN; SELECT count(*) FROM stockstats|COMMIT";
        const QString refuse
            = "CREATE TRIGGER refuse BEFORE %1 BEGIN SELECT RAISE(ABORT, 'refused'); END|DROP TRIGGER refuse";
        QTest::newRow("snapshot refused") << refuse.arg("INSERT ON stockstats WHEN NEW.Type=0");
        QTest::newRow("day update refused") << refuse.arg("UPDATE ON stockstats WHEN NEW.Type=1");
        QTest::newRow("a day of the second insert refused") << refuse.arg("INSERT ON stockstats WHEN NEW.Day='19'");
    }
    void writesNothingOnFailure()
    {
        QFETCH(QString, host);
        // Something of every kind to write: an update, a snapshot, more days than one insert takes.
        const QStringList before = days(1, 1, true), items = QStringList{"2026-01-01:7.25:3"} + days(19, 2);
        CatalogFixture reference, catalog;
        QVERIFY(reference.ready && catalog.ready);
        QVERIFY(Host(reference.path).run(inserts(before)) && store(reference.path, items));
        QVERIFY(Host(catalog.path).run(inserts(before)));
        const QStringList unchanged = catalog.stored();

        if (host == "missing") {
            QVERIFY(QFile::remove(catalog.path));
            QVERIFY(!store(catalog.path, items));
            QVERIFY(!QFile::exists(catalog.path)); // never created
            return;
        }
        {
            Host busy(catalog.path);
            QVERIFY(busy.run(host.section('|', 0, 0)));
            QVERIFY(!store(catalog.path, items));
            QVERIFY(busy.run(host.section('|', 1)));
        }
        QCOMPARE(catalog.stored(), unchanged);
        QVERIFY(store(catalog.path, items)); // nothing left behind stops the next fetch
        QCOMPARE(catalog.stored(), reference.stored());
    }
};

QTEST_GUILESS_MAIN(TestEarningsCatalog)
#include "tst_earningscatalog.moc"
