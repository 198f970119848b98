#include "maiaFault.h"
#include "maiaXmlRpcClient.h"
#include "maiaXmlRpcServer.h"
#include "outcomerecorder.h"
#include "whoami.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTest>

namespace {

// A value as typed JSON, as the Python peer gives it: ints, strings, arrays and structs are all that pass here.
QJsonValue typedJson(const QVariant &value)
{
    QJsonArray items;
    QJsonObject members;
    const QVariantMap map = value.toMap();
    switch (value.type()) {
    case QVariant::Int:
        return QJsonObject{{"int", value.toInt()}};
    case QVariant::String:
        return QJsonObject{{"string", value.toString()}};
    case QVariant::List:
        for (const QVariant &item : value.toList())
            items.append(typedJson(item));
        return QJsonObject{{"array", items}};
    case QVariant::Map:
        for (auto it = map.cbegin(); it != map.cend(); ++it)
            members.insert(it.key(), typedJson(it.value()));
        return QJsonObject{{"struct", members}};
    default:
        return QJsonObject{{"unsupported", QString::fromLatin1(value.typeName())}};
    }
}

} // namespace

// Every value Python's client sends our server must come back to it as it was,
// and our client must send the same call to Python's server with the same outcome.
class TestNetworkInterop : public QObject
{
    Q_OBJECT
public: // what Python's client calls on our server; each call's arguments are kept
    QString echoString(const QString &value) { return keep(value); }
    QVariantList echoArray(const QVariantList &value) { return keep(value); }
    QVariantMap echoStruct(const QVariantMap &value) { return keep(value); }
    QVariant fail(int code, const QString &text)
    {
        received << QVariantList{code, text};
        return QVariant::fromValue(MaiaFault(code, text));
    }

private slots:
    void initTestCase();
    void cleanupTestCase() { python.waitForFinished(30000); } // it ends once it answered every call
    void roundTrip_data();
    void roundTrip();
    void introspection_data();
    void introspection();

private:
    template<typename T> T keep(const T &value) { received << QVariantList{QVariant::fromValue(value)}; return value; }

    QList<QVariantList> received; // for our client to send to Python's server
    QJsonArray pythonCalls;
    QJsonObject introspected; // what each call got

    QProcess python;
    QString pythonUrl;
};

void TestNetworkInterop::initTestCase()
{
    MaiaXmlRpcServer server;
    QVERIFY2(server.listen(QHostAddress::LocalHost), qPrintable(server.errorString()));
    server.registerMethod(QStringLiteral("echoString"), this, &TestNetworkInterop::echoString);
    server.registerMethod(QStringLiteral("echoArray"), this, &TestNetworkInterop::echoArray);
    server.registerMethod(QStringLiteral("echoStruct"), this, &TestNetworkInterop::echoStruct);
    server.registerMethod(QStringLiteral("fail"), this, &TestNetworkInterop::fail);
    server.registerMethod(QStringLiteral("upper"), [](const QVariantList &params) {
        return params.value(0).toString().toUpper();
    }, QStringLiteral("Upper case."), {QStringLiteral("string"), QStringLiteral("string")});
    server.registerMethod(QStringLiteral("whoami"), whoAmI());
    QProcess xmlrpcC; // its HTTP library (curl) would go through a proxy
    QProcessEnvironment direct = QProcessEnvironment::systemEnvironment();
    for (const char *proxy : {"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"})
        direct.remove(proxy);
    xmlrpcC.setProcessEnvironment(direct);
    xmlrpcC.start(XMLRPC_C_PEER, {QStringLiteral("http://127.0.0.1:%1/RPC2").arg(server.serverPort())});
    QTRY_VERIFY_WITH_TIMEOUT(xmlrpcC.state() == QProcess::NotRunning, 60000);
    QVERIFY2(xmlrpcC.exitCode() == 0, xmlrpcC.readAllStandardError().constData());
    const QStringList listed = QString::fromUtf8(xmlrpcC.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    python.start("python3", {PEER_SCRIPT, QString::number(server.serverPort())});
    // Our event loop serves Python's calls while we wait for its lines: its port, its results.
    QTRY_VERIFY_WITH_TIMEOUT(python.peek(python.bytesAvailable()).count('\n') >= 3
                                 || python.state() == QProcess::NotRunning, 120000);
    pythonUrl = "http://127.0.0.1:" + python.readLine().trimmed() + "/RPC2";
    pythonCalls = QJsonDocument::fromJson(python.readLine()).array();
    introspected = QJsonDocument::fromJson(python.readLine()).object();
    introspected["xmlrpc-c listMethods"] = typedJson(QVariantList(listed.cbegin(), listed.cend()));
    // A traceback names its error in its last lines.
    QVERIFY2(pythonCalls.size() == 5 && received.size() == 5,
             python.readAllStandardError().right(800).constData());
}

void TestNetworkInterop::roundTrip_data()
{
    QTest::addColumn<QJsonObject>("call");  // Python's: name, method, expected, got
    QTest::addColumn<QVariantList>("args"); // as our server read them
    for (int i = 0; i < pythonCalls.size(); ++i)
        QTest::newRow(qPrintable(pythonCalls.at(i)["name"].toString())) << pythonCalls.at(i).toObject()
                                                                       << received.at(i);
}

void TestNetworkInterop::roundTrip()
{
    QFETCH(QJsonObject, call);
    QFETCH(QVariantList, args);
    QCOMPARE(call.value("got"), call.value("expected"));

    MaiaXmlRpcClient client{QUrl(pythonUrl)};
    OutcomeRecorder recorder;
    recorder.watch(client.call(call.value("method").toString(), args));
    QTRY_COMPARE_WITH_TIMEOUT(recorder.outcomes.size(), 1, 30000);
    const OutcomeRecorder::Outcome &got = recorder.outcomes.at(0);
    QCOMPARE(typedJson(got.isFault ? QVariant(QVariantList{"fault", got.code, got.message}) : got.result),
             call.value("expected"));
}

void TestNetworkInterop::introspection_data()
{
    QTest::addColumn<QJsonValue>("got");
    QTest::addColumn<QVariant>("expected");
    const QStringList names{"echoArray", "echoString", "echoStruct", "fail", "system.listMethods",
                            "system.methodHelp", "system.methodSignature", "system.multicall", "upper", "whoami"};
    const auto fault = [](int code, const QString &text) {
        return QVariantMap{{"faultCode", code}, {"faultString", text}};
    };
    const QVariantList multicall{QVariantList{"A"},
                                 fault(-32601, "server error: requested method 'nothere' not found"),
                                 fault(-32600, "server error: system.multicall cannot be nested")};
    const QList<QPair<QString, QVariant>> answers{
        {"listMethods", QVariantList(names.cbegin(), names.cend())},
        {"xmlrpc-c listMethods", QVariantList(names.cbegin(), names.cend())},
        {"methodHelp", "Upper case."},
        {"methodSignature", QVariantList{QVariant(QVariantList{"string", "string"})}},
        {"multicall", multicall},
        {"credentials", "user at 127.0.0.1"},
        {"no credentials", QVariantList{"fault", 401, "who?"}}};
    for (const auto &answer : answers)
        QTest::newRow(qPrintable(answer.first)) << introspected.value(answer.first) << answer.second;
}

// Python's own introspection and multicall client reads our server's answers, and xmlrpc-c's its list.
void TestNetworkInterop::introspection()
{
    QFETCH(QJsonValue, got);
    QFETCH(QVariant, expected);
    QCOMPARE(got, typedJson(expected));
}

QTEST_GUILESS_MAIN(TestNetworkInterop)
#include "tst_networkinterop.moc"
