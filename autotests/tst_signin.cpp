#include "signinfixture.h"
#include "xclientprobe.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTest>
#include <QWebFrame>

// Sign-in end to end: XClient in a real page against the simulated service.
class TestSignIn : public QObject
{
    Q_OBJECT
private slots:
    void signInSucceeds();
    void successCallbackBeforeExtensionsLine();
    void refusedSignIn();
    void unknownClientId();
    void restrictions_data();
    void restrictions();
    void faults_data();
    void faults();
    void refusedRestrictionsKeepEarlierOnes();

private:
    static QJsonObject callback(const char *name, const QJsonArray &args = {})
    {
        return QJsonObject{{"cb", QLatin1String(name)}, {"args", args}};
    }
};

void TestSignIn::signInSucceeds()
{
    SignInFixture f;
    QVERIFY(f.ready);
    QTest::ignoreMessage(QtDebugMsg, "(\"jpg\", \"jpeg\")");
    f.signIn();
    QVERIFY(f.page.waitForCallbacks(1));
    QCOMPARE(f.page.received(), QJsonArray{callback("onOk")});

    const QList<ImportService::Call> calls = f.service.calls();
    QCOMPARE(calls.size(), 3);
    QCOMPARE(calls.at(0).method, QStringLiteral("getHash"));
    QCOMPARE(calls.at(0).params, QVariantList{ImportService::demoClientId}); // only the client id
    QCOMPARE(calls.at(1).method, QStringLiteral("login"));
    QCOMPARE(calls.at(2).method, QStringLiteral("getRestrictions"));
    for (const ImportService::Call &call : calls)
        QVERIFY2(call.accepted, qPrintable(call.method + ": " + call.note));

    // Each step renews the token once, starting from the one the service issued.
    const QString loginToken = calls.at(1).token;
    QCOMPARE(loginToken.size(), 80);
    QCOMPARE(loginToken, SignInFixture::renewed(calls.at(0).token));
    QCOMPARE(calls.at(2).token, SignInFixture::renewed(loginToken));
    QCOMPARE(XClientProbe::sessionId(f.client), SignInFixture::renewed(calls.at(2).token));
}

namespace {
QtMessageHandler previousHandler = nullptr;
TestPage *watchedPage = nullptr;
int callbacksAtExtensionsLine = -1;

void recordOrderOfExtensionsLine(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (watchedPage && message.startsWith(QLatin1String("(\"")))
        callbacksAtExtensionsLine = watchedPage->received().size();
    previousHandler(type, context, message);
}
} // namespace

void TestSignIn::successCallbackBeforeExtensionsLine()
{
    SignInFixture f;
    QVERIFY(f.ready);
    watchedPage = &f.page;
    previousHandler = qInstallMessageHandler(recordOrderOfExtensionsLine);
    f.signIn();
    const bool called = f.page.waitForCallbacks(1);
    qInstallMessageHandler(previousHandler);
    watchedPage = nullptr;
    QVERIFY(called);
    QCOMPARE(callbacksAtExtensionsLine, 1);
}

void TestSignIn::refusedSignIn()
{
    SignInFixture f;
    QVERIFY(f.ready);
    f.signIn(QStringLiteral("wrong password"));
    QVERIFY(f.page.waitForCallbacks(1));
    QCOMPARE(f.page.received(), QJsonArray{callback("onErr")}); // no argument at all

    const QList<ImportService::Call> calls = f.service.calls();
    QCOMPARE(calls.size(), 2); // no restrictions fetched
    QCOMPARE(calls.at(1).method, QStringLiteral("login"));
    QVERIFY(!calls.at(1).accepted);
    QCOMPARE(XClientProbe::sessionId(f.client), calls.at(1).token); // not renewed
}

void TestSignIn::unknownClientId()
{
    SignInFixture f;
    QVERIFY(f.ready);
    f.signIn(ImportService::demoPassword, QStringLiteral("nobody"));
    QVERIFY(f.page.waitForCallbacks(1));
    QCOMPARE(f.page.received(), QJsonArray{callback("onErr")});
    QCOMPARE(f.service.calls().size(), 1);
    QVERIFY(XClientProbe::sessionId(f.client).isEmpty());
}

void TestSignIn::restrictions_data()
{
    QTest::addColumn<QVariantMap>("announced");
    QTest::addColumn<QVariantMap>("stored");

    const QVariantMap defaults{{"exts", QStringList{""}}, {"max_mpx", 24}, {"min_mpx", 4}, {"min_w", 1024},
                               {"min_h", 1024},           {"max_r", 4},    {"q", 90}};
    auto with = [&defaults](const QVariantMap &changes) {
        QVariantMap result = defaults;
        for (auto it = changes.cbegin(); it != changes.cend(); ++it)
            result.insert(it.key(), it.value());
        return result;
    };
    QTest::newRow("nothing announced") << QVariantMap{} << defaults;
    QTest::newRow("digit strings") << QVariantMap{{"max_mpx", "30"}, {"q", "75"}} << with({{"max_mpx", 30}, {"q", 75}});
    QTest::newRow("not numeric") << QVariantMap{{"max_mpx", "lots"}, {"min_h", "12px"}} << defaults;
    QTest::newRow("zero and negative kept") << QVariantMap{{"min_w", 0}, {"max_r", -2}} << with({{"min_w", 0}, {"max_r", -2}});
    QTest::newRow("blank after comma kept") << QVariantMap{{"exts", "jpg, jpeg,,PNG"}}
                                            << with({{"exts", QStringList{"jpg", " jpeg", "", "PNG"}}});
}

