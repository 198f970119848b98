#include "callbackcontext.h"

#include <QStringList>

QString CallbackContext::encoded() const
{
    const QString first = progress.isEmpty() ? success : success + QLatin1Char(':') + progress;
    return first + QLatin1Char('|') + error;
}

CallbackContext CallbackContext::decoded(const QString &context, bool withProgress)
{
    const QStringList parts = context.split(QLatin1Char('|'));
    if (!withProgress)
        return CallbackContext{parts.value(0), parts.value(1), QString()};
    const QStringList first = parts.value(0).split(QLatin1Char(':'));
    return CallbackContext{first.value(0), parts.value(1), first.value(1)};
}
