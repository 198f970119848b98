#include "earnings.h"

#include "earningscatalog.h"
#include "pagecallbacks.h"
#include "servicecaller.h"

#include <QStandardPaths>

namespace {

// The host's catalog, in the host application's data directory.
QString catalogPath()
{
    return QStandardPaths::standardLocations(QStandardPaths::DataLocation).value(0)
        + QLatin1String("/data/catalog.dat");
}

} // namespace

Earnings::Earnings(ServiceCaller *caller, PageCallbacks *page, QObject *parent)
    : QObject(parent)
    , caller(caller)
    , page(page)
{
}

void Earnings::fetch(const QString &from, const QString &to, const QString &success, const QString &error)
{
    caller->call(
        QStringLiteral("getEarnings"), {from, to},
        [this, success, error](const ServiceAnswer &answer) { store(answer, success, error); }, page->faultTo(error));
}

void Earnings::store(const ServiceAnswer &answer, const QString &success, const QString &error)
{
    QVariantMap record;
    const bool hasRecord = answer.firstOutput(&record);
    const QStringList today = record.value(QStringLiteral("today")).toString().split(QLatin1Char('-'));
    if (!hasRecord || today.size() < 3)
        return void(page->appError(error, AppError::MalformedEarnings));

    const double value = record.value(QStringLiteral("value")).toDouble();
    const QString days = record.value(QStringLiteral("data")).toString();
    EarningsCatalog catalog(catalogPath());
    const bool stored = catalog.begin()
        && catalog.updateAccount(value, record.value(QStringLiteral("currency")).toString(),
                                 record.value(QStringLiteral("rate")).toDouble())
        && catalog.storeSnapshot(CatalogDate{today.at(0), today.at(1), today.at(2)}, value)
        && (days.isEmpty() || catalog.storeDays(days.split(QLatin1Char('|')))) && catalog.commit();
    catalog.close();

    if (stored)
        page->call(success);
    else
        page->appError(error, AppError::CatalogUnavailable);
}
