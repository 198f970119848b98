#include "signinfixture.h"
#include "xclientprobe.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <sqlite3.h>

// Earnings fetched from the simulated service into real SQLite catalogs;
// SQLite's own trace hook counts the statements the client runs.
namespace {

QStringList traced;

int recordStatement(unsigned type, void *, void *, void *sql)
{
    if (type == SQLITE_TRACE_STMT)
        traced << QString::fromUtf8(static_cast<const char *>(sql));
    return 0;
}

int traceEveryConnection(sqlite3 *db, char **, const sqlite3_api_routines *)
{
    sqlite3_trace_v2(db, SQLITE_TRACE_STMT, recordStatement, nullptr);
    return SQLITE_OK;
}

QStringList statementsOn(const QString &table, const QStringList &statements)
{
    return statements.filter(table);
}

QString days(const QDate &first, int count, double amount = 2.5, int photos = 3)
{
    QStringList items;
    for (int i = 0; i < count; ++i)
        items << QStringLiteral("%1:%2:%3").arg(first.addDays(i).toString(Qt::ISODate), QString::number(amount, 'g', 10)).arg(photos);
    return items.join(QLatin1Char('|'));
}

QVariantMap record(const QString &data, double value = 12.5, const QString &today = QStringLiteral("2026-12-06"))
{
    return {{"today", today}, {"currency", "EUR"}, {"value", value}, {"rate", 0.3}, {"data", data}};
}

} // namespace

class TestEarnings : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void emptyDayList();
    void firstFetchBatchesInserts();
    void secondIdenticalFetchWritesNothing();
    void precisionBeyondSixDigitsIsRewritten();
    void changedAmountUpdatesOnlyThatRow();
    void snapshotUpdatedInPlace();
    void datePiecesKeptAsText();
    void quotesCannotAlterStatements();
    void unusableCatalog_data();
    void unusableCatalog();
    void malformedReplies_data();
    void malformedReplies();

private:
    // Fetches with the service answering `reply`, returns the statements run.
    QStringList fetch(const QVariantMap &reply);
    QList<QStringList> storedDays();
    QStringList account();

    std::unique_ptr<QTemporaryDir> dataHome;
    std::unique_ptr<SignInFixture> f;
    QString catalogPath;
    int callbacks = 0;
};

void TestEarnings::initTestCase()
{
    QVERIFY(sqlite3_auto_extension(reinterpret_cast<void (*)()>(traceEveryConnection)) == SQLITE_OK);
}

void TestEarnings::init()
{
    dataHome.reset(new QTemporaryDir);
    QVERIFY(dataHome->isValid());
    qputenv("XDG_DATA_HOME", dataHome->path().toLocal8Bit());
    catalogPath = dataHome->filePath(QCoreApplication::applicationName() + "/data/catalog.dat");
    QCOMPARE(QProcess::execute(QStringLiteral("python3"), {QStringLiteral(CATALOG_SCRIPT), catalogPath}), 0);

    f.reset(new SignInFixture);
    QVERIFY(f->ready);
    QVERIFY(f->signedIn());
    callbacks = 1;
}

void TestEarnings::cleanup()
{
    f.reset();
    QSqlDatabase::removeDatabase(QStringLiteral("check"));
    dataHome.reset();
}

QStringList TestEarnings::fetch(const QVariantMap &reply)
{
    f->service.setEarningsRecord(reply);
    traced.clear();
    f->client.getEarnings(QStringLiteral("2026-01-01"), QStringLiteral("2026-01-31"), QStringLiteral("onOk"),
                          QStringLiteral("onErr"));
    if (!f->page.waitForCallbacks(++callbacks))
        return {QStringLiteral("no callback")};
    return traced;
}

