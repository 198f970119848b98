#include "maiaFault.h"
#include "maiaObject.h"
#include "outcomerecorder.h"
#include "typedjson.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTest>

// Documents checked against an independent peer: Python's xmlrpc.client.
class TestPythonInterop : public QObject
{
    Q_OBJECT
private slots:
    void pythonReadsWhatWeWrite_data();
    void pythonReadsWhatWeWrite();
    void weReadWhatPythonWrites_data();
    void weReadWhatPythonWrites();

private:
    QJsonValue runPeer(const QString &mode, const QByteArray &input = QByteArray());
};

QJsonValue TestPythonInterop::runPeer(const QString &mode, const QByteArray &input)
{
    QProcess peer;
    peer.start(QStringLiteral("python3"), {QStringLiteral(PEER_SCRIPT), mode});
    if (!peer.waitForStarted(10000))
        return QJsonValue::Undefined;
    peer.write(input);
    peer.closeWriteChannel();
    if (!peer.waitForFinished(30000) || peer.exitCode() != 0) {
        qWarning() << "peer failed:" << peer.readAllStandardError();
        return QJsonValue::Undefined;
    }
    QJsonParseError error;
    const QJsonDocument output = QJsonDocument::fromJson(peer.readAllStandardOutput(), &error);
    return output.isArray() ? QJsonValue(output.array()) : QJsonValue::Undefined;
}

void TestPythonInterop::pythonReadsWhatWeWrite_data()
{
    QTest::addColumn<QJsonValue>("read");
    QTest::addColumn<QJsonValue>("expected");

    MaiaObject call;
    const QVariantList values{
        true, false, 0, -2147483647 - 1, 2147483647, 0.5, -1.5e-7, 1e10,
        QString(), QStringLiteral("<&> \"q\" 'a' ]]> Grüße ☃ \t\r\n x"),
        QByteArray("\0\x01\xfe\xff", 4), QByteArray(3000, 'x'),
        QVariantList{}, QVariantMap{},
        QVariantMap{{"b", QVariantList{1, QVariantMap{{"c", QStringLiteral("deep")}}}}, {"a", 2.25}},
    };
    QJsonArray documents;
    QStringList names;
    QJsonArray expected;
    for (int i = 0; i < values.size(); ++i) {
        documents.append(call.composeCall(QStringLiteral("echo"), {values.at(i)}));
        names << QStringLiteral("%1 %2").arg(i).arg(QLatin1String(values.at(i).typeName()));
        expected.append(QJsonObject{{"method", "echo"}, {"params", QJsonArray{typedJson(values.at(i))}}});
    }
    const QVariantMap reply{{"status", "200"}, {"statusMessage", ""}, {"output", QVariantList{QVariantMap{{"id", 1}}}}};
    documents.append(MaiaObject::composeResponse(reply));
    names << QStringLiteral("response");
    expected.append(QJsonObject{{"method", QJsonValue::Null}, {"params", QJsonArray{typedJson(reply)}}});
    documents.append(MaiaFault(-32601, QStringLiteral("no such method: <x> & 'y'")).composeFault());
    names << QStringLiteral("fault");
    expected.append(QJsonObject{{"fault", QJsonObject{{"code", -32601}, {"string", "no such method: <x> & 'y'"}}}});

    const QJsonArray read = runPeer(QStringLiteral("read"), QJsonDocument(documents).toJson()).toArray();
    if (read.size() != documents.size())
        QFAIL("the Python peer did not read every document");
    for (int i = 0; i < names.size(); ++i)
        QTest::newRow(qPrintable(names.at(i))) << read.at(i) << expected.at(i);
}

void TestPythonInterop::pythonReadsWhatWeWrite()
{
    QFETCH(QJsonValue, read);
    QFETCH(QJsonValue, expected);
    QCOMPARE(read, expected);
}

void TestPythonInterop::weReadWhatPythonWrites_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("document");
    QTest::addColumn<QJsonValue>("expected");

    const QJsonValue cases = runPeer(QStringLiteral("cases"));
    if (!cases.isArray() || cases.toArray().isEmpty())
        QFAIL("the Python peer wrote no cases");
    for (const QJsonValue &c : cases.toArray()) {
        const QJsonObject row = c.toObject();
        QTest::newRow(qPrintable(row.value("name").toString()))
            << row.value("kind").toString() << row.value("xml").toString() << row.value("expected");
    }
}

void TestPythonInterop::weReadWhatPythonWrites()
{
    QFETCH(QString, kind);
    QFETCH(QString, document);
    QFETCH(QJsonValue, expected);

    if (kind == QLatin1String("call")) {
        QDomDocument parsed;
        QVERIFY(parsed.setContent(document));
        QJsonArray params;
        const QDomElement paramsElement = parsed.documentElement().firstChildElement(QStringLiteral("params"));
        for (QDomElement p = paramsElement.firstChildElement(); !p.isNull(); p = p.nextSiblingElement())
            params.append(typedJson(MaiaObject::fromXml(p.firstChildElement())));
        QCOMPARE(QJsonValue(params), expected);
        return;
    }

    auto *call = new MaiaObject;
    OutcomeRecorder recorder;
    recorder.watch(call);
    call->parseResponse(document, nullptr);
    QCOMPARE(recorder.outcomes.count(), 1);
    const OutcomeRecorder::Outcome outcome = recorder.outcomes.at(0);
    QCOMPARE(outcome.isFault, kind == QLatin1String("fault"));
    if (outcome.isFault) {
        QCOMPARE(outcome.code, expected.toObject().value("code").toInt());
        QCOMPARE(outcome.message, expected.toObject().value("string").toString());
    } else {
        QCOMPARE(QJsonValue(QJsonArray{typedJson(outcome.result)}), expected);
    }
}

QTEST_GUILESS_MAIN(TestPythonInterop)
#include "tst_pythoninterop.moc"
