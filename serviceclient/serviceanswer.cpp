#include "serviceanswer.h"

ServiceAnswer::ServiceAnswer(const QVariant &reply)
    : reply(reply.toMap())
{
}

QString ServiceAnswer::status() const
{
    return reply.value(QStringLiteral("status")).toString();
}

QString ServiceAnswer::statusMessage() const
{
    return reply.value(QStringLiteral("statusMessage")).toString();
}

bool ServiceAnswer::succeeded() const
{
    return status() == QLatin1String("200");
}

bool ServiceAnswer::firstOutput(QVariantMap *first) const
{
    const QVariantList output = reply.value(QStringLiteral("output")).toList();
    if (output.isEmpty())
        return false;
    if (first)
        *first = output.first().toMap();
    return true;
}