QList<QStringList> TestEarnings::storedDays()
{
    QList<QStringList> result;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("check"));
        db.setDatabaseName(catalogPath);
        if (!db.open())
            return result;
        QSqlQuery query(QStringLiteral("SELECT Type, Value, Year, Month, Day FROM stockstats ORDER BY ID"), db);
        while (query.next())
            result << QStringList{query.value(0).toString(), query.value(1).toString(), query.value(2).toString(),
                                  query.value(3).toString(), query.value(4).toString()};
    }
    QSqlDatabase::removeDatabase(QStringLiteral("check"));
    return result;
}

QStringList TestEarnings::account()
{
    QStringList result;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("check"));
        db.setDatabaseName(catalogPath);
        db.open();
        QSqlQuery query(QStringLiteral("SELECT Earnings, Currency, Rate FROM stock WHERE ID=1"), db);
        if (query.next())
            result = QStringList{query.value(0).toString(), query.value(1).toString(), query.value(2).toString()};
    }
    QSqlDatabase::removeDatabase(QStringLiteral("check"));
    return result;
}

void TestEarnings::emptyDayList()
{
    const QStringList statements = fetch(record(QString()));
    QCOMPARE(statements, (QStringList{
        "BEGIN IMMEDIATE",
        "UPDATE stock SET Earnings='12.5', Currency='EUR', Rate='0.3' WHERE ID=1",
        "SELECT ID, Value, Type from stockstats WHERE StockID=1 AND Year='2026' AND Month='12' AND Day='06' AND Type=0 LIMIT 0,1",
        "INSERT INTO stockstats (ID, Value, Type, Day, Month, Year, StockID) VALUES (NULL, '12.5',0,'06','12','2026', 1);",
        "COMMIT"}));
    QCOMPARE(f->page.received().last().toObject(), (QJsonObject{{"cb", "onOk"}, {"args", QJsonArray()}}));
    QCOMPARE(account(), (QStringList{"12.5", "EUR", "0.3"}));
    QCOMPARE(storedDays(), (QList<QStringList>{{"0", "12.5", "2026", "12", "06"}}));
    const ImportService::Call call = f->service.calls().last();
    QCOMPARE(call.method, QStringLiteral("getEarnings"));
    QCOMPARE(call.params.mid(1), (QVariantList{"2026-01-01", "2026-01-31"}));
    QCOMPARE(XClientProbe::sessionId(f->client), SignInFixture::renewed(call.token));
}

void TestEarnings::firstFetchBatchesInserts()
{
    const QStringList statements = statementsOn("stockstats", fetch(record(days(QDate(2026, 1, 1), 20))));
    QStringList kinds;
    for (const QString &statement : statements)
        kinds << statement.section(QLatin1Char(' '), 0, 0);
    QStringList expected{"SELECT", "INSERT"}; // snapshot
    for (int i = 0; i < 16; ++i)
        expected << "SELECT";
    expected << "INSERT";
    for (int i = 0; i < 4; ++i)
        expected << "SELECT";
    expected << "INSERT";
    QCOMPARE(kinds, expected);
    QCOMPARE(statements.at(18).count(QLatin1String("(NULL, ")), 32);
    QCOMPARE(statements.last().count(QLatin1String("(NULL, ")), 8);
    QVERIFY2(statements.at(18).contains(QLatin1String("VALUES (NULL, '2.5',1,'01','01','2026', 1),(NULL, '3',2,'01','01','2026', 1),")),
             qPrintable(statements.at(18)));
    QVERIFY(statements.last().endsWith(QLatin1String("(NULL, '3',2,'20','01','2026', 1);")));
    QCOMPARE(storedDays().size(), 41);
}

void TestEarnings::secondIdenticalFetchWritesNothing()
{
    const QVariantMap reply = record(days(QDate(2026, 1, 1), 20, 1234.5));
    fetch(reply);
    const QList<QStringList> before = storedDays();
    const QStringList again = statementsOn("stockstats", fetch(reply));
    QCOMPARE(again.filter(QRegularExpression(QStringLiteral("^(INSERT|UPDATE)"))), QStringList());
    QCOMPARE(again.size(), 21); // the snapshot lookup and one lookup a day
    QCOMPARE(storedDays(), before);
}

