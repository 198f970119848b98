#include "maiaXmlRpcClient.h"
#include "outcomerecorder.h"

#include <QImage>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

// corvane-host headless with the real plug-in and page against a vendalux-sim
// process, judged from the outside: the host's output, the calls the simulator
// accepted, the catalog and the screenshot.
class TestEndToEnd : public QObject
{
    Q_OBJECT
private slots:
    void scriptedSession_data();
    void scriptedSession();
};

void TestEndToEnd::scriptedSession_data()
{
    QTest::addColumn<QVariantList>("faults"); // sim.injectFault's arguments, in the order they queue
    QTest::addColumn<int>("acceptedCalls");
    QTest::addColumn<QStringList>("output");

    // Sign-in takes three calls, a photo four, the releases three, the earnings one.
    QTest::newRow("every step succeeds") << QVariantList{} << 3 + 3 * 4 + 3 + 1
        << QStringList{"sign-in: signed in", "upload photo1.jpg: uploaded as photo 1001",
                       "upload photo3.jpg: uploaded as photo 1003", "release upload photo1.jpg: answer R1",
                       "release attach to photo 1001: answer 1"};
    // Photo 1 fails on its third stage, photo 2 uploads, photo 3's last stage is taken but its reply
    // lost, which is never sent again (the client signs in again, getHash and login, before the releases).
    QTest::newRow("failures show and the queue goes on")
        << QVariantList{QVariantList{"addPhoto", "status", 1, 500, "Disk full", 2},
                        QVariantList{"addPhoto", "lost", 1, 0, "", 7}}
        << 3 + 2 + 4 + 4 + 2 + 3 + 1
        << QStringList{"upload photo1.jpg: 2/4\nupload photo1.jpg: error 500: The service had an internal error; "
                       "try again later. (Disk full)",
                       "upload photo2.jpg: uploaded as photo 1001",
                       "upload photo3.jpg: error 127: The connection was lost after sending: the service may "
                       "already hold it; check before sending it again."};
}

void TestEndToEnd::scriptedSession()
{
    QFETCH(QVariantList, faults);
    QFETCH(int, acceptedCalls);
    QFETCH(QStringList, output);

    QTemporaryDir dir;
    const QString catalog = dir.filePath("data/Corvane/data/catalog.dat");
    QCOMPARE(QProcess::execute("python3", {CATALOG_SCRIPT, catalog}), 0);
    // A scanned release is a photo too.
    QStringList args{"--scripted", "--screenshot", dir.filePath("shot.png"), "--release", dir.filePath("photo1.jpg")};
    QImage photo(2500, 2000, QImage::Format_RGB32);
    for (int i = 1; i <= 3; ++i) {
        photo.fill(QColor(30 * i, 100, 200));
        args << "--photo" << dir.filePath(QStringLiteral("photo%1.jpg").arg(i));
        QVERIFY(photo.save(args.last(), "JPEG", 80));
    }

    QProcess simulator;
    simulator.start(SIMULATOR, {"--port", "0"});
    QTRY_VERIFY_WITH_TIMEOUT(simulator.canReadLine() || simulator.state() == QProcess::NotRunning, 10000);
    const QString service = "127.0.0.1:" + simulator.readLine().trimmed();
    MaiaXmlRpcClient control{QUrl("http://" + service)};
    for (const QVariant &fault : faults) { // one at a time, so that they queue in order
        OutcomeRecorder reply;
        reply.watch(control.call("sim.injectFault", fault.toList()));
        QTRY_COMPARE_WITH_TIMEOUT(reply.outcomes.value(0).result.toMap()["status"].toString(), QString("200"), 10000);
    }

    qputenv("XDG_DATA_HOME", dir.filePath("data").toLocal8Bit()); // where the host finds its catalog
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QProcess host;
    host.start(HOST, args << "--service" << service << "--timeout" << "120");
    QVERIFY(host.waitForFinished(180000)); // the session needs no event loop of ours
    const QString printed = host.readAllStandardOutput();
    for (const QString &line : output << "SESSION OK")
        QVERIFY2(printed.contains(line), qPrintable(printed));
    QCOMPARE(host.exitCode(), 0);
    simulator.kill();
    QVERIFY(simulator.waitForFinished(10000)); // with every line it printed read
    QCOMPARE(simulator.readAllStandardOutput().count(" accepted"), acceptedCalls);

    // The catalog's row count as python's exit status: today's snapshot, then an amount and a count a day.
    QCOMPARE(QProcess::execute("python3", {"-c", "import sqlite3, sys; sys.exit(sqlite3.connect(sys.argv[1]).execute('"
                                           "SELECT COUNT(*) FROM stockstats').fetchone()[0])", catalog}), 1 + 2 * 14);
    QCOMPARE(QImage(dir.filePath("shot.png")).size(), QSize(1100, 1500));
}

QTEST_GUILESS_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
