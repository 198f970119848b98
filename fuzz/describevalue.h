#ifndef DESCRIBEVALUE_H
#define DESCRIBEVALUE_H

#include <QDateTime>
#include <QStringList>
#include <QVariant>

#include <cstring>

// Types, null against empty texts, double bits and map keys spelt out: equal descriptions, equal values.
inline QString describe(const QVariant &v)
{
    const QStringList keys = v.toMap().keys();
    const QVariantList items = v.type() == QVariant::Map ? v.toMap().values() : v.toList();
    QString out = QLatin1String(v.isValid() ? v.typeName() : "nil") + ' ';
    if (v.type() == QVariant::Map || v.type() == QVariant::List) {
        for (int i = 0; i < items.size(); ++i)
            out += (i < keys.size() ? describe(keys.at(i)) + ": " : QString()) + describe(items.at(i)) + ", ";
        return out + ';';
    }
    const double d = v.toDouble();
    quint64 bits;
    std::memcpy(&bits, &d, sizeof bits);
    const QString text = v.type() == QVariant::Double ? QString::number(bits, 16)
        : v.type() == QVariant::ByteArray             ? QString::fromLatin1(v.toByteArray().toHex())
        : v.type() == QVariant::DateTime              ? v.toDateTime().toString(Qt::ISODateWithMs)
                                                      : v.toString();
    for (const QChar c : text) // every unit readable, halves of pairs too
        out += c.unicode() >= 0x20 && c.unicode() < 0x7F ? QString(c) : QString::asprintf("\\u%04x", c.unicode());
    return text.isNull() ? out + "null" : out;
}

#endif
