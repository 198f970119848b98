#include "documentreader.h"
#include "documentwriter.h"

#include <QDateTime>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>

#include <cmath>
#include <limits>

// The three XML-RPC documents: their exact text where layout and escaping
// show; values and outcomes read on both of the reader's ways (streamed, and
// through the DOM); and every type through Python's xmlrpc and xmlrpc-c, both
// ways. That both ways read any bytes alike is the reader fuzzer's to find.
class TestCodec : public QObject
{
    Q_OBJECT
private slots:
    void writes_data();
    void writes();
    void reads_data();
    void reads();
    void peers_data();
    void peers();
};

namespace {

// Values of one type, one of each text between '|'.
QByteArray typed(const QByteArray &type, const QByteArray &texts)
{
    QByteArray values;
    for (const QByteArray &text : texts.split('|'))
        values += "<value><" + type + '>' + text + "</" + type + "></value>";
    return values;
}

// The elements of `path` ("value/struct") one inside the other around `inner`; an empty one closes itself.
QByteArray nest(const QByteArray &path, const QByteArray &inner = {})
{
    QByteArray out = inner;
    const QByteArrayList tags = path.split('/');
    for (auto tag = tags.crbegin(); tag != tags.crend(); ++tag)
        out = out.isEmpty() ? '<' + *tag + "/>" : '<' + *tag + '>' + out + "</" + *tag + '>';
    return out;
}

QByteArray array(const QByteArray &values)
{
    return nest("value/array/data", values);
}

QByteArray member(const QByteArray &name, const QByteArray &value)
{
    return "<member><name>" + name + "</name>" + value + "</member>";
}

QByteArray call(const QByteArrayList &values, const QByteArray &method = "m")
{
    QByteArray params;
    for (const QByteArray &value : values)
        params += nest("param", value);
    return "<methodCall><methodName>" + method + "</methodName>" + nest("params", params) + "</methodCall>";
}

QByteArray response(const QByteArray &value, const QByteArray &kind = "params/param")
{
    return nest("methodResponse/" + kind, value);
}

// The compact document laid out as QDom's toString(1) lays it out: an
// element a line, one space a level, a text on its element's line.
QByteArray laidOut(const QByteArray &compact)
{
    static const QRegularExpression piece(QStringLiteral("<[^/>]*>[^<]*</[^>]*>|<[^>]*>"));
    QByteArray out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    int depth = 0;
    for (auto it = piece.globalMatch(QString::fromUtf8(compact)); it.hasNext();) {
        const QByteArray tag = it.next().captured().toUtf8();
        depth -= tag.startsWith("</");
        out += QByteArray(depth, ' ') + tag + '\n';
        depth += !tag.contains('/');
    }
    return out;
}

// Types, null texts and map keys spelt out: equal descriptions, equal values.
QString describe(const QVariant &value)
{
    const bool isMap = value.type() == QVariant::Map;
    if (isMap || value.type() == QVariant::List) {
        const QStringList keys = value.toMap().keys();
        const QVariantList items = isMap ? value.toMap().values() : value.toList();
        QString text = QLatin1String(isMap ? "{" : "[");
        for (int i = 0; i < items.size(); ++i)
            text += (isMap ? describe(keys.at(i)) + ": " : QString()) + describe(items.at(i)) + ", ";
        return text + (isMap ? '}' : ']');
    }
    const QString text
        = value.type() == QVariant::ByteArray ? QString::fromLatin1(value.toByteArray().toHex()) : value.toString();
    return QLatin1String(value.isValid() ? value.typeName() : "nil")
        + (text.isNull() ? QStringLiteral(" null") : ' ' + text);
}

// A call's method and arguments or a response's result; else the fault a
// caller is told (a call's as a response's would be), but the DOM parser's own words.
QString reading(const QByteArray &document, bool asCall)
{
    DocumentReader::Response response;
    if (asCall) {
        const DocumentReader::Call call = DocumentReader::readCall(document);
        if (call.outcome == DocumentReader::Read)
            return "call " + call.methodName + ' ' + describe(call.arguments());
        response.outcome = call.outcome;
        response.error = call.error;
    } else {
        response = DocumentReader::readResponse(document);
        if (response.outcome == DocumentReader::Read && !response.isFault)
            return describe(response.result);
    }
    const MaiaFault fault = response.fault();
    static const QRegularExpression parserWords("( not well formed at line \\d+: ).+");
    return QStringLiteral("fault %1 ").arg(fault.code()) + fault.message().replace(parserWords, "\\1...");
}

// The call a peer wrote back of `document` (both take it on their standard input), or "refused: " and why.
QByteArray throughPeer(bool python, const QByteArray &document)
{
    QProcess peer;
    peer.start(python ? "python3" : XMLRPC_C_PEER, python ? QStringList{PEER_SCRIPT} : QStringList());
    peer.write(document);
    peer.closeWriteChannel();
    if (!peer.waitForFinished(30000) || peer.exitCode() != 0)
        return "refused: " + peer.readAllStandardError().trimmed();
    return peer.readAllStandardOutput();
}

} // namespace

