#include "typedjson.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>

QJsonValue typedJson(const QVariant &value)
{
    QJsonArray items;
    QJsonObject members;
    const QVariantMap map = value.toMap();
    switch (value.type()) {
    case QVariant::Invalid:
        return QJsonObject{{"nil", QJsonValue::Null}};
    case QVariant::Bool:
        return QJsonObject{{"boolean", value.toBool()}};
    case QVariant::Int:
    case QVariant::LongLong:
    case QVariant::ULongLong:
        return QJsonObject{{"int", value.toLongLong()}};
    case QVariant::Double:
        return QJsonObject{{"double", value.toDouble()}};
    case QVariant::String:
        return QJsonObject{{"string", value.toString()}};
    case QVariant::ByteArray:
        return QJsonObject{{"base64", QString::fromLatin1(value.toByteArray().toBase64())}};
    case QVariant::DateTime:
        return QJsonObject{{"datetime", value.toDateTime().toString(QStringLiteral("yyyy-MM-ddThh:mm:ss"))}};
    case QVariant::List:
        for (const QVariant &item : value.toList())
            items.append(typedJson(item));
        return QJsonObject{{"array", items}};
    case QVariant::Map:
        for (auto it = map.cbegin(); it != map.cend(); ++it)
            members.insert(it.key(), typedJson(it.value()));
        return QJsonObject{{"struct", members}};
    default:
        return QJsonObject{{"unsupported", QString::fromLatin1(value.typeName())}};
    }
}
