#include "uploadrestrictions.h"

UploadRestrictions UploadRestrictions::fromRecord(const QVariantMap &record)
{
    UploadRestrictions limits;
    const auto read = [&record](const char *key, int *limit) {
        bool ok = false;
        const int value = record.value(QLatin1String(key)).toInt(&ok);
        if (ok)
            *limit = value;
    };
    limits.exts = record.value(QStringLiteral("exts")).toString().split(QLatin1Char(','));
    read("max_mpx", &limits.max_mpx);
    read("min_mpx", &limits.min_mpx);
    read("min_w", &limits.min_w);
    read("min_h", &limits.min_h);
    read("max_r", &limits.max_r);
    read("q", &limits.q);
    return limits;
}
