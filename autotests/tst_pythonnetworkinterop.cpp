#include "maiaFault.h"
#include "maiaXmlRpcClient.h"
#include "maiaXmlRpcServer.h"
#include "outcomerecorder.h"
#include "typedjson.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>

// The classic interop methods, for Python's ServerProxy to call.
class InteropMethods : public QObject
{
    Q_OBJECT
public slots:
    QString echoString(const QString &value) { return value; }
    int echoInt(int value) { return value; }
    double echoDouble(double value) { return value; }
    bool echoBool(bool value) { return value; }
    QByteArray echoBytes(const QByteArray &value) { return value; }
    QVariantList echoArray(const QVariantList &value) { return value; }
    QVariantMap echoStruct(const QVariantMap &value) { return value; }
    int sumCurly(const QVariantList &structs)
    {
        int sum = 0;
        for (const QVariant &item : structs)
            sum += item.toMap().value(QStringLiteral("curly")).toInt();
        return sum;
    }
    QVariant fail() { return QVariant::fromValue(MaiaFault(4711, QStringLiteral("it's <broken> & gone \U0001F600"))); }
};

class TestPythonNetworkInterop : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void pythonCallsOurServer_data();
    void pythonCallsOurServer();
    void ourClientCallsPython_data();
    void ourClientCallsPython();

private:
    QJsonArray pythonResults;
    QProcess pythonServer;
    quint16 pythonPort = 0;
};

static const char *const interopMethodNames[] = {"echoString", "echoInt", "echoDouble", "echoBool", "echoBytes",
                                                "echoArray", "echoStruct", "sumCurly", "fail"};

void TestPythonNetworkInterop::initTestCase()
{
    // Python's client against our server; our event loop serves while we wait.
    InteropMethods methods;
    MaiaXmlRpcServer server(QHostAddress::LocalHost, 0);
    for (const char *name : interopMethodNames)
        server.registerMethod(QString::fromLatin1(name), &methods, name);
    QProcess client;
    QSignalSpy finished(&client, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
    client.start(QStringLiteral("python3"), {QStringLiteral(PEER_SCRIPT), QStringLiteral("call"),
                                             QString::number(server.serverPort())});
    QVERIFY(finished.wait(60000));
    // The traceback's last lines name the error; a long one would be cut short.
    QVERIFY2(client.exitCode() == 0, client.readAllStandardError().right(800).constData());
    pythonResults = QJsonDocument::fromJson(client.readAllStandardOutput()).array();
    QVERIFY(!pythonResults.isEmpty());

    // Python's server for our client.
    pythonServer.start(QStringLiteral("python3"), {QStringLiteral(PEER_SCRIPT), QStringLiteral("serve")});
    QVERIFY(pythonServer.waitForStarted(10000));
    QTRY_VERIFY_WITH_TIMEOUT(pythonServer.canReadLine() || pythonServer.state() != QProcess::Running, 30000);
    pythonPort = pythonServer.readLine().trimmed().toUShort();
    QVERIFY2(pythonPort != 0, pythonServer.readAllStandardError().constData());
}

void TestPythonNetworkInterop::cleanupTestCase()
{
    pythonServer.closeWriteChannel(); // the peer stops when its input closes
    if (!pythonServer.waitForFinished(10000))
        pythonServer.kill();
}

void TestPythonNetworkInterop::pythonCallsOurServer_data()
{
    QTest::addColumn<QJsonObject>("row");
    for (const QJsonValue &row : qAsConst(pythonResults))
        QTest::newRow(qPrintable(row.toObject().value("name").toString())) << row.toObject();
}

void TestPythonNetworkInterop::pythonCallsOurServer()
{
    QFETCH(QJsonObject, row);
    const QString name = row.value("name").toString();
    if (name == QLatin1String("fault")) {
        QCOMPARE(row.value("fault").toObject(),
                 QJsonObject({{"code", 4711}, {"string", QStringLiteral("it's <broken> & gone \U0001F600")}}));
    } else if (name == QLatin1String("array of 100 structs")) {
        QCOMPARE(row.value("got"), typedJson(4950));
    } else {
        QCOMPARE(row.value("got"), row.value("sent"));
    }
}

void TestPythonNetworkInterop::ourClientCallsPython_data()
{
    QTest::addColumn<QString>("method");
    QTest::addColumn<QVariantList>("args");
    QTest::addColumn<bool>("isFault");
    QTest::addColumn<QVariant>("expected"); // the result, or the fault text

    auto echo = [](const char *row, const QVariant &value) {
        QTest::newRow(row) << QStringLiteral("echo") << QVariantList{value} << false << value;
    };
    echo("string", QStringLiteral("Grüße <&> 'q' \"d\" ☃"));
    const QString beyondBasicPlane = QStringLiteral("Sunset \U0001F305 \U0001F600 \U0002000B");
    echo("beyond the basic plane", beyondBasicPlane);
    echo("beyond the basic plane, as a key", QVariantMap{{beyondBasicPlane, QVariantList{beyondBasicPlane}}});
    echo("int", -2147483647 - 1);
    echo("double", 0.125);
    echo("true", true);
    echo("false", false);
    echo("base64", [] { QByteArray b; for (int i = 0; i < 1024; ++i) b += char(i); return b; }());
    echo("array", QVariantList{1, QStringLiteral("two"), 3.5, QVariantList{false}});
    echo("struct of structs", QVariantMap{{"a", QVariantMap{{"b", QVariantMap{{"c", 1}}}}}, {"d", QVariantMap{}}});
    echo("string of 200 KB", QString(204800, QLatin1Char('z')));

    QVariantList structs;
    for (int i = 0; i < 100; ++i)
        structs << QVariantMap{{"curly", i}, {"moe", QString::number(i)}};
    QTest::newRow("array of 100 structs") << QStringLiteral("sumMember") << QVariantList{structs, QStringLiteral("curly")}
                                          << false << QVariant(4950);
    QTest::newRow("inner keys") << QStringLiteral("innerKeys")
                                << QVariantList{QVariantMap{{"x", QVariantMap{{"b", 1}, {"a", 2}}}}} << false
                                << QVariant(QVariantMap{{"x", QVariantList{QStringLiteral("a"), QStringLiteral("b")}}});
    QTest::newRow("fault") << QStringLiteral("fail") << QVariantList{-7, QStringLiteral("it's <broken> & \"gone\" \U0001F600")}
                           << true << QVariant(QStringLiteral("it's <broken> & \"gone\" \U0001F600"));
}

void TestPythonNetworkInterop::ourClientCallsPython()
{
    QFETCH(QString, method);
    QFETCH(QVariantList, args);
    QFETCH(bool, isFault);
    QFETCH(QVariant, expected);

    MaiaXmlRpcClient client(QUrl(QStringLiteral("http://127.0.0.1:%1/RPC2").arg(pythonPort)));
    OutcomeRecorder recorder;
    client.call(method, args, &recorder, SLOT(onResult(QVariant &)), &recorder,
                SLOT(onFault(int, const QString &)), QStringLiteral("tag"));
    QTRY_COMPARE_WITH_TIMEOUT(recorder.outcomes.size(), 1, 30000);
    const OutcomeRecorder::Outcome outcome = recorder.outcomes.at(0);
    QCOMPARE(outcome.isFault, isFault);
    if (isFault) {
        QCOMPARE(outcome.code, -7);
        QCOMPARE(QVariant(outcome.message), expected);
    } else {
        QCOMPARE(typedJson(outcome.result), typedJson(expected));
    }
}

QTEST_GUILESS_MAIN(TestPythonNetworkInterop)
#include "tst_pythonnetworkinterop.moc"
