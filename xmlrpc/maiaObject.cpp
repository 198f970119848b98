#include "maiaObject.h"

#include "documentguard.h"
#include "documentwriter.h"

#include <QDateTime>
#include <QDebug>
#include <QPointer>

namespace {

// First element below `parent` (in document order) with the given tag name.
QDomElement firstDescendant(const QDomNode &parent, const QString &tagName)
{
    for (QDomNode node = parent.firstChild(); !node.isNull(); node = node.nextSibling()) {
        if (!node.isElement())
            continue;
        QDomElement element = node.toElement();
        if (element.tagName() == tagName)
            return element;
        QDomElement found = firstDescendant(element, tagName);
        if (!found.isNull())
            return found;
    }
    return QDomElement();
}

// The element's text as text() gives it, but shared with the tree rather than
// copied when a single text or CDATA child holds it: values can be megabytes.
QString textOf(const QDomElement &element)
{
    const QDomNode only = element.firstChild();
    if ((only.isText() || only.isCDATASection()) && only.nextSibling().isNull()) {
        const QString data = only.nodeValue();
        if (!data.isNull()) // text() gives an empty text, never a null one
            return data;
    }
    return element.text();
}

} // namespace

MaiaObject::MaiaObject(QObject *parent)
    : QObject(parent)
{
}

QDomElement MaiaObject::toXml(QVariant arg)
{
    QDomDocument scratch;
    return toXml(arg, scratch);
}

QDomElement MaiaObject::toXml(const QVariant &arg, QDomDocument &document)
{
    if (!DocumentWriter::isWritable(arg))
        return QDomElement();
    QDomElement value = document.createElement(QStringLiteral("value"));
    const auto append = [&](QDomElement &parent, const QString &tag) {
        return parent.appendChild(document.createElement(tag)).toElement();
    };
    QString text;
    if (const char *tag = DocumentWriter::scalar(arg, &text)) {
        append(value, QLatin1String(tag)).appendChild(document.createTextNode(DocumentWriter::allowedText(text)));
    } else if (arg.type() == QVariant::Map) {
        QDomElement structElement = append(value, QStringLiteral("struct"));
        const QVariantMap map = arg.toMap();
        for (auto it = map.cbegin(); it != map.cend(); ++it) {
            QDomElement member = append(structElement, QStringLiteral("member"));
            append(member, QStringLiteral("name")).appendChild(document.createTextNode(DocumentWriter::allowedText(it.key())));
            member.appendChild(toXml(it.value(), document));
        }
    } else {
        QDomElement array = append(value, QStringLiteral("array"));
        QDomElement data = append(array, QStringLiteral("data"));
        const QVariantList list = arg.toList();
        for (const QVariant &item : list)
            data.appendChild(toXml(item, document));
    }
    return value;
}

QVariant MaiaObject::fromXml(const QDomElement &value)
{
    if (value.tagName().toLower() != QLatin1String("value"))
        return QVariant();
    if (!value.firstChild().isElement())
        return QVariant(textOf(value));

    const QDomElement typed = value.firstChild().toElement();
    const QString type = typed.tagName().toLower();
    if (type == QLatin1String("string"))
        return QVariant(textOf(typed));
    if (type == QLatin1String("i4") || type == QLatin1String("int"))
        return QVariant(textOf(typed).toInt());
    if (type == QLatin1String("double"))
        return QVariant(textOf(typed).toDouble());
    if (type == QLatin1String("boolean")) {
        const QString text = textOf(typed);
        return QVariant(text.toLower() == QLatin1String("true") || text == QLatin1String("1"));
    }
    if (type == QLatin1String("base64"))
        return QVariant(QByteArray::fromBase64(textOf(typed).toLatin1()));
    if (type == QLatin1String("datetime") || type == QLatin1String("datetime.iso8601"))
        return QVariant(QDateTime::fromString(textOf(typed), QLatin1String(DocumentWriter::dateTimeFormat)));
    if (type == QLatin1String("nil"))
        return QVariant();
    if (type == QLatin1String("array")) {
        QVariantList list;
        const QDomNode data = typed.firstChild();
        for (QDomNode item = data.firstChild(); !item.isNull(); item = item.nextSibling())
            list.append(fromXml(item.toElement()));
        return list;
    }
    if (type == QLatin1String("struct")) {
        QVariantMap map;
        for (QDomNode member = typed.firstChild(); !member.isNull(); member = member.nextSibling()) {
            const QString key = textOf(firstDescendant(member, QStringLiteral("name")));
            map.insert(key, fromXml(firstDescendant(member, QStringLiteral("value"))));
        }
        return map;
    }
    qDebug().nospace() << "Cannot demarshal unknown type " << type;
    return QVariant();
}

QString MaiaObject::composeCall(QString method, QList<QVariant> args)
{
    return QString::fromUtf8(DocumentWriter::call(method, args));
}

QString MaiaObject::composeResponse(QVariant arg)
{
    return QString::fromUtf8(DocumentWriter::response(arg));
}

void MaiaObject::parseResponse(QString response, QNetworkReply *reply)
{
    const QPointer<MaiaObject> self(this);
    QDomDocument document;
    QString errorMessage;
    int errorLine = 0;
    const QString refusal = DocumentGuard::refusal(response);
    const bool parsed = refusal.isEmpty() && document.setContent(response, &errorMessage, &errorLine);
    // From here on the tree holds all that is read: a text moved in by the
    // caller is let go before the values are copied out of the tree.
    response.clear();
    if (!refusal.isEmpty()) {
        emit fault(-32700, QLatin1String("parse error: response refused: ") + refusal, reply);
    } else if (!parsed) {
        emit fault(-32700,
                   QStringLiteral("parse error: response not well formed at line %1: %2")
                       .arg(QString::number(errorLine), errorMessage),
                   reply);
    } else {
        const QDomElement body = document.documentElement().firstChild().toElement();
        const QString kind = body.tagName().toLower();
        if (kind == QLatin1String("params")) {
            const QDomNode param = body.firstChild();
            QVariant result = param.isNull() ? QVariant() : fromXml(param.firstChild().toElement());
            emit aresponse(result, reply);
        } else if (kind == QLatin1String("fault")) {
            const QVariantMap faultMap = fromXml(body.firstChild().toElement()).toMap();
            emit fault(faultMap.value(QStringLiteral("faultCode")).toInt(),
                       faultMap.value(QStringLiteral("faultString")).toString(), reply);
        } else {
            emit fault(-32600, tr("parse error: invalid xml-rpc. not conforming to spec."), reply);
        }
    }
    // A receiver may have destroyed our parent, and us with it.
    if (self)
        delete this;
}
