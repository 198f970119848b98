#ifndef EARNINGSGENERATOR_H
#define EARNINGSGENERATOR_H

#include <QVariant>

// Answers getEarnings with a day list made from the dates themselves, so
// answers are deterministic; tests replace the whole record to send odd replies.
class EarningsGenerator
{
public:
    // An empty record goes back to generated answers.
    void setRecord(const QVariantMap &record) { fixedRecord = record; }
    // The service's reply for ISO dates, at most a year apart.
    QVariantMap reply(const QString &dateFrom, const QString &dateTo) const;

private:
    QVariantMap fixedRecord;
};

#endif
