#include "earningsgenerator.h"

#include "servicereply.h"

#include <QDate>

namespace {

QVariantMap generatedEarnings(const QDate &from, const QDate &to, const QDate &today)
{
    QStringList days;
    for (QDate day = from; day <= to; day = day.addDays(1)) {
        const qint64 n = day.toJulianDay();
        days << QStringLiteral("%1:%2:%3")
                    .arg(day.toString(Qt::ISODate))
                    .arg(QString::number(double(n % 7 + 1) * 1.25))
                    .arg(n % 5 + 1);
    }
    return QVariantMap{{"today", today.toString(Qt::ISODate)},
                       {"currency", "USD"},
                       {"value", 123.45},
                       {"rate", 0.35},
                       {"data", days.join(QLatin1Char('|'))}};
}

} // namespace

QVariantMap EarningsGenerator::reply(const QString &dateFrom, const QString &dateTo) const
{
    if (!fixedRecord.isEmpty())
        return serviceReply(200, QStringLiteral("OK"), {fixedRecord});
    const QDate from = QDate::fromString(dateFrom, Qt::ISODate);
    const QDate to = QDate::fromString(dateTo, Qt::ISODate);
    if (!from.isValid() || !to.isValid() || from > to || from.daysTo(to) > 366)
        return serviceReply(400, QStringLiteral("Dates must be yyyy-MM-dd, in order, at most a year apart"));
    return serviceReply(200, QStringLiteral("OK"), {generatedEarnings(from, to, QDate::currentDate())});
}