void TestSignIn::restrictions()
{
    QFETCH(QVariantMap, announced);
    QFETCH(QVariantMap, stored);
    SignInFixture f;
    QVERIFY(f.ready);
    f.service.setRestrictions(announced);
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression(QStringLiteral("^\\(")));
    f.signIn();
    QVERIFY(f.page.waitForCallbacks(1));
    QCOMPARE(f.page.received(), QJsonArray{callback("onOk")});
    QCOMPARE(XClientProbe::restrictions(f.client), stored);
}

void TestSignIn::faults_data()
{
    QTest::addColumn<QString>("method");
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("errorCode");
    QTest::addColumn<QString>("errorTextPart");

    using K = FaultGate::FaultKind;
    const QString hostile = QStringLiteral("it's a \"bad\"\r\nday \\ '); alert(1); ('\u2028end");
    QTest::newRow("dropped getHash") << "getHash" << int(K::DropConnection) << 0 << "" << "-32300" << "";
    QTest::newRow("HTTP 500 on login") << "login" << int(K::HttpError) << 500 << "oops" << "-32300" << "Injected Error";
    QTest::newRow("server fault on getRestrictions") << "getRestrictions" << int(K::XmlRpcFault) << 4711 << hostile
                                                     << "4711" << hostile;
    QTest::newRow("negative fault code") << "login" << int(K::XmlRpcFault) << -1 << "minus" << "-1" << "minus";
    QTest::newRow("malformed reply") << "getHash" << int(K::MalformedXml) << 0 << "" << "-32700"
                                     << "parse error: response not well formed";
}

void TestSignIn::faults()
{
    QFETCH(QString, method);
    QFETCH(int, kind);
    QFETCH(int, code);
    QFETCH(QString, text);
    QFETCH(QString, errorCode);
    QFETCH(QString, errorTextPart);

    SignInFixture f;
    QVERIFY(f.ready);
    // The network layer sends a request again (three times, as measured) when its
    // connection drops before any answer; later calls of the method never come.
    f.service.injectFault(method, {FaultGate::FaultKind(kind), code, text}, 8);
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression(QStringLiteral("^Error: -?\\d+ - ")));
    f.signIn();
    QVERIFY(f.page.waitForCallbacks(1));
    const QJsonArray received = f.page.received();
    QCOMPARE(received.size(), 1);
    QCOMPARE(received.at(0).toObject().value("cb").toString(), QStringLiteral("onErr"));
    const QJsonObject error = received.at(0).toObject().value("args").toArray().at(0).toObject();
    QCOMPARE(error.keys(), (QStringList{"error_code", "error_text", "error_type"}));
    QCOMPARE(error.value("error_type").toString(), QStringLiteral("xmlrpc"));
    QCOMPARE(error.value("error_code").toString(), errorCode);
    const QString errorText = error.value("error_text").toString();
    QVERIFY2(errorText.contains(errorTextPart), qPrintable(errorText));
    if (kind == int(FaultGate::FaultKind::XmlRpcFault))
        QCOMPARE(errorText, text); // arrives intact, quotes, breaks and all

    // The chain stops at the failed call, and its reply renews nothing.
    const QList<ImportService::Call> calls = f.service.calls();
    QCOMPARE(calls.last().method, method);
    QCOMPARE(XClientProbe::sessionId(f.client), calls.last().token);
    // Nothing ran in the page but the error callback.
    QCOMPARE(f.page.frame()->evaluateJavaScript(QStringLiteral("typeof window.injected")).toString(),
             QStringLiteral("undefined"));
}

void TestSignIn::refusedRestrictionsKeepEarlierOnes()
{
    SignInFixture f;
    QVERIFY(f.ready);
    f.service.setRestrictions({{"max_mpx", 50}, {"exts", "jpg"}});
    QTest::ignoreMessage(QtDebugMsg, "(\"jpg\")");
    f.signIn();
    QVERIFY(f.page.waitForCallbacks(1));

    // A second sign-in whose restrictions reply carries no element.
    f.service.injectFault(QStringLiteral("getRestrictions"), {FaultGate::FaultKind::Status, 503, "busy"});
    f.signIn();
    QVERIFY(f.page.waitForCallbacks(2));
    QCOMPARE(f.page.received().at(1).toObject(), callback("onErr"));
    QCOMPARE(XClientProbe::restrictions(f.client).value("max_mpx").toInt(), 50);
    QCOMPARE(XClientProbe::sessionId(f.client), f.service.calls().last().token);
}

QTEST_MAIN(TestSignIn)
#include "tst_signin.moc"
