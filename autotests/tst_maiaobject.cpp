#include "deepdocuments.h"
#include "maiaObject.h"
#include "outcomerecorder.h"

#include <QDateTime>
#include <QPointer>
#include <QTest>

// Writing and reading single values, whole documents, and the one-outcome
// contract of a call object.
class TestMaiaObject : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void composeCall_workedExample();
    void composeCall_withoutArguments();
    void composeResponse_data();
    void composeResponse();

    void writeValue_data();
    void writeValue();
    void writeValue_unsupportedTypeVanishes();
    void writeValue_dropsCharactersXmlForbids();

    void readValue_data();
    void readValue();
    void readValue_unknownType();
    void readValue_emptyTextIsNotNull_data();
    void readValue_emptyTextIsNotNull();

    void roundTrip_data();
    void roundTrip();

    void parseResponse_data();
    void parseResponse();
    void parseResponse_senderAliveDuringOutcomeOnly();
};

namespace {

// The "value" element of one value, serialised without whitespace.
QString valueText(const QVariant &value)
{
    QDomDocument document;
    document.appendChild(MaiaObject::toXml(value, document));
    return document.toString(-1);
}

QVariant readValueText(const QString &text)
{
    QDomDocument document;
    if (!document.setContent(text))
        qFatal("test data is not XML: %s", qPrintable(text));
    return MaiaObject::fromXml(document.documentElement());
}

QString response(const QString &body)
{
    return QStringLiteral("<?xml version=\"1.0\"?><methodResponse>%1</methodResponse>").arg(body);
}

// `length` characters of plain text.
QString filler(int length)
{
    return QStringLiteral("caption ").repeated(length / 8 + 1).left(length);
}

} // namespace

void TestMaiaObject::initTestCase()
{
    MaiaObject policySetter; // sets the process-wide invalid-character policy
}

void TestMaiaObject::composeCall_workedExample()
{
    MaiaObject call;
    const QString expected = QStringLiteral(
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<methodCall>\n"
        " <methodName>getHash</methodName>\n"
        " <params>\n"
        "  <param>\n"
        "   <value>\n"
        "    <string>abc</string>\n"
        "   </value>\n"
        "  </param>\n"
        " </params>\n"
        "</methodCall>\n");
    QCOMPARE(call.composeCall(QStringLiteral("getHash"), {QStringLiteral("abc")}), expected);
}

void TestMaiaObject::composeCall_withoutArguments()
{
    MaiaObject call;
    QCOMPARE(call.composeCall(QStringLiteral("ping"), {}),
             QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                            "<methodCall>\n <methodName>ping</methodName>\n <params/>\n</methodCall>\n"));
}

void TestMaiaObject::composeResponse_data()
{
    QTest::addColumn<QVariant>("result");
    QTest::addColumn<QString>("expected");

    const QString empty = QStringLiteral(
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<methodResponse>\n <params/>\n</methodResponse>\n");
    QTest::newRow("invalid variant") << QVariant() << empty;
    QTest::newRow("null string") << QVariant(QString()) << empty;
    QTest::newRow("null date-time") << QVariant(QDateTime()) << empty;
    QTest::newRow("int") << QVariant(5)
                         << QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                                           "<methodResponse>\n <params>\n  <param>\n   <value>\n"
                                           "    <int>5</int>\n   </value>\n  </param>\n"
                                           " </params>\n</methodResponse>\n");
}

void TestMaiaObject::composeResponse()
{
    QFETCH(QVariant, result);
    QTEST(MaiaObject::composeResponse(result), "expected");
}

