#include "maiaObject.h"

#include "documentreader.h"
#include "documentwriter.h"

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
    QVariant scalar;
    if (DocumentReader::readScalar(type, textOf(typed), &scalar))
        return scalar;
    DocumentReader::reportUnknownType(type);
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
    parseResponse(response.toUtf8(), reply);
}

void MaiaObject::parseResponse(QByteArray body, QNetworkReply *reply)
{
    const QPointer<MaiaObject> self(this);
    DocumentReader::Response response = DocumentReader::readResponse(std::move(body));
    switch (response.outcome) {
    case DocumentReader::Read:
        if (response.isFault)
            emit fault(response.faultCode, response.faultString, reply);
        else
            emit aresponse(response.result, reply);
        break;
    case DocumentReader::Refused:
        emit fault(-32700, QLatin1String("parse error: response refused: ") + response.error, reply);
        break;
    case DocumentReader::NotWellFormed:
        emit fault(-32700,
                   QStringLiteral("parse error: response not well formed at line %1: %2")
                       .arg(QString::number(response.errorLine), response.error),
                   reply);
        break;
    case DocumentReader::NotXmlRpc:
        emit fault(-32600, tr("parse error: invalid xml-rpc. not conforming to spec."), reply);
        break;
    }
    // A receiver may have destroyed our parent, and us with it.
    if (self)
        delete this;
}