void TestCodec::writes_data()
{
    QTest::addColumn<QString>("written");
    QTest::addColumn<QByteArray>("expected");
    const auto row = [](const char *name, const QString &written, const QByteArray &compact) {
        QTest::newRow(name) << written << laidOut(compact);
    };
    row("call without arguments", DocumentWriter::call("ping", {}), call({}, "ping"));
    for (const QVariant &null : {QVariant(), QVariant(QString()), QVariant(QDateTime())})
        row(qPrintable("null " + QString::fromLatin1(null.typeName())), DocumentWriter::response(null),
            nest("methodResponse/params"));
    row("fault", QString::fromUtf8(DocumentWriter::fault(-32601, "no such method")),
        response(nest("value/struct", member("faultCode", typed("int", "-32601"))
                                          + member("faultString", typed("string", "no such method"))),
                 "fault"));
    // A zone goes as UTC, local time as it stands; to the second, an invalid one as nil.
    const QDate day(2026, 12, 6);
    const QByteArray nil = "<value><nil/></value>";
    row("scalars and date-times",
        DocumentWriter::response(QVariantList{true, false, -42, std::numeric_limits<qlonglong>::min(), qulonglong(5),
                                              3.14159265, 1e10, 0.5, 0.1, 1e-300, -0.0, 2.0 / 3, QString(),
                                              QByteArray("\0\xffhi", 4), QByteArray(),
                                              QDateTime(day, QTime(13, 5, 9, 999)),
                                              QDateTime(day, QTime(1, 2, 3), Qt::UTC),
                                              QDateTime(day, QTime(1, 2, 3), Qt::OffsetFromUTC, 7200),
                                              QDateTime(day, QTime(23, 2, 3), Qt::OffsetFromUTC, -3600), QDateTime()}),
        response(array(typed("boolean", "1|0") + typed("int", "-42") + typed("i8", "-9223372036854775808|5")
                       + typed("double", "3.14159265|1e+10|0.5|0.1|1e-300|-0|0.6666666666666666") + typed("string", "")
                       + typed("base64", "AP9oaQ==|")
                       + typed("dateTime.iso8601", "20261206T13:05:09|20261206T01:02:03|20261205T23:02:03")
                       + typed("dateTime.iso8601", "20261207T00:02:03") + nil)));
    // '>' stays but after "]]"; XML's forbidden characters go, those beyond the basic plane stay.
    row("escapes", DocumentWriter::call(QString::fromUtf16(u"a\rb\x02"),
                                        {QString::fromUtf16(u"a<b&c> ]> ]]> ]]]>\t\n\x01\xfffe\xd800\U0001F600"),
                                         QString::fromUtf16(u"<&\r\x1f\xfa\t>x").repeated(600)}),
        call({typed("string", "a&lt;b&amp;c> ]> ]]&gt; ]]]&gt;\t\n\xf0\x9f\x98\x80"),
              typed("string", QByteArray("&lt;&amp;&#xd;\xc3\xba\t>x").repeated(600))}, "a&#xd;b"));
    row("containers and nil",
        DocumentWriter::response(QVariantMap{{"a", QVariantList()}, {"b", QVariantList{1, QVariantMap(), QVariant()}},
                                             {"", QVariantMap{{"k", "v"}, {"n", QVariant()}}}}),
        response(nest("value/struct", member("", nest("value/struct", member("k", typed("string", "v")) + member("n", nil)))
                                          + member("a", array({}))
                                          + member("b", array(typed("int", "1") + "<value><struct/></value>" + nil)))));
    // Each value left out is reported: four in the call below.
    QTest::ignoreMessage(QtDebugMsg, "Failed to marshal unknown variant type: QVariant::QStringList");
    for (const char *value : {"double, nan", "qulonglong, 18446744073709551615", "double, inf",
                              "QDateTime, QDateTime(10000-01-01 00:00:00.000 UTC Qt::UTC)"})
        QTest::ignoreMessage(QtDebugMsg, qPrintable(QLatin1String("Failed to marshal a value out of range: QVariant(")
                                                    + value + ')'));
    row("values that vanish",
        DocumentWriter::call("m", {QStringList{"a"}, QVariantMap{{"k", std::nan("")}},
                                   QVariantList{std::numeric_limits<qulonglong>::max(), HUGE_VAL, 2,
                                                QDateTime(QDate(10000, 1, 1), QTime(0, 0), Qt::UTC)}}),
        call({"", nest("value/struct", member("k", "")), array(typed("int", "2"))}));
}

