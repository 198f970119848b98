#include "calllog.h"

void CallLog::record(const Call &call)
{
    entries.append(call);
    emit recorded(call.method, call.accepted, call.note);
}

QVariantList CallLog::toVariantList() const
{
    QVariantList list;
    for (const Call &call : entries)
        list.append(QVariantMap{{"method", call.method}, {"params", call.params}, {"token", call.token},
                                {"accepted", call.accepted}, {"note", call.note}});
    return list;
}
