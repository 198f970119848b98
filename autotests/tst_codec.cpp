#include "deepdocuments.h"
#include "documentreader.h"
#include "documentwriter.h"
#include "maiaFault.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLoggingCategory>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTest>

#include <algorithm>

// The three XML-RPC documents: their exact text where layout and escaping
// show; values and outcomes read on both of the reader's ways (streamed, and
// through the DOM); random trees through our writer and reader and Python's;
// and streamed readings of mangled documents against the DOM's.
class TestCodec : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void writes_data();
    void writes();
    void reads_data();
    void reads();
    void roundTrips();
    void streamsAsTheDomReads();

private:
    QVariantList trees;
    QStringList methods;
    QList<QByteArray> written; // a response of each tree, and a call with it
    QList<QByteArray> python;  // what the peer wrote of what it read from each
};

namespace {

const QByteArray toDom = "<!---->"; // anything but the plain form sends a document to the DOM

// Values of one type, one of each text between '|'.
QByteArray typed(const QByteArray &type, const QByteArray &texts)
{
    QByteArray values;
    for (const QByteArray &text : texts.split('|'))
        values += "<value><" + type + '>' + text + "</" + type + "></value>";
    return values;
}

QByteArray array(const QByteArray &values)
{
    return "<value><array><data>" + values + "</data></array></value>";
}

QByteArray member(const QByteArray &name, const QByteArray &value)
{
    return "<member><name>" + name + "</name>" + value + "</member>";
}

QByteArray structure(const QByteArray &members)
{
    return "<value><struct>" + members + "</struct></value>";
}

QByteArray params(const QByteArrayList &values)
{
    QByteArray out;
    for (const QByteArray &value : values)
        out += value.isEmpty() ? QByteArray("<param/>") : "<param>" + value + "</param>";
    return values.isEmpty() ? "<params/>" : "<params>" + out + "</params>";
}

QByteArray call(const QByteArrayList &values, const QByteArray &method = "m")
{
    return "<methodCall><methodName>" + method + "</methodName>" + params(values) + "</methodCall>";
}

QByteArray response(const QByteArray &value, const QByteArray &kind = "params")
{
    return "<methodResponse>" + (kind == "params" ? params({value}) : '<' + kind + '>' + value + "</" + kind + '>')
        + "</methodResponse>";
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

// A call's method and arguments, or a response's outcome as a caller gets
// it, but the DOM parser's own words.
QString reading(const QByteArray &document, bool asCall)
{
    if (asCall) {
        const DocumentReader::Call call = DocumentReader::readCall(document);
        if (call.outcome == DocumentReader::Read)
            return "call " + call.methodName + ' ' + describe(call.arguments());
        return QStringLiteral("outcome %1 %2")
            .arg(call.outcome)
            .arg(call.outcome == DocumentReader::Refused ? call.error : "");
    }
    const DocumentReader::Response response = DocumentReader::readResponse(document);
    if (response.outcome == DocumentReader::Read && !response.isFault)
        return describe(response.result);
    const MaiaFault fault = response.fault();
    const QString message
        = fault.message().replace(QRegularExpression("( not well formed at line \\d+: ).+"), "\\1...");
    return QStringLiteral("fault %1 %2").arg(fault.code()).arg(message);
}

// Both of the reader's ways give the expected reading.
void compareReadings(const QByteArray &document, bool asCall, const QString &expected)
{
    QCOMPARE(reading(document, asCall), expected);
    QCOMPARE(reading(document + toDom, asCall), expected);
}

// Text of what escaping turns on, in runs that reach the writer's 8-unit
// blocks and 4096-unit chunks; never of white space alone, which the DOM drops.
QString randomText(QRandomGenerator &random)
{
    static const QString pieces[] = {"&", "<", ">", "]]>", "]", "\r\n", "\t", " ", "a", "\"'", "&amp;", "abcdefghij",
                                     QString::fromUtf16(u"\u00e9\u20ac\ufeff\u00a0\U0001F600")};
    QString text = QLatin1String("");
    for (int n = random.bounded(10); n > 0; --n)
        text += pieces[random.bounded(13)].repeated(random.bounded(10) ? 1 : random.bounded(1, 1200));
    return !text.isEmpty() && text.trimmed().isEmpty() ? text + 'x' : text;
}

// Every type the documents carry, as they carry it: doubles of six digits, date-times to the second.
QVariant randomTree(QRandomGenerator &random, int depth = 0)
{
    const int kind = random.bounded(depth < 4 ? 8 : 6);
    QVariantList list;
    QVariantMap map;
    for (int n = kind < 6 ? 0 : random.bounded(5); n > 0; --n)
        kind == 6 ? void(list << randomTree(random, depth + 1))
                  : void(map.insert(randomText(random), randomTree(random, depth + 1)));
    QByteArray bytes(random.bounded(300), Qt::Uninitialized);
    std::generate(bytes.begin(), bytes.end(), [&random] { return char(random.bounded(256)); });
    const double number = QString("%1e%2").arg(random.bounded(-999999, 999999)).arg(random.bounded(-30, 30)).toDouble();
    const QDateTime when(QDate(random.bounded(1900, 2100), random.bounded(1, 13), random.bounded(1, 29)),
                         QTime(random.bounded(4, 24), random.bounded(60), random.bounded(60)));
    const QVariant values[] = {int(random.generate()), random.bounded(2) == 1, number, randomText(random),
                               bytes, when, list, map};
    return values[kind];
}

// Spliced in where a tag starts or ends: what the streamed form leaves to
// the DOM, or must read as the DOM does.
const QByteArrayList snippets = QByteArray(
    " |\t|\n|\r|\r\n|\v|\xc2\xa0|\xe3\x80\x80|\xc2\x85|<!-- c -->|<![CDATA[x]]>|<![CDATA[]]>|<?pi x?>|"
    "<!DOCTYPE x>|&amp;|&lt;|&gt;|&quot;|&apos;|&#32;|&#x20;|&#13;|&#xD;|&#xA0;|&#x1F600;|&#0;|&#xFFFE;|&#xD800;|"
    "&#X41;|&#65;|&zz;|&amp|&|&#;|&;|\x01|\x7f|\xef\xbf\xbe|\xef\xbb\xbf|\xff|\xc3|\xed\xa0\x80|\xf0\x9f\x98\x80|"
    "x| x |1|]]>|>|]]|<x/>|<value/>|<name/>|<value>v</value>|<name>n</name>|<member/>|"
    "<member><value>1</value><name>r</name></member>|<member><name>a</name></member>|<param/>|<param>t</param>|"
    "<methodName>n</methodName>|<params/>|<data/>|<VALUE><I4>3</I4></VALUE>|<value><nil/></value>|"
    "<value><what/></value>|<fault/>|<struct/>|<array/>|<x:y/>|<1/>|<x />|</x>|<x>| a=\"1\"|"
    "<?xml version=\"1.0\"?>|<?xml version='1.0' encoding='utf-8' standalone='no' ?>|<?xml version=\"1.1\"?>|"
    "<?xml encoding=\"UTF-8\" version=\"1.0\"?>|<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>|"
    "<?xml version=\"1.0\" encoding=\"1x\"?>|<?XML version=\"1.0\"?>").split('|');

const char *const tagNames[] = {"value", "name", "member", "string", "int", "params", "param", "array", "data",
                                "struct", "methodName", "fault", "boolean", "base64", "methodResponse"};

QByteArray mangled(QByteArray document, QRandomGenerator &random)
{
    for (int n = random.bounded(1, 4); n > 0; --n) {
        QVector<int> at{0};
        for (int i = 0; i < document.size(); ++i) {
            if (document.at(i) == '<' || document.at(i) == '>')
                at << i + (document.at(i) == '>');
        }
        const QByteArray name = tagNames[random.bounded(15)];
        const QByteArray other = random.bounded(2) ? name.toUpper() : QByteArray(tagNames[random.bounded(15)]);
        const int how = random.bounded(8);
        if (how == 0) // an element under another name, or in capitals, mostly its start tag too
            document.replace("</" + name + '>', "</" + other + '>')
                .replace('<' + (random.bounded(4) ? name : other) + '>', '<' + other + '>');
        else // first, between tags, or inside the one that ends there
            document.insert(how == 1 ? 0 : qMax(0, at.at(random.bounded(at.size())) - random.bounded(2)),
                            snippets.at(random.bounded(snippets.size())));
    }
    return document;
}

} // namespace

void TestCodec::initTestCase()
{
    QRandomGenerator random(20261207);
    for (int i = 0; i < 60; ++i) {
        trees << randomTree(random);
        methods << randomText(random) + 'm'; // Python writes no call without a name
        written << DocumentWriter::response(trees.last()) << DocumentWriter::call(methods.last(), {trees.last(), 1});
    }
    written << DocumentWriter::fault(-32601, QStringLiteral("no such method: <x> & 'y' ]]>"));
    QJsonArray documents;
    for (const QByteArray &document : qAsConst(written))
        documents << QString::fromUtf8(document);

    QProcess peer;
    peer.start(QStringLiteral("python3"), {QStringLiteral(PEER_SCRIPT)});
    peer.write(QJsonDocument(documents).toJson());
    peer.closeWriteChannel();
    QVERIFY2(peer.waitForFinished(60000) && peer.exitCode() == 0, peer.readAllStandardError().constData());
    for (const QJsonValue &theirs : QJsonDocument::fromJson(peer.readAllStandardOutput()).array())
        python << theirs.toString().toUtf8();
    QCOMPARE(python.size(), documents.size());
}

void TestCodec::writes_data()
{
    QTest::addColumn<QString>("written");
    QTest::addColumn<QByteArray>("expected");
    const auto row = [](const char *name, const QString &written, const QByteArray &compact) {
        QTest::newRow(name) << written << (compact.startsWith("<method") ? laidOut(compact) : compact);
    };
    row("call without arguments", DocumentWriter::call("ping", {}), call({}, "ping"));
    for (const QVariant &null : {QVariant(), QVariant(QString()), QVariant(QDateTime())})
        row(qPrintable("null " + QString::fromLatin1(null.typeName())), DocumentWriter::response(null),
            "<methodResponse><params/></methodResponse>");
    row("fault", QString::fromUtf8(DocumentWriter::fault(-32601, "no such method")),
        response(structure(member("faultCode", typed("int", "-32601"))
                           + member("faultString", typed("string", "no such method"))),
                 "fault"));
    row("scalars",
        DocumentWriter::response(QVariantList{true, false, -42, 3.14159265, 1e10, 0.5, QString(),
                                                 QByteArray("\0\xffhi", 4), QByteArray(),
                                                 QDateTime(QDate(2026, 12, 6), QTime(13, 5, 9)), QDateTime()}),
        response(array(typed("boolean", "1|0") + typed("int", "-42") + typed("double", "3.14159|1e+10|0.5")
                       + typed("string", "") + typed("base64", "AP9oaQ==|")
                       + typed("datetime.iso8601", "20261206T13:05:09|"))));
    // '>' stays but after "]]"; XML's forbidden characters go, those beyond the basic plane stay.
    row("escapes", DocumentWriter::call(QString::fromUtf16(u"a\rb\x02"),
                                            {QString::fromUtf16(u"a<b&c> ]> ]]> ]]]>\t\n\x01\xfffe\xd800\U0001F600"),
                                             QString::fromUtf16(u"<&\r\x1f\xfa\t>x").repeated(600)}),
        call({typed("string", "a&lt;b&amp;c> ]> ]]&gt; ]]]&gt;\t\n\xf0\x9f\x98\x80"),
              typed("string", QByteArray("&lt;&amp;&#xd;\xc3\xba\t>x").repeated(600))}, "a&#xd;b"));
    row("containers",
        DocumentWriter::response(
            QVariantMap{{"a", QVariantList()}, {"b", QVariantList{1, QVariantMap()}}, {"", QVariantMap{{"k", "v"}}}}),
        response(structure(member("", structure(member("k", typed("string", "v"))))
                           + member("a", "<value><array><data/></array></value>")
                           + member("b", array(typed("int", "1") + "<value><struct/></value>")))));
    // Each value left out is reported: three in the call below, one in the element.
    for (const char *type : {"QStringList", "qlonglong", "Invalid"})
        QTest::ignoreMessage(QtDebugMsg,
                             qPrintable(QLatin1String("Failed to marshal unknown variant type: QVariant::") + type));
    row("types that vanish",
        DocumentWriter::call("m", {QStringList{"a"}, QVariantMap{{"k", qint64(1)}}, QVariantList{QVariant(), 2}}),
        call({"", structure(member("k", "")), array(typed("int", "2"))}));
}

void TestCodec::writes()
{
    QFETCH(QString, written);
    QTEST(written.toUtf8(), "expected");
}

void TestCodec::reads_data()
{
    // A value is read from a response and from a call; other documents as they stand.
    QTest::addColumn<QByteArray>("document");
    QTest::addColumn<bool>("asCall");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<QString>("unknownType");
    const auto value
        = [](const char *name, const QByteArray &xml, const QVariant &expected, const QString &unknown = {}) {
              QTest::newRow(name) << response(xml) << false << describe(expected) << unknown;
              QTest::newRow(qPrintable(QLatin1String(name) + " in a call"))
                  << call({xml}) << true << "call m " + describe(QVariantList{expected}) << unknown;
          };
    const auto document = [](const char *name, const QByteArray &xml, bool asCall, const QString &expected) {
        QTest::newRow(name) << xml << asCall << expected << QString();
    };
    const QString empty = QLatin1String(""); // never null: a null text would leave a response empty

    value("numbers and truth",
          array(typed("boolean", "TRUE|1|yes| 1") + "<Value><BOOLEAN>1</BOOLEAN></Value>" + typed("i4", "-17")
                + typed("I4", "3") + typed("int", "2147483648|12a") + typed("double", "-2.5e3|x")),
          QVariantList{true, true, false, false, true, -17, 3, 0, 0, -2500.0, 0.0});
    value("strings",
          array(typed("string", "a &amp; b|") + "<value><string/></value><value>plain</value><value/><value></value>"),
          QVariantList{"a & b", empty, empty, "plain", empty, empty});
    value("strings in CDATA, around comments and elements",
          array(typed("string",
                      "<![CDATA[a<b]]>|a &amp; <![CDATA[<b>]]> c|a<!-- b -->c|<!-- b -->|a<i>b</i>c|<![CDATA[]]>")
                + "<value><![CDATA[]]></value>" + structure(member("<![CDATA[]]>", "<value>x</value>"))),
          QVariantList{"a<b", "a & <b> c", "ac", empty, "abc", empty, empty, QVariantMap{{empty, "x"}}});
    value("base64", array(typed("base64", "<![CDATA[AP9o]]><![CDATA[aQ==]]>|AP9o\naQ==*")),
          QVariantList{QByteArray("\0\xffhi", 4), QByteArray("\0\xffhi", 4)});
    value("date-times",
          array(typed("dateTime.iso8601", "19980717T14:08:55") + typed("datetime", "20000101T00:00:00")
                + typed("datetime.iso8601", "2000-01-01")),
          QVariantList{QDateTime(QDate(1998, 7, 17), QTime(14, 8, 55)), QDateTime(QDate(2000, 1, 1), QTime(0, 0)),
                       QDateTime()});
    value("not a value element", "<param><int>1</int></param>", QVariant());
    value("arrays, nil and unknown types",
          array("<value><array/></value><value><nil/></value><int>1</int>" + typed("I8", "5")),
          QVariantList{QVariantList(), QVariant(), QVariant(), QVariant()}, "\"i8\"");
    value(
        "structs",
        structure(member("a", structure(member("b", array("<value><nil/></value>")))) + member("k", "<value>1</value>")
                  + member("k", typed("int", "2")) + "<member><value><int>1</int></value></member>"
                  + "<member><name>v</name></member>"),
        QVariantMap{{"a", QVariantMap{{"b", QVariantList{QVariant()}}}}, {"k", 2}, {QString(), 1}, {"v", QVariant()}});

    // Unknown elements, the deepest `levels` down: root, params, param and value are four.
    const auto nested = [](int levels) {
        return "<value>" + QByteArray("<x>").repeated(levels - 4) + QByteArray("</x>").repeated(levels - 4)
            + "</value>";
    };
    const QString refused = "fault -32700 parse error: response refused: ",
                  depth = "elements nested deeper than 512 levels";
    value("512 levels", nested(512), QVariant(), "\"x\"");
    document("513 levels", response(nested(513)), false, refused + depth);
    document("call of 513 levels", call({nested(513)}), true, "outcome 1 " + depth);
    for (const DeepDocuments::Content &deep : DeepDocuments::behindEveryConstruct())
        document(qPrintable("100,000 deep behind " + deep.name), ("<methodResponse>" + deep.markup).toUtf8(), false,
                 refused + depth);
    const QByteArray doctype
        = "<?xml version=\"1.0\"?><!DOCTYPE lol [<!ENTITY a \"aaaa\">]><methodResponse><params/></methodResponse>";
    document("document type", doctype, false, refused + "a document type declaration is not accepted");
    document("call with a document type", doctype, true, "outcome 1 a document type declaration is not accepted");
    document("params after the first",
             "<methodResponse><PARAMS><param>" + typed("int", "7")
                 + "</param><param><value>no</value>"
                   "</param></PARAMS></methodResponse>",
             false, "int 7");
    document("empty params", "<methodResponse><params/></methodResponse>", false, "nil null");
    document(
        "fault",
        response(structure(member("faultString", typed("string", "boom")) + member("faultCode", typed("int", "-5"))),
                 "fault"),
        false, "fault -5 boom");
    document("fault code as a string", response(structure(member("faultCode", "<value>12</value>")), "fault"), false,
             "fault 12 ");
    document("fault not a struct", response(typed("int", "3"), "fault"), false, "fault 0 ");
    document("not XML", "abc", false, "fault -32700 parse error: response not well formed at line 1: ...");
    const QString notXmlRpc = "fault -32600 parse error: invalid xml-rpc. not conforming to spec.";
    document("other element", "<methodResponse><result/></methodResponse>", false, notXmlRpc);
    document("root without children", "<methodResponse/>", false, notXmlRpc);
    document("NUL ends it", response("<value>a</value>") + QByteArray("\0<junk", 6), false, "QString a");
    document("call: names, params and texts after the first",
             "<methodCall><params><param/><param><value/></param>x</params><methodName>m</methodName><methodName>n"
             "</methodName><params><param><value>p</value></param></params></methodCall>", true,
             "call m [nil null, QString , nil null, ]");
    document("call without a name", "<methodCall><params/></methodCall>", true, "outcome 3 ");
}

void TestCodec::reads()
{
    QFETCH(QByteArray, document);
    QFETCH(bool, asCall);
    QFETCH(QString, expected);
    QFETCH(QString, unknownType);
    for (int i = 0; !unknownType.isEmpty() && i < 2; ++i)
        QTest::ignoreMessage(QtDebugMsg, qPrintable("Cannot demarshal unknown type " + unknownType));
    compareReadings(document, asCall, expected);
}

void TestCodec::roundTrips()
{
    for (int i = 0; i < trees.size() && !QTest::currentTestFailed(); ++i) {
        const QString response = describe(trees.at(i)),
                      call = "call " + methods.at(i) + ' ' + describe(QVariantList{trees.at(i), 1});
        compareReadings(written.at(2 * i), false, response);
        compareReadings(written.at(2 * i + 1), true, call);
        compareReadings(python.at(2 * i), false, response);
        compareReadings(python.at(2 * i + 1), true, call);
    }
    compareReadings(python.last(), false, "fault -32601 no such method: <x> & 'y' ]]>");
}

void TestCodec::streamsAsTheDomReads()
{
    // Each document as written, and without its declaration, where another may go.
    QList<QByteArray> documents = written + python;
    for (const QByteArray &document : QList<QByteArray>(documents))
        documents << document.mid(document.indexOf("?>") + 2).trimmed();
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false")); // unknown types, thousands
    QRandomGenerator random(20261207);
    for (int i = 0; i < 3000; ++i) {
        const QByteArray document = mangled(documents.at(random.bounded(documents.size())), random);
        for (bool asCall : {false, true}) {
            const QString streamed = reading(document, asCall), dom = reading(document + toDom, asCall);
            if (streamed != dom)
                QFAIL(qPrintable(QStringLiteral("%1\nread: %2\nDOM:  %3")
                                     .arg(QString::fromLatin1(document.toPercentEncoding(" <>/=\"'")), streamed, dom)));
        }
    }
}

QTEST_GUILESS_MAIN(TestCodec)
#include "tst_codec.moc"