void TestEarnings::precisionBeyondSixDigitsIsRewritten()
{
    const QVariantMap reply = record(days(QDate(2026, 1, 1), 1, 1234.5678));
    fetch(reply);
    QCOMPARE(storedDays().at(1).at(1), QStringLiteral("1234.57"));
    const QStringList writes = statementsOn("stockstats", fetch(reply)).filter(QRegularExpression(QStringLiteral("^(INSERT|UPDATE)")));
    QCOMPARE(writes.size(), 1);
    QVERIFY2(writes.at(0).startsWith(QLatin1String("UPDATE stockstats SET Value='1234.57' WHERE ID='")), qPrintable(writes.at(0)));
    QCOMPARE(storedDays().size(), 3);
}

void TestEarnings::changedAmountUpdatesOnlyThatRow()
{
    fetch(record(days(QDate(2026, 1, 1), 3)));
    QString changed = days(QDate(2026, 1, 1), 3);
    changed.replace(QLatin1String("2026-01-02:2.5:3"), QLatin1String("2026-01-02:7.25:3"));
    const QStringList writes = statementsOn("stockstats", fetch(record(changed))).filter(QRegularExpression(QStringLiteral("^(INSERT|UPDATE)")));
    QCOMPARE(writes.size(), 1);
    QVERIFY(writes.at(0).startsWith(QLatin1String("UPDATE stockstats SET Value='7.25' WHERE ID='")));
    const QList<QStringList> rows = storedDays();
    QCOMPARE(rows.size(), 7);
    QCOMPARE(rows.at(3), (QStringList{"1", "7.25", "2026", "01", "02"}));
    QCOMPARE(rows.at(4), (QStringList{"2", "3", "2026", "01", "02"}));
}

void TestEarnings::snapshotUpdatedInPlace()
{
    const QString todayItem = QStringLiteral("2026-12-06:4:1");
    fetch(record(todayItem, 10));
    const QStringList statements = statementsOn("stockstats", fetch(record(todayItem, 11.5)));
    const QStringList writes = statements.filter(QRegularExpression(QStringLiteral("^(INSERT|UPDATE)")));
    QCOMPARE(writes.size(), 1); // the day's own rows are present and unchanged
    QVERIFY(writes.at(0).startsWith(QLatin1String("UPDATE stockstats SET Value='11.5' WHERE ID='")));
    const QList<QStringList> rows = storedDays();
    QCOMPARE(rows, (QList<QStringList>{{"0", "11.5", "2026", "12", "06"}, {"1", "4", "2026", "12", "06"}, {"2", "1", "2026", "12", "06"}}));
}

void TestEarnings::datePiecesKeptAsText()
{
    const QStringList statements = fetch(record(QStringLiteral("2026-07-07:1:1"), 1, QStringLiteral("2026-07-05")));
    QCOMPARE(statements.filter(QLatin1String("Month='07' AND Day='07'")).size(), 1);
    QCOMPARE(storedDays().at(1), (QStringList{"1", "1", "2026", "07", "07"}));
}

void TestEarnings::quotesCannotAlterStatements()
{
    QVariantMap reply = record(QStringLiteral("2026-01-0'1:1:1|2026-01-02:2:2"));
    reply.insert("currency", QStringLiteral("x'; DROP TABLE stock; --"));
    fetch(reply);
    QCOMPARE(account().value(1), QStringLiteral("x'; DROP TABLE stock; --"));
    const QList<QStringList> rows = storedDays();
    QCOMPARE(rows.size(), 5);
    QCOMPARE(rows.at(1), (QStringList{"1", "1", "2026", "01", "0'1"}));
}

void TestEarnings::unusableCatalog_data()
{
    QTest::addColumn<QString>("obstacle");
    QTest::newRow("missing") << "missing";
    QTest::newRow("locked by the host") << "locked";
    QTest::newRow("a write refused midway") << "trigger";
}