void TestMaiaObject::writeValue_data()
{
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<QString>("expected");

    QTest::newRow("true") << QVariant(true) << "<value><boolean>1</boolean></value>";
    QTest::newRow("false") << QVariant(false) << "<value><boolean>0</boolean></value>";
    QTest::newRow("int") << QVariant(-42) << "<value><int>-42</int></value>";
    QTest::newRow("double rounded") << QVariant(3.14159265) << "<value><double>3.14159</double></value>";
    QTest::newRow("double large") << QVariant(1e10) << "<value><double>1e+10</double></value>";
    QTest::newRow("double half") << QVariant(0.5) << "<value><double>0.5</double></value>";
    QTest::newRow("string escaped") << QVariant(QStringLiteral("a<b&c>")) << "<value><string>a&lt;b&amp;c></string></value>";
    QTest::newRow("bytes") << QVariant(QByteArray("\0\xffhi", 4)) << "<value><base64>AP9oaQ==</base64></value>";
    QTest::newRow("date-time") << QVariant(QDateTime(QDate(2026, 12, 6), QTime(13, 5, 9)))
                               << "<value><datetime.iso8601>20261206T13:05:09</datetime.iso8601></value>";
    QTest::newRow("empty list") << QVariant(QVariantList()) << "<value><array><data/></array></value>";
    QTest::newRow("list") << QVariant(QVariantList{1, QStringLiteral("x")})
                          << "<value><array><data><value><int>1</int></value><value><string>x</string></value></data></array></value>";
    QTest::newRow("map in key order") << QVariant(QVariantMap{{"b", 1}, {"a", true}})
                                      << "<value><struct>"
                                         "<member><name>a</name><value><boolean>1</boolean></value></member>"
                                         "<member><name>b</name><value><int>1</int></value></member>"
                                         "</struct></value>";
    QTest::newRow("upper case keys first") << QVariant(QVariantMap{{"a", 1}, {"Z", 2}})
                                           << "<value><struct>"
                                              "<member><name>Z</name><value><int>2</int></value></member>"
                                              "<member><name>a</name><value><int>1</int></value></member>"
                                              "</struct></value>";
}

void TestMaiaObject::writeValue()
{
    QFETCH(QVariant, value);
    QTEST(valueText(value), "expected");
}

void TestMaiaObject::writeValue_unsupportedTypeVanishes()
{
    QTest::ignoreMessage(QtDebugMsg, "Failed to marshal unknown variant type: QVariant::QStringList");
    QTest::ignoreMessage(QtDebugMsg, "Failed to marshal unknown variant type: QVariant::qlonglong");
    QTest::ignoreMessage(QtDebugMsg, "Failed to marshal unknown variant type: QVariant::Invalid");
    MaiaObject call;
    const QString document = call.composeCall(
        QStringLiteral("m"), {QStringList{"a"}, QVariantMap{{"k", qint64(1)}}, QVariantList{QVariant(), 2}});
    QVERIFY2(document.contains(QLatin1String("<param/>")), qPrintable(document));
    QVERIFY2(document.contains(QLatin1String("<member>\n      <name>k</name>\n     </member>")), qPrintable(document));
    QVERIFY2(document.contains(QLatin1String("<data>\n      <value>\n       <int>2</int>")), qPrintable(document));
}

void TestMaiaObject::writeValue_dropsCharactersXmlForbids()
{
    MaiaObject call;
    const QString document = call.composeCall(QStringLiteral("m\x02"), {QStringLiteral("a\x01" "b\tc")});
    QVERIFY2(document.contains(QLatin1String("<methodName>m</methodName>")), qPrintable(document));
    QVERIFY2(document.contains(QLatin1String("<string>ab\tc</string>")), qPrintable(document));
    QDomDocument parsed;
    QVERIFY(parsed.setContent(document));
}

