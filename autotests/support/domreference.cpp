#include "domreference.h"

#include "documentwriter.h"
#include "maiaObject.h"

#include <QDateTime>
#include <QDomDocument>
#include <QDomImplementation>
#include <QHash>

namespace {

QDomElement child(QDomDocument &document, QDomElement parent, const char *tag)
{
    return parent.appendChild(document.createElement(QLatin1String(tag))).toElement();
}

// Null for a type the documents leave out, which then leaves no trace.
QDomElement valueElement(const QVariant &arg, QDomDocument &document)
{
    QDomElement value = document.createElement(QStringLiteral("value"));
    const auto typed = [&](const char *type, const QString &text) {
        child(document, value, type).appendChild(document.createTextNode(text));
        return value;
    };
    switch (arg.type()) {
    case QVariant::Bool:
        return typed("boolean", QLatin1String(arg.toBool() ? "1" : "0"));
    case QVariant::Int:
        return typed("int", QString::number(arg.toInt()));
    case QVariant::Double:
        return typed("double", QString::number(arg.toDouble(), 'g', 6));
    case QVariant::String:
        return typed("string", arg.toString());
    case QVariant::ByteArray:
        return typed("base64", QString::fromLatin1(arg.toByteArray().toBase64()));
    case QVariant::DateTime:
        return typed("datetime.iso8601", arg.toDateTime().toString(QStringLiteral("yyyyMMddThh:mm:ss")));
    case QVariant::Map: {
        QDomElement members = child(document, value, "struct");
        const QVariantMap map = arg.toMap();
        for (auto it = map.cbegin(); it != map.cend(); ++it) {
            QDomElement member = child(document, members, "member");
            child(document, member, "name").appendChild(document.createTextNode(it.key()));
            member.appendChild(valueElement(it.value(), document));
        }
        return value;
    }
    case QVariant::List: {
        QDomElement data = child(document, child(document, value, "array"), "data");
        for (const QVariant &item : arg.toList())
            data.appendChild(valueElement(item, document));
        return value;
    }
    default:
        return QDomElement();
    }
}

QDomDocument document(const char *rootName, QDomElement *root)
{
    QDomImplementation::setInvalidDataPolicy(QDomImplementation::DropInvalidChars);
    QDomDocument document;
    document.appendChild(document.createProcessingInstruction(
        QStringLiteral("xml"), QStringLiteral("version=\"1.0\" encoding=\"UTF-8\"")));
    *root = document.createElement(QLatin1String(rootName));
    document.appendChild(*root);
    return document;
}

using ValueBuilder = QDomElement (*)(const QVariant &, QDomDocument &);

// Just the value element, as toString(1) writes it.
QString valueText(ValueBuilder build, const QVariant &value)
{
    QDomImplementation::setInvalidDataPolicy(QDomImplementation::DropInvalidChars);
    QDomDocument document;
    const QDomElement element = build(value, document);
    if (!element.isNull()) // a document with nothing in it yet is a null node
        document.appendChild(element);
    return document.toString(1);
}

// Escapes what a terminal would not show, so that a dropped character shows.
QString visible(const QString &text)
{
    QString out;
    for (const QChar c : text) {
        const ushort u = c.unicode();
        if (u == '\n')
            out += QLatin1String("\\n");
        else if (u == '\\')
            out += QLatin1String("\\\\");
        else if (u < 0x20 || (u >= 0x7f && u < 0xa0) || c.isSurrogate() || u >= 0xfffe)
            out += QStringLiteral("\\u%1").arg(u, 4, 16, QLatin1Char('0'));
        else
            out += c;
    }
    return out;
}

QString difference(const char *what, const QString &tested, const QString &reference)
{
    if (tested == reference)
        return QString();
    int at = 0;
    while (at < tested.size() && at < reference.size() && tested.at(at) == reference.at(at))
        ++at;
    const int from = qMax(0, at - 60);
    return QStringLiteral("%1 differs at character %2 of %3 (tested) and %4 (reference)\n"
                          "tested:    ...%5|%6...\nreference: ...%7|%8...")
        .arg(QLatin1String(what))
        .arg(at)
        .arg(tested.size())
        .arg(reference.size())
        .arg(visible(tested.mid(from, at - from)), visible(tested.mid(at, 40)),
             visible(reference.mid(from, at - from)), visible(reference.mid(at, 40)));
}

// The writer's bytes against the reference's text in UTF-8.
QString difference(const char *what, const QByteArray &tested, const QString &reference)
{
    if (tested == reference.toUtf8())
        return QString();
    const QString found = difference(what, QString::fromUtf8(tested), reference);
    return found.isEmpty() ? QStringLiteral("%1: the same text, not in UTF-8").arg(QLatin1String(what)) : found;
}

} // namespace

QString domCall(const QString &method, const QVariantList &args)
{
    QDomElement call;
    QDomDocument doc = document("methodCall", &call);
    child(doc, call, "methodName").appendChild(doc.createTextNode(method));
    QDomElement params = child(doc, call, "params");
    for (const QVariant &arg : args)
        child(doc, params, "param").appendChild(valueElement(arg, doc));
    return doc.toString(1);
}

QString domResponse(const QVariant &result)
{
    QDomElement response;
    QDomDocument doc = document("methodResponse", &response);
    QDomElement params = child(doc, response, "params");
    if (!result.isNull())
        child(doc, params, "param").appendChild(valueElement(result, doc));
    return doc.toString(1);
}

QString domFault(const QVariantMap &faultStruct)
{
    QDomElement response;
    QDomDocument doc = document("methodResponse", &response);
    child(doc, response, "fault").appendChild(valueElement(faultStruct, doc));
    return doc.toString(1);
}

QString writerDifference(const QString &method, const QVariant &value, int compared)
{
    const QVariantList args = value.type() == QVariant::List ? value.toList() : QVariantList{value};
    const int code = value.type() == QVariant::Int ? value.toInt() : int(qHash(method));
    const QVariantMap fault{{QStringLiteral("faultCode"), code}, {QStringLiteral("faultString"), method}};
    const ValueBuilder library = MaiaObject::toXml;
    QString found;
    if (compared & Call)
        found = difference("call", DocumentWriter::call(method, args), domCall(method, args));
    if (found.isEmpty() && (compared & Response))
        found = difference("response", DocumentWriter::response(value), domResponse(value));
    if (found.isEmpty() && (compared & Fault))
        found = difference("fault", DocumentWriter::fault(code, method), domFault(fault));
    if (found.isEmpty() && (compared & ToXml))
        found = difference("MaiaObject::toXml", valueText(library, value), valueText(valueElement, value));
    return found;
}