void TestCodec::writes()
{
    QFETCH(QString, written);
    QTEST(written.toUtf8(), "expected");
}

void TestCodec::reads_data()
{
    QTest::addColumn<QByteArray>("document"); // read as a call if it is one, else as a response
    QTest::addColumn<QString>("expected");
    QTest::addColumn<QString>("unknownType");
    // A value read from a response and from a call: described, or the fault of both.
    const auto value = [](const char *name, const QByteArray &xml, const QString &expected, const QString &unknown = {}) {
        QTest::newRow(name) << response(xml) << expected << unknown;
        QTest::newRow(qPrintable(QLatin1String(name) + " in a call"))
            << call({xml}) << (expected.startsWith("fault ") ? expected : "call m [" + expected + ", ]") << unknown;
    };
    const auto document = [](const char *name, const QByteArray &xml, const QString &expected) {
        QTest::newRow(name) << xml << expected << QString();
    };
    const QString empty = QLatin1String(""); // never null: a null text would leave a response empty

    value("numbers, truth and strings",
          array(typed("boolean", "TRUE|1| 1 |false|0") + "<Value><BOOLEAN>1</BOOLEAN></Value>" + typed("i4", "-17")
                + typed("I4", "3") + typed("int", " +7 |-2147483648") + typed("i8", "9223372036854775807|-5")
                + typed("double", "-2.5e3|0.1|1e-300|4.9406564584124654e-324|12") + typed("string", "a &amp; b|")
                + "<value><string/></value><value>plain</value><value/><value></value>"),
          describe(QVariantList{true, true, true, false, false, true, -17, 3, 7, -2147483647 - 1,
                                qlonglong(9223372036854775807), qlonglong(-5), -2500.0, 0.1, 1e-300, 5e-324, 12.0,
                                "a & b", empty, empty, "plain", empty, empty}));
    // The first text that does not convert is named; nothing of the document is handed on.
    const QString refused = "fault -32600 parse error: invalid xml-rpc. %1 value '%2' does not convert";
    for (const char *row : {"int with junk|int|12abc", "int beyond 32 bits|i4|2147483648", "empty int|int|",
                            "i8 beyond 64 bits|i8|9223372036854775808", "double not a number|double|abc",
                            "double beyond its range|double|1e999", "boolean 2|boolean|2", "boolean yes|BOOLEAN|yes",
                            "date alone|dateTime.iso8601|2000-01-01", "hour 25|datetime|20240506T25:08:09",
                            "mixed separators|dateTime.iso8601|2024-0506T07:08:09",
                            "offset of 61 minutes|dateTime.iso8601|20240506T07:08:09+02:61"}) {
        const QByteArrayList fields = QByteArray(row).split('|');
        value(fields[0], array("<value><i8>1</i8></value>" + typed(fields[1], fields[2])),
              refused.arg(QString(fields[1]).toLower(), fields[2]));
    }
    value("long text, cut", typed("double", QByteArray("9").repeated(70) + "x"),
          refused.arg("double", QString("9").repeated(60) + "..."));
    const QByteArray hi("\0\xffhi", 4);
    value("texts in CDATA, around comments and elements",
          array(typed("string", "<![CDATA[a<b]]>|a &amp; <![CDATA[<b>]]> c|a<!-- b -->c|<!-- b -->|a<i>b</i>c|<![CDATA[]]>")
                + "<value><![CDATA[]]></value>" + nest("value/struct", member("<![CDATA[]]>", "<value>x</value>"))
                + typed("base64", "<![CDATA[AP9o]]><![CDATA[aQ==]]>|AP9o\naQ==*")),
          describe(QVariantList{"a<b", "a & <b> c", "ac", empty, "abc", empty, empty, QVariantMap{{empty, "x"}}, hi, hi}));
    // Basic and extended forms; without a zone local time, with one that zone.
    const QDate day(2024, 5, 6);
    const QTime time(7, 8, 9);
    const QDateTime local(day, time);
    value("date-times",
          array(typed("dateTime.iso8601", "19980717T14:08:55|2024-05-06T07:08:09|20240506T070809|20240506T07:08:09.5")
                + typed("datetime", "20000101T00:00:00") + typed("datetime.iso8601", "20240506T07:08:09Z")
                + typed("DATETIME.ISO8601", "2024-05-06T07:08:09,123456+02:00|20240506T070809-0530| 20240506T07:08:09+01 ")),
          describe(QVariantList{QDateTime(QDate(1998, 7, 17), QTime(14, 8, 55)), local, local,
                                QDateTime(day, QTime(7, 8, 9, 500)), QDateTime(QDate(2000, 1, 1), QTime(0, 0)),
                                QDateTime(day, time, Qt::UTC), QDateTime(day, QTime(7, 8, 9, 123), Qt::OffsetFromUTC, 7200),
                                QDateTime(day, time, Qt::OffsetFromUTC, -19800),
                                QDateTime(day, time, Qt::OffsetFromUTC, 3600)}));
    value("not a value element", "<param><int>1</int></param>", "nil null");
    // Text that only QChar counts as space, between elements, is dropped as white space is.
    value("arrays, nil and unknown types",
          array("<value><array/></value>\xc2\xa0<value><nil/></value><int>1</int>" + typed("I16", "5")),
          describe(QVariantList{QVariantList(), QVariant(), QVariant(), QVariant()}), "\"i16\"");
    value("structs",
          nest("value/struct", member("a", nest("value/struct", member("b", array("<value><nil/></value>"))))
                                   + member("k", "<value>1</value>") + member("k", typed("int", "2"))
                                   + "<member><value><int>1</int></value></member><member><name>v</name></member>"),
          describe(QVariantMap{{"a", QVariantMap{{"b", QVariantList{QVariant()}}}}, {"k", 2}, {QString(), 1},
                               {"v", QVariant()}}));

    // Unknown elements, the deepest `levels` down: root, params, param and value are four.
    const auto nested = [](int levels) {
        return "<value>" + QByteArray("<x>").repeated(levels - 4) + QByteArray("</x>").repeated(levels - 4) + "</value>";
    };
    const QString refusal = "fault -32700 parse error: response refused: ";
    const QString depth = refusal + "elements nested deeper than 512 levels";
    value("512 levels", nested(512), "nil null", "\"x\"");
    value("513 levels", nested(513), depth);
    // 100,000 nested elements behind markup a stricter reader stops at, or a scanner could end too early or too
    // late ('>' and an unclosed opener inside a construct).
    const char *const covers[][3] = {
        {"nothing", "", "<a>"}, {"an undeclared prefix", "<x:y/>", "<a>"}, {"an undeclared entity", "&zz;", "<a>"},
        {"a comment", "<!-- c -->", "<a>"}, {"a CDATA section", "<![CDATA[ > <!-- ]]>", "<a>"},
        {"a processing instruction", "<?pi > <!-- ?>", "<a>"}, {"'>' in an attribute value", "<b c=\">\"/>", "<a>"},
        {"'<' in an attribute value", "<b c='<'/>", "<a>"}, {"'>' and '<' in a comment", "<!-- > <? -->", "<a>"},
        {"'/>' in each element's attribute value", "", "<a c=\"/>\">"},
        {"all that the DOM parser reads past", "<x:y c='>\"'/>&zz;<!--> <b> --><![CDATA[<b>]]><?pi <b>?>", "<a>"}};
    for (const auto &cover : covers)
        document(qPrintable(QLatin1String("100,000 deep behind ") + cover[0]),
                 "<methodResponse>" + QByteArray(cover[1]) + QByteArray(cover[2]).repeated(100000), depth);
    const QByteArray doctype = "<?xml version=\"1.0\"?><!DOCTYPE lol [<!ENTITY a \"aaaa\">]>";
    document("document type", doctype + response({}), refusal + "a document type declaration is not accepted");
    document("params after the first", "<methodResponse><PARAMS><param>" + typed("int", "7")
                                           + "</param><param><value>no</value></param></PARAMS></methodResponse>", "int 7");
    document("empty params", nest("methodResponse/params"), "nil null");
    const auto fault = [](const QByteArray &members) { return response(nest("value/struct", members), "fault"); };
    document("fault", fault(member("faultString", typed("string", "boom")) + member("faultCode", typed("int", "-5"))),
             "fault -5 boom");
    document("fault code as a string", fault(member("faultCode", "<value>12</value>")), "fault 12 ");
    document("fault not a struct", response(typed("int", "3"), "fault"), "fault 0 ");
    document("not XML", "abc", "fault -32700 parse error: response not well formed at line 1: ...");
    const QString notXmlRpc = "fault -32600 parse error: invalid xml-rpc. not conforming to spec.";
    document("other element", "<methodResponse><result/></methodResponse>", notXmlRpc);
    document("root without children", "<methodResponse/>", notXmlRpc);
    document("NUL ends it", response("<value>a</value>") + QByteArray("\0<junk", 6), "QString a");
    document("call: names, params and texts after the first",
             "<methodCall><params><param/><param><value/></param>x</params><methodName>m</methodName><methodName>n"
             "</methodName><params><param><value>p</value></param></params></methodCall>",
             "call m [nil null, QString , nil null, ]");
    document("call without a name", "<methodCall><params/></methodCall>", notXmlRpc);
}