void TestMaiaObject::readValue_data()
{
    QTest::addColumn<QString>("xml");
    QTest::addColumn<QVariant>("expected");

    QTest::newRow("boolean TRUE") << "<value><boolean>TRUE</boolean></value>" << QVariant(true);
    QTest::newRow("boolean True") << "<value><boolean>True</boolean></value>" << QVariant(true);
    QTest::newRow("boolean 1") << "<value><boolean>1</boolean></value>" << QVariant(true);
    QTest::newRow("boolean yes") << "<value><boolean>yes</boolean></value>" << QVariant(false);
    QTest::newRow("boolean blank 1") << "<value><boolean> 1</boolean></value>" << QVariant(false);
    QTest::newRow("tag case ignored") << "<Value><BOOLEAN>1</BOOLEAN></Value>" << QVariant(true);
    QTest::newRow("i4") << "<value><i4>-17</i4></value>" << QVariant(-17);
    QTest::newRow("I4 upper case") << "<value><I4>3</I4></value>" << QVariant(3);
    QTest::newRow("int beyond 32 bits") << "<value><i4>2147483648</i4></value>" << QVariant(0);
    QTest::newRow("int not a number") << "<value><int>12a</int></value>" << QVariant(0);
    QTest::newRow("double") << "<value><double>-2.5e3</double></value>" << QVariant(-2500.0);
    QTest::newRow("double not a number") << "<value><double>x</double></value>" << QVariant(0.0);
    QTest::newRow("string") << "<value><string>a &amp; b</string></value>" << QVariant(QStringLiteral("a & b"));
    QTest::newRow("untyped text") << "<value>plain</value>" << QVariant(QStringLiteral("plain"));
    QTest::newRow("empty value") << "<value/>" << QVariant(QString());
    QTest::newRow("empty string") << "<value><string/></value>" << QVariant(QString());
    QTest::newRow("string in CDATA") << "<value><string><![CDATA[a<b]]></string></value>" << QVariant(QStringLiteral("a<b"));
    QTest::newRow("string in text and CDATA") << "<value><string>a &amp; <![CDATA[<b>]]> c</string></value>"
                                              << QVariant(QStringLiteral("a & <b> c"));
    QTest::newRow("string around a comment") << "<value><string>a<!-- b -->c</string></value>" << QVariant(QStringLiteral("ac"));
    QTest::newRow("string of a comment only") << "<value><string><!-- b --></string></value>" << QVariant(QString());
    QTest::newRow("string with a nested element") << "<value><string>a<i>b</i>c</string></value>" << QVariant(QStringLiteral("abc"));
    QTest::newRow("base64 in two CDATA sections") << "<value><base64><![CDATA[AP9o]]><![CDATA[aQ==]]></base64></value>"
                                                  << QVariant(QByteArray("\0\xffhi", 4));
    QTest::newRow("base64 with breaks and strays") << "<value><base64>AP9o\naQ==*</base64></value>"
                                                   << QVariant(QByteArray("\0\xffhi", 4));
    QTest::newRow("dateTime.iso8601 mixed case") << "<value><dateTime.iso8601>19980717T14:08:55</dateTime.iso8601></value>"
                                                 << QVariant(QDateTime(QDate(1998, 7, 17), QTime(14, 8, 55)));
    QTest::newRow("datetime short tag") << "<value><datetime>20000101T00:00:00</datetime></value>"
                                        << QVariant(QDateTime(QDate(2000, 1, 1), QTime(0, 0)));
    QTest::newRow("date-time not matching") << "<value><datetime.iso8601>2000-01-01</datetime.iso8601></value>"
                                            << QVariant(QDateTime());
    QTest::newRow("nil") << "<value><nil/></value>" << QVariant();
    QTest::newRow("not a value element") << "<param><int>1</int></param>" << QVariant();
    QTest::newRow("empty array") << "<value><array/></value>" << QVariant(QVariantList());
    QTest::newRow("array") << "<value><array><data><value><i4>1</i4></value><value>t</value></data></array></value>"
                           << QVariant(QVariantList{1, QStringLiteral("t")});
    QTest::newRow("array item not a value") << "<value><array><data><int>1</int><value><int>2</int></value></data></array></value>"
                                            << QVariant(QVariantList{QVariant(), 2});
    QTest::newRow("nested struct") << "<value><struct><member><name>a</name><value><struct><member><name>b</name>"
                                      "<value><array><data><value><nil/></value></data></array></value></member>"
                                      "</struct></value></member></struct></value>"
                                   << QVariant(QVariantMap{{"a", QVariantMap{{"b", QVariantList{QVariant()}}}}});
    QTest::newRow("duplicate key keeps last") << "<value><struct><member><name>k</name><value><int>1</int></value></member>"
                                                 "<member><name>k</name><value><int>2</int></value></member></struct></value>"
                                              << QVariant(QVariantMap{{"k", 2}});
    QTest::newRow("member without name or value") << "<value><struct><member><value><int>1</int></value></member>"
                                                     "<member><name>v</name></member></struct></value>"
                                                  << QVariant(QVariantMap{{"", 1}, {"v", QVariant()}});
}

void TestMaiaObject::readValue()
{
    QFETCH(QString, xml);
    QFETCH(QVariant, expected);
    const QVariant actual = readValueText(xml);
    QCOMPARE(actual.type(), expected.type());
    QCOMPARE(actual, expected);
}

