#include "typedjson.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>

static QJsonObject tagged(const char *type, const QJsonValue &value)
{
    return QJsonObject{{QLatin1String(type), value}};
}

QJsonValue typedJson(const QVariant &value)
{
    switch (value.type()) {
    case QVariant::Invalid:
        return tagged("nil", QJsonValue::Null);
    case QVariant::Bool:
        return tagged("boolean", value.toBool());
    case QVariant::Int:
        return tagged("int", value.toInt());
    case QVariant::Double:
        return tagged("double", value.toDouble());
    case QVariant::String:
        return tagged("string", value.toString());
    case QVariant::ByteArray:
        return tagged("base64", QString::fromLatin1(value.toByteArray().toBase64()));
    case QVariant::DateTime:
        return tagged("datetime", value.toDateTime().toString(QStringLiteral("yyyy-MM-ddThh:mm:ss")));
    case QVariant::List: {
        QJsonArray items;
        for (const QVariant &item : value.toList())
            items.append(typedJson(item));
        return tagged("array", items);
    }
    case QVariant::Map: {
        QJsonObject members;
        const QVariantMap map = value.toMap();
        for (auto it = map.cbegin(); it != map.cend(); ++it)
            members.insert(it.key(), typedJson(it.value()));
        return tagged("struct", members);
    }
    default:
        return tagged("unsupported", QString::fromLatin1(value.typeName()));
    }
}
