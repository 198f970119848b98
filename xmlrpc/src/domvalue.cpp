#include "domvalue.h"

#include "scalarvalue.h"

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

QVariant DomValue::read(const QDomElement &value, QStringList *unknownTypes, QString *invalid)
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
            list.append(read(item.toElement(), unknownTypes, invalid));
        return list;
    }
    if (type == QLatin1String("struct")) {
        QVariantMap map;
        for (QDomNode member = typed.firstChild(); !member.isNull(); member = member.nextSibling()) {
            const QString key = textOf(firstDescendant(member, QStringLiteral("name")));
            map.insert(key, read(firstDescendant(member, QStringLiteral("value")), unknownTypes, invalid));
        }
        return map;
    }
    QVariant scalar;
    if (ScalarValue::read(type, textOf(typed), &scalar, invalid))
        return scalar;
    *unknownTypes << type;
    return QVariant();
}