void TestMaiaObject::readValue_unknownType()
{
    QTest::ignoreMessage(QtDebugMsg, "Cannot demarshal unknown type \"i8\"");
    const QVariant list = readValueText("<value><array><data><value><I8>5</I8></value><value><int>6</int></value></data></array></value>");
    QCOMPARE(list, QVariant(QVariantList{QVariant(), 6}));
}

void TestMaiaObject::readValue_emptyTextIsNotNull_data()
{
    // A null text would make composeResponse() leave the value out.
    QTest::addColumn<QString>("xml");
    QTest::newRow("empty value") << "<value/>";
    QTest::newRow("empty string element") << "<value><string></string></value>";
    QTest::newRow("empty CDATA") << "<value><string><![CDATA[]]></string></value>";
    QTest::newRow("empty untyped CDATA") << "<value><![CDATA[]]></value>";
    QTest::newRow("member with an empty name") << "<value><struct><member><name><![CDATA[]]></name><value>x</value></member></struct></value>";
}

void TestMaiaObject::readValue_emptyTextIsNotNull()
{
    QFETCH(QString, xml);
    const QVariant value = readValueText(xml);
    const QString text = value.type() == QVariant::Map ? value.toMap().firstKey() : value.toString();
    QVERIFY(text.isEmpty());
    QVERIFY(!text.isNull());
}

void TestMaiaObject::roundTrip_data()
{
    QTest::addColumn<QVariant>("value");
    QTest::newRow("bool") << QVariant(true);
    QTest::newRow("int min") << QVariant(std::numeric_limits<int>::min());
    QTest::newRow("double") << QVariant(-0.015625);
    QTest::newRow("unicode string") << QVariant(QStringLiteral("Grüße – ☃ \"q\" 'a' ]]>"));
    QTest::newRow("all bytes") << QVariant([] { QByteArray b; for (int i = 0; i < 256; ++i) b += char(i); return b; }());
    QTest::newRow("date-time") << QVariant(QDateTime(QDate(1999, 12, 31), QTime(23, 59, 59)));
    QTest::newRow("deep mix") << QVariant(QVariantMap{
        {"list", QVariantList{QVariantMap{{"x", 1}}, QVariantList{}, QByteArray("z")}},
        {"when", QDateTime(QDate(2020, 2, 29), QTime(0, 0, 1))},
        {"", QStringLiteral("empty key")}});
}

void TestMaiaObject::roundTrip()
{
    QFETCH(QVariant, value);
    MaiaObject call;
    QDomDocument document;
    QVERIFY(document.setContent(call.composeCall(QStringLiteral("echo"), {value})));
    const QDomElement valueElement = document.documentElement()
                                         .firstChildElement(QStringLiteral("params"))
                                         .firstChildElement(QStringLiteral("param"))
                                         .firstChildElement(QStringLiteral("value"));
    QCOMPARE(MaiaObject::fromXml(valueElement), value);
}

