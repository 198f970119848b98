#include "scalarvalue.h"

#include <QDateTime>
#include <QRegularExpression>

#include <utility>

namespace {

// A scalar's value from its text; false when the text is not one.
using Convert = bool (*)(const QString &, QVariant *);

bool toInt(const QString &text, QVariant *value)
{
    bool ok;
    *value = text.toInt(&ok);
    return ok;
}

bool toLongLong(const QString &text, QVariant *value)
{
    bool ok;
    *value = text.toLongLong(&ok);
    return ok;
}

bool toDouble(const QString &text, QVariant *value)
{
    bool ok;
    *value = text.toDouble(&ok);
    return ok;
}

bool toBool(const QString &text, QVariant *value)
{
    const QString word = text.trimmed().toLower();
    *value = word == QLatin1String("1") || word == QLatin1String("true");
    return value->toBool() || word == QLatin1String("0") || word == QLatin1String("false");
}

// ISO 8601, basic or extended, a time to the second or finer, and an
// optional zone: "Z" for UTC or an offset; without one, local time.
bool toDateTime(const QString &text, QVariant *value)
{
    static const QRegularExpression form(QStringLiteral(
        R"(^(\d{4})(-?)(\d\d)\2(\d\d)T(\d\d)(:?)(\d\d)\6(\d\d)(?:[.,](\d+))?(?:(Z)|([+-])(\d\d)(?::?(\d\d))?)?$)"));
    const QRegularExpressionMatch match = form.match(text.trimmed());
    if (!match.hasMatch())
        return false;
    const auto number = [&match](int group) { return match.capturedRef(group).toInt(); };
    const QDate date(number(1), number(3), number(4));
    const QTime time(number(5), number(7), number(8), (match.captured(9) + QLatin1String("00")).left(3).toInt());
    if (!date.isValid() || !time.isValid())
        return false; // QDateTime would take an invalid time for midnight
    QDateTime dateTime(date, time);
    if (match.capturedLength(10)) {
        dateTime = QDateTime(date, time, Qt::UTC);
    } else if (match.capturedLength(11)) {
        if (number(12) > 23 || number(13) > 59)
            return false;
        const int offset = (number(12) * 3600 + number(13) * 60) * (match.captured(11) == QLatin1String("-") ? -1 : 1);
        dateTime = QDateTime(date, time, Qt::OffsetFromUTC, offset);
    }
    *value = dateTime;
    return dateTime.isValid();
}

const std::pair<QLatin1String, Convert> scalarTypes[] = {
    {QLatin1String("string"), [](const QString &text, QVariant *value) { return *value = text, true; }},
    {QLatin1String("i4"), toInt},
    {QLatin1String("int"), toInt},
    {QLatin1String("i8"), toLongLong},
    {QLatin1String("double"), toDouble},
    {QLatin1String("boolean"), toBool},
    {QLatin1String("base64"),
     [](const QString &text, QVariant *value) { return *value = QByteArray::fromBase64(text.toLatin1()), true; }},
    {QLatin1String("datetime"), toDateTime},
    {QLatin1String("datetime.iso8601"), toDateTime},
};

Convert scalarConverter(const QString &type)
{
    for (const auto &scalar : scalarTypes) {
        if (type == scalar.first)
            return scalar.second;
    }
    return nullptr;
}

} // namespace

bool ScalarValue::isScalar(const QString &type)
{
    return scalarConverter(type);
}

bool ScalarValue::read(const QString &type, const QString &text, QVariant *value, QString *invalid)
{
    const Convert convert = scalarConverter(type);
    if (!convert)
        return false;
    if (convert(text, value))
        return true;
    *value = QVariant();
    if (invalid->isEmpty()) {
        const QString shown = text.size() > 60 ? text.left(60) + QLatin1String("...") : text;
        *invalid = QStringLiteral("%1 value '%2' does not convert").arg(type, shown);
    }
    return true;
}
