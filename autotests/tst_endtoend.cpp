#include "maiaXmlRpcClient.h"
#include "outcomerecorder.h"

#include <QImage>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>

// corvane-host headless with the real page against a vendalux-sim process,
// checked from the outside: output, the simulator's record, the catalog and
// the screenshot.
class TestEndToEnd : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void scriptedSessionSucceeds();
    void failuresShowAndTheQueueGoesOn();

private:
    QVariant control(const QString &method, const QVariantList &args);
    QString runHost(int photos, int *exitCode);
    int catalogRows(const QString &table);

    std::unique_ptr<QTemporaryDir> workDir; // anew for every test
    QProcess simulator;
    quint16 port = 0;
};

void TestEndToEnd::init()
{
    workDir.reset(new QTemporaryDir);
    QVERIFY(workDir->isValid());
    simulator.start(QStringLiteral(SIMULATOR), {QStringLiteral("--port"), QStringLiteral("0")});
    QVERIFY(simulator.waitForStarted(10000));
    QTRY_VERIFY_WITH_TIMEOUT(simulator.canReadLine(), 10000);
    port = simulator.readLine().trimmed().toUShort();
    QVERIFY(port != 0);
    QCOMPARE(QProcess::execute(QStringLiteral("python3"), {QStringLiteral(CATALOG_SCRIPT),
                                                           workDir->filePath("data/Corvane/data/catalog.dat")}), 0);
    for (int i = 1; i <= 3; ++i) {
        QImage photo(2500, 2000, QImage::Format_RGB32);
        photo.fill(QColor(30 * i, 100, 200));
        QVERIFY(photo.save(workDir->filePath(QStringLiteral("photo%1.jpg").arg(i)), "JPEG", 80));
    }
    QFile release(workDir->filePath("release.pdf"));
    QVERIFY(release.open(QIODevice::WriteOnly));
    release.write("%PDF-1.4 release");
}

void TestEndToEnd::cleanup()
{
    simulator.kill();
    simulator.waitForFinished(5000);
}

QVariant TestEndToEnd::control(const QString &method, const QVariantList &args)
{
    MaiaXmlRpcClient client(QUrl(QStringLiteral("http://127.0.0.1:%1/").arg(port)));
    OutcomeRecorder recorder;
    client.call(method, args, &recorder, SLOT(onResult(QVariant &)), &recorder, SLOT(onFault(int, const QString &)), QString());
    if (!QTest::qWaitFor([&] { return !recorder.outcomes.isEmpty(); }, 10000) || recorder.outcomes.at(0).isFault)
        return QVariant();
    return recorder.outcomes.at(0).result;
}

QString TestEndToEnd::runHost(int photos, int *exitCode)
{
    QStringList args{"--service", QStringLiteral("127.0.0.1:%1").arg(port), "--scripted", "--timeout", "120",
                     "--screenshot", workDir->filePath("shot.png"), "--release", workDir->filePath("release.pdf")};
    for (int i = 1; i <= photos; ++i)
        args << "--photo" << workDir->filePath(QStringLiteral("photo%1.jpg").arg(i));
    QProcess host;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("XDG_DATA_HOME", workDir->filePath("data"));
    environment.insert("QT_QPA_PLATFORM", "offscreen");
    host.setProcessEnvironment(environment);
    host.start(QStringLiteral(HOST), args);
    // The host's session needs our event loop for nothing; wait for it plainly.
    if (!host.waitForFinished(180000)) {
        host.kill();
        return QString();
    }
    *exitCode = host.exitCode();
    return QString::fromUtf8(host.readAllStandardOutput());
}

int TestEndToEnd::catalogRows(const QString &table)
{
    int rows = -1;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("e2e"));
        db.setDatabaseName(workDir->filePath("data/Corvane/data/catalog.dat"));
        if (db.open()) {
            QSqlQuery query(QStringLiteral("SELECT COUNT(*) FROM ") + table, db);
            if (query.next())
                rows = query.value(0).toInt();
        }
    }
    QSqlDatabase::removeDatabase(QStringLiteral("e2e"));
    return rows;
}

void TestEndToEnd::scriptedSessionSucceeds()
{
    int exitCode = -1;
    const QString output = runHost(2, &exitCode);
    QCOMPARE(exitCode, 0);
    for (const char *line : {"sign-in: signed in", "upload photo1.jpg: uploaded as photo 1001",
                             "upload photo2.jpg: uploaded as photo 1002", "release upload release.pdf: answer R1",
                             "release attach to photo 1001: answer 1", "SESSION OK"})
        QVERIFY2(output.contains(QLatin1String(line)), qPrintable(output));

    int accepted = 0;
    for (const QVariant &call : control(QStringLiteral("sim.callLog"), {}).toList())
        accepted += call.toMap().value("accepted").toBool() ? 1 : 0;
    QCOMPARE(accepted, 3 + 8 + 3 + 1); // sign-in, two photos, three release calls, earnings
    QCOMPARE(catalogRows(QStringLiteral("stockstats")), 1 + 2 * 14);
    const QImage screenshot(workDir->filePath("shot.png"), "PNG");
    QCOMPARE(screenshot.size(), QSize(1100, 1500));
}

void TestEndToEnd::failuresShowAndTheQueueGoesOn()
{
    // Photo 1 fails on stage 2; photo 2 uploads; photo 3 loses its connection.
    QCOMPARE(control(QStringLiteral("sim.injectFault"), {"addPhoto", "status", 1, 500, "Disk full", 2})
                 .toMap().value("status").toString(), QStringLiteral("200"));
    QCOMPARE(control(QStringLiteral("sim.injectFault"), {"addPhoto", "drop", 100, 0, "", 4})
                 .toMap().value("status").toString(), QStringLiteral("200"));
    int exitCode = -1;
    const QString output = runHost(3, &exitCode);
    QCOMPARE(exitCode, 0);
    QVERIFY2(output.contains(QLatin1String("upload photo1.jpg: 2/4\nupload photo1.jpg: error 500: "
                                           "The service had an internal error; try again later. (Disk full)")),
             qPrintable(output));
    QVERIFY2(output.contains(QLatin1String("upload photo2.jpg: uploaded as photo 1001")), qPrintable(output));
    QVERIFY2(output.contains(QLatin1String("upload photo3.jpg: error -32300: Could not reach the service")), qPrintable(output));
    QVERIFY2(output.contains(QLatin1String("SESSION OK")), qPrintable(output));
}

QTEST_GUILESS_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