void TestMaiaObject::parseResponse_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("isFault");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("message"); // ending in a blank: a prefix of the parser's message
    QTest::addColumn<QVariant>("result");

    QTest::newRow("result") << response("<params><param><value><int>7</int></value></param>"
                                        "<param><value>ignored</value></param></params>")
                            << false << 0 << QString() << QVariant(7);
    QTest::newRow("empty params") << response("<params/>") << false << 0 << QString() << QVariant();
    QTest::newRow("upper-case params") << response("<PARAMS><param><value>x</value></param></PARAMS>")
                                       << false << 0 << QString() << QVariant(QStringLiteral("x"));
    QTest::newRow("fault") << response("<fault><value><struct>"
                                       "<member><name>faultString</name><value><string>boom</string></value></member>"
                                       "<member><name>faultCode</name><value><int>-5</int></value></member>"
                                       "</struct></value></fault>")
                           << true << -5 << "boom" << QVariant();
    QTest::newRow("fault code as string") << response("<fault><value><struct>"
                                                      "<member><name>faultCode</name><value><string>12</string></value></member>"
                                                      "</struct></value></fault>")
                                          << true << 12 << "" << QVariant();
    QTest::newRow("fault not a struct") << response("<fault><value><int>3</int></value></fault>")
                                        << true << 0 << "" << QVariant();
    QTest::newRow("not XML") << "abc" << true << -32700 << "parse error: response not well formed at line 1: " << QVariant();
    QTest::newRow("empty text") << "" << true << -32700 << "parse error: response not well formed at line " << QVariant();
    const QString tooDeep = QStringLiteral("parse error: response refused: elements nested deeper than 512 levels");
    QTest::newRow("512 levels") << response(DeepDocuments::paramsNestedTo(512)) << false << 0 << QString()
                                << QVariant(QStringLiteral("x"));
    QTest::newRow("513 levels") << response(DeepDocuments::paramsNestedTo(513)) << true << -32700 << tooDeep << QVariant();
    for (const DeepDocuments::Content &deep : DeepDocuments::behindEveryConstruct())
        QTest::newRow(qPrintable("100,000 deep behind " + deep.name)) << response(deep.markup) << true << -32700 << tooDeep
                                                                      << QVariant();
    QTest::newRow("document type") << "<?xml version=\"1.0\"?><!DOCTYPE lol [<!ENTITY a \"aaaa\">]>"
                                      "<methodResponse><params/></methodResponse>"
                                   << true << -32700 << "parse error: response refused: a document type declaration is not accepted"
                                   << QVariant();

    // Past the pre-scan's shortcut (more than 512 tags): values read as ever.
    const int piece = 64 * 1024;
    QString big;
    for (int i = 1; i <= 3; ++i)
        big += filler(i * piece - big.size() - 3) + (i == 1 ? QStringLiteral("&amp;") : i == 2 ? QStringLiteral("\u00e9\u20ac") : QStringLiteral("&#x20AC;"));
    QString expectedBig = big;
    expectedBig.replace("&amp;", "&").replace("&#x20AC;", QStringLiteral("\u20ac"));
    QVariantList items;
    QString itemsXml;
    for (int i = 0; i < 600; ++i) {
        items << i;
        itemsXml += QStringLiteral("<value><int>%1</int></value>").arg(i);
    }
    items << expectedBig;
    QTest::newRow("long text with references, among 600 values")
        << response("<params><param><value><array><data>" + itemsXml + "<value><string>" + big
                    + "</string></value></data></array></value></param></params>")
        << false << 0 << QString() << QVariant(items);

    QTest::newRow("other element") << response("<result/>") << true << -32600
                                   << "parse error: invalid xml-rpc. not conforming to spec." << QVariant();
    QTest::newRow("root without children") << "<methodResponse/>" << true << -32600
                                           << "parse error: invalid xml-rpc. not conforming to spec." << QVariant();
}

void TestMaiaObject::parseResponse()
{
    QFETCH(QString, text);
    QFETCH(bool, isFault);
    QFETCH(int, code);
    QFETCH(QString, message);
    QFETCH(QVariant, result);

    QPointer<MaiaObject> call = new MaiaObject;
    OutcomeRecorder recorder;
    recorder.watch(call);
    call->parseResponse(text, nullptr);

    QVERIFY2(call.isNull(), "the call object deletes itself after its outcome");
    QCOMPARE(recorder.outcomes.count(), 1);
    const OutcomeRecorder::Outcome outcome = recorder.outcomes.at(0);
    QCOMPARE(outcome.isFault, isFault);
    if (isFault) {
        QCOMPARE(outcome.code, code);
        if (message.endsWith(QLatin1Char(' '))) { // the parser's own words follow
            QVERIFY2(outcome.message.startsWith(message), qPrintable(outcome.message));
            QVERIFY2(outcome.message.size() > message.size(), "the parser's own message follows");
        } else {
            QCOMPARE(outcome.message, message);
        }
    } else {
        QCOMPARE(outcome.result.type(), result.type());
        QCOMPARE(outcome.result, result);
    }
}

void TestMaiaObject::parseResponse_senderAliveDuringOutcomeOnly()
{
    auto *call = new MaiaObject;
    call->setProperty("name", QStringLiteral("ok|err"));
    OutcomeRecorder recorder;
    recorder.watch(call);
    call->parseResponse(response("<params/>"), nullptr);
    QCOMPARE(recorder.outcomes.count(), 1);
    QCOMPARE(recorder.outcomes.at(0).tag, QStringLiteral("ok|err"));
    QVERIFY(recorder.lastSender.isNull());
}

QTEST_GUILESS_MAIN(TestMaiaObject)
#include "tst_maiaobject.moc"