void TestCodec::reads()
{
    QFETCH(QByteArray, document);
    QFETCH(QString, expected);
    QFETCH(QString, unknownType);
    for (int i = 0; !unknownType.isEmpty() && i < 2; ++i)
        QTest::ignoreMessage(QtDebugMsg, qPrintable("Cannot demarshal unknown type " + unknownType));
    const bool asCall = document.contains("<methodCall>");
    QCOMPARE(reading(document, asCall), expected); // streamed, and through the DOM (as anything but the plain form is)
    QCOMPARE(reading(document + "<!---->", asCall), expected);
}

// Each type in a call to each peer: what we read of the call it writes back (a value it misread comes back so).
void TestCodec::peers_data()
{
    QTest::addColumn<QVariant>("sent");
    QTest::addColumn<QString>("pythonEcho");  // our reading of the call Python writes of it, or its refusal
    QTest::addColumn<QString>("xmlrpcCEcho"); // the same of xmlrpc-c
    const auto echo = [](const QVariant &value) { // a peer's refusal, or what we read of its echo
        return value.toString().startsWith("refused: ") ? value.toString() : "call echo " + describe(QVariantList{value});
    };
    const auto row = [&echo](const char *name, const QVariant &sent, const QVariant &python, const QVariant &xmlrpcC) {
        QTest::newRow(name) << sent << echo(python) << echo(xmlrpcC);
    };
    const QDate day(2024, 5, 6);
    const QDateTime clock(day, QTime(7, 8, 9)), utcClock(day, QTime(5, 8, 9));
    const QVariantList alike{std::numeric_limits<int>::min(), true, QString::fromUtf16(u"a <b> & \"c\" \u00e9\u20ac\t\n"),
                             QStringLiteral(" ]]> ]]]>"), 0.1, 3.141592653589793, 1e22, clock,
                             QByteArray("\0\xff<&>", 5), QVariant(),
                             QVariantList{1, "two", QVariant(), QVariantList()},
                             QVariantMap{{"a", 1}, {"", QVariantMap()}, {"<&>", "x"}},
                             QVariantMap{{"list", QVariantList{QVariantMap{{"when", QDateTime(day, QTime(0, 0))}}, 2.5}}}};
    row("every type alike", alike, alike, alike);
    row("i8 within 32 bits", qlonglong(-5), -5, qlonglong(-5)); // Python writes an int as int
    const qlonglong big = qlonglong(1) << 40;
    row("i8 beyond 32 bits", big, "refused: OverflowError: int exceeds XML-RPC limits", big);
    const QString astral = QString::fromUtf16(u"\U0001F600");
    row("string beyond the basic plane", astral, astral,
        "refused: 4-byte supposed UTF-8 string is not valid UTF-8.  UTF-8 string contains a character not in the Basic "
        "Multilingual Plane (first byte 0xfffffff0)");
    // A zone goes as its UTC time, milliseconds not at all.
    const QVariantList zoned{QDateTime(day, QTime(5, 8, 9), Qt::UTC),
                             QDateTime(day, clock.time(), Qt::OffsetFromUTC, 7200), QDateTime(day, QTime(7, 8, 9, 999))};
    const QVariantList clocks{utcClock, utcClock, clock};
    row("date-times with a zone or milliseconds", zoned, clocks, clocks);
}

void TestCodec::peers()
{
    QFETCH(QVariant, sent);
    const QByteArray document = DocumentWriter::call("echo", {sent});
    for (const char *peer : {"pythonEcho", "xmlrpcCEcho"}) {
        const QByteArray echo = throughPeer(peer == QLatin1String("pythonEcho"), document);
        QTEST(echo.startsWith("refused: ") ? QString::fromUtf8(echo) : reading(echo, true), peer);
    }
}

QTEST_GUILESS_MAIN(TestCodec)
#include "tst_codec.moc"
