#ifndef EARNINGS_H
#define EARNINGS_H

#include <QObject>

class PageCallbacks;
class ServiceAnswer;
class ServiceCaller;

// Fetches the earnings of a period and writes them into the host's catalog
// before the page hears of it: all of them, or nothing (124, 125).
class Earnings : public QObject
{
    Q_OBJECT
public:
    Earnings(ServiceCaller *caller, PageCallbacks *page, QObject *parent);

    void fetch(const QString &from, const QString &to, const QString &success, const QString &error);

private:
    void store(const ServiceAnswer &answer, const QString &success, const QString &error);

    ServiceCaller *caller;
    PageCallbacks *page;
};

#endif
