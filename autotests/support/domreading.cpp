#include "domreading.h"

#include "documentguard.h"
#include "maiaObject.h"

#include <QDateTime>
#include <QDomDocument>
#include <QStringList>

#include <cstring>

namespace {

DocumentReader::Outcome parse(const QByteArray &bytes, QDomDocument *document, QString *error, int *line)
{
    const int nul = bytes.indexOf('\0');
    const QString text = QString::fromUtf8(nul < 0 ? bytes : bytes.left(nul));
    *error = DocumentGuard::refusal(text);
    if (!error->isEmpty())
        return DocumentReader::Refused;
    if (!document->setContent(text, error, line))
        return DocumentReader::NotWellFormed;
    return DocumentReader::Read;
}

QString quoted(const QString &text)
{
    if (text.isNull())
        return QStringLiteral("(null)");
    QString out = QStringLiteral("\"");
    for (const QChar c : text) {
        if (c.unicode() >= 0x20 && c.unicode() < 0x7f && c != QLatin1Char('"') && c != QLatin1Char('\\'))
            out += c;
        else
            out += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
    }
    return out + QLatin1Char('"');
}

const char *const outcomeNames[] = {"Read", "Refused", "NotWellFormed", "NotXmlRpc"};

QString describeResponse(const DocumentReader::Response &r)
{
    QString text = QString::fromLatin1(outcomeNames[r.outcome]) + QLatin1Char(' ') + quoted(r.error)
        + QStringLiteral(" line %1").arg(r.errorLine);
    if (r.isFault)
        text += QStringLiteral(" fault %1 %2").arg(r.faultCode).arg(quoted(r.faultString));
    return text + QStringLiteral(" result ") + describeValue(r.result);
}

QString describeCall(DocumentReader::Outcome outcome, const QString &error, const QString &method,
                     const QVariantList &arguments)
{
    QString text = QString::fromLatin1(outcomeNames[outcome]) + QLatin1Char(' ') + quoted(error)
        + QStringLiteral(" method ") + quoted(method);
    // Only a call read whole has arguments to ask for.
    if (outcome == DocumentReader::Read)
        text += QStringLiteral(" arguments ") + describeValue(arguments);
    return text;
}

} // namespace

DocumentReader::Response domReadResponse(const QByteArray &bytes)
{
    DocumentReader::Response response;
    QDomDocument document;
    response.outcome = parse(bytes, &document, &response.error, &response.errorLine);
    if (response.outcome != DocumentReader::Read)
        return response;
    const QDomElement body = document.documentElement().firstChild().toElement();
    const QString kind = body.tagName().toLower();
    if (kind == QLatin1String("params")) {
        const QDomNode param = body.firstChild();
        response.result = param.isNull() ? QVariant() : MaiaObject::fromXml(param.firstChild().toElement());
    } else if (kind == QLatin1String("fault")) {
        const QVariantMap fault = MaiaObject::fromXml(body.firstChild().toElement()).toMap();
        response.isFault = true;
        response.faultCode = fault.value(QStringLiteral("faultCode")).toInt();
        response.faultString = fault.value(QStringLiteral("faultString")).toString();
    } else {
        response.outcome = DocumentReader::NotXmlRpc;
    }
    return response;
}

DomCall domReadCall(const QByteArray &bytes)
{
    DomCall call;
    QDomDocument document;
    int line = 0;
    call.outcome = parse(bytes, &document, &call.error, &line);
    if (call.outcome != DocumentReader::Read)
        return call;
    const QDomElement root = document.documentElement();
    const QDomElement methodName = root.firstChildElement(QStringLiteral("methodName"));
    if (methodName.isNull()) {
        call.outcome = DocumentReader::NotXmlRpc;
        return call;
    }
    call.methodName = methodName.text();
    const QDomElement params = root.firstChildElement(QStringLiteral("params"));
    for (QDomNode param = params.firstChild(); !param.isNull(); param = param.nextSibling())
        call.arguments.append(MaiaObject::fromXml(param.firstChild().toElement()));
    return call;
}

QString describeValue(const QVariant &value)
{
    switch (value.userType()) {
    case QMetaType::UnknownType:
        return QStringLiteral("invalid");
    case QMetaType::QString:
        return QStringLiteral("string ") + quoted(value.toString());
    case QMetaType::QByteArray: {
        const QByteArray bytes = value.toByteArray();
        return bytes.isNull() ? QStringLiteral("bytes (null)")
                              : QStringLiteral("bytes ") + QString::fromLatin1(bytes.toHex());
    }
    case QMetaType::Int:
        return QStringLiteral("int %1").arg(value.toInt());
    case QMetaType::Bool:
        return QLatin1String(value.toBool() ? "bool true" : "bool false");
    case QMetaType::Double: {
        const double d = value.toDouble();
        quint64 bits;
        std::memcpy(&bits, &d, sizeof bits);
        return QStringLiteral("double %1 (%2)").arg(d, 0, 'g', 17).arg(bits, 16, 16, QLatin1Char('0'));
    }
    case QMetaType::QDateTime: {
        const QDateTime time = value.toDateTime();
        return QStringLiteral("datetime %1 zone %2 valid %3")
            .arg(time.toString(Qt::ISODateWithMs))
            .arg(int(time.timeSpec()))
            .arg(time.isValid());
    }
    case QMetaType::QVariantList: {
        QStringList items;
        for (const QVariant &item : value.toList())
            items << describeValue(item);
        return QLatin1Char('[') + items.join(QStringLiteral(", ")) + QLatin1Char(']');
    }
    case QMetaType::QVariantMap: {
        const QVariantMap map = value.toMap();
        QStringList members;
        for (auto it = map.cbegin(); it != map.cend(); ++it)
            members << quoted(it.key()) + QStringLiteral(": ") + describeValue(it.value());
        return QLatin1Char('{') + members.join(QStringLiteral(", ")) + QLatin1Char('}');
    }
    default:
        return QString::fromLatin1(value.typeName()) + QLatin1Char(' ') + quoted(value.toString());
    }
}

QString printable(const QByteArray &bytes)
{
    QString out;
    for (const char b : bytes) {
        if (b >= 0x20 && b < 0x7f && b != '\\')
            out += QLatin1Char(b);
        else if (b == '\n')
            out += QStringLiteral("\\n");
        else
            out += QStringLiteral("\\x%1").arg(uint(uchar(b)), 2, 16, QLatin1Char('0'));
    }
    return out;
}

QString readingDifference(const QByteArray &bytes, int readings)
{
    QString difference;
    if (readings & AsResponse) {
        const QString streamed = describeResponse(DocumentReader::readResponse(bytes));
        const QString dom = describeResponse(domReadResponse(bytes));
        if (streamed != dom)
            difference += QStringLiteral("response read: %1\nby the DOM:    %2\n").arg(streamed, dom);
    }
    if (readings & AsCall) {
        const DocumentReader::Call call = DocumentReader::readCall(bytes);
        const QString streamed = describeCall(call.outcome, call.error, call.methodName, call.arguments());
        const DomCall domCall = domReadCall(bytes);
        const QString dom = describeCall(domCall.outcome, domCall.error, domCall.methodName, domCall.arguments);
        if (streamed != dom)
            difference += QStringLiteral("call read: %1\nby the DOM: %2\n").arg(streamed, dom);
    }
    if (difference.isEmpty())
        return difference;
    return QStringLiteral("document: ") + printable(bytes) + QLatin1Char('\n') + difference;
}