// Nothing or everything: the page hears 125 and no row is written, and the
// next fetch, once the catalog is usable, writes every row once.
void TestEarnings::unusableCatalog()
{
    QFETCH(QString, obstacle);
    QSqlDatabase host;
    if (obstacle == QLatin1String("missing")) {
        QVERIFY(QFile::remove(catalogPath));
    } else {
        host = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("host"));
        host.setDatabaseName(catalogPath);
        QVERIFY(host.open());
        QVERIFY(QSqlQuery(host).exec(obstacle == QLatin1String("locked")
                                         ? QStringLiteral("BEGIN EXCLUSIVE")
                                         : QStringLiteral("CREATE TRIGGER refuse BEFORE INSERT ON stockstats "
                                                          "WHEN NEW.Day='02' BEGIN SELECT RAISE(ABORT, 'no'); END")));
    }
    const QVariantMap reply = record(days(QDate(2026, 1, 1), 2));
    fetch(reply);
    QCOMPARE(f->page.received().last().toObject(),
             (QJsonObject{{"cb", "onErr"},
                          {"args", QJsonArray{QJsonObject{{"error_type", "app"}, {"error_code", "125"}, {"error_text", "Catalog unavailable"}}}}}));
    QCOMPARE(XClientProbe::sessionId(f->client), SignInFixture::renewed(f->service.calls().last().token));
    if (obstacle == QLatin1String("missing")) {
        QVERIFY2(!QFile::exists(catalogPath), "a missing catalog is never created");
        return;
    }
    QSqlQuery(host).exec(obstacle == QLatin1String("locked") ? QStringLiteral("ROLLBACK") : QStringLiteral("DROP TRIGGER refuse"));
    host.close();
    host = QSqlDatabase();
    QSqlDatabase::removeDatabase(QStringLiteral("host"));
    QCOMPARE(storedDays(), QList<QStringList>());
    QCOMPARE(account().value(1), QString()); // the account row is as the host made it

    fetch(reply);
    QCOMPARE(f->page.received().last().toObject().value("cb").toString(), QStringLiteral("onOk"));
    QCOMPARE(storedDays().size(), 5);
}

void TestEarnings::malformedReplies_data()
{
    QTest::addColumn<QVariantMap>("reply");
    QTest::addColumn<bool>("reported");
    QTest::addColumn<int>("rowsStored");

    QTest::newRow("today without day") << record(days(QDate(2026, 1, 1), 1), 1, "2026-12") << true << 0;
    QTest::newRow("today missing") << QVariantMap{{"value", 1}, {"data", "2026-01-01:1:1"}} << true << 0;
    QTest::newRow("odd items skipped") << record(QStringLiteral("2026-01-01:5|garbage||2026-01-02:1:1|2026-01:1:1"))
                                       << false << 3;
}

void TestEarnings::malformedReplies()
{
    QFETCH(QVariantMap, reply);
    QFETCH(bool, reported);
    QFETCH(int, rowsStored);
    const QStringList statements = fetch(reply);
    const QJsonObject last = f->page.received().last().toObject();
    if (reported) {
        QCOMPARE(last.value("cb").toString(), QStringLiteral("onErr"));
        QCOMPARE(last.value("args").toArray().at(0).toObject(),
                 (QJsonObject{{"error_type", "app"}, {"error_code", "124"}, {"error_text", "Malformed earnings reply"}}));
        QCOMPARE(statements, QStringList());
    } else {
        QCOMPARE(last.value("cb").toString(), QStringLiteral("onOk"));
    }
    QCOMPARE(storedDays().size(), rowsStored);
    QCOMPARE(XClientProbe::sessionId(f->client), SignInFixture::renewed(f->service.calls().last().token));
}

QTEST_MAIN(TestEarnings)
#include "tst_earnings.moc"
