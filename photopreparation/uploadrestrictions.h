#ifndef UPLOADRESTRICTIONS_H
#define UPLOADRESTRICTIONS_H

#include <QStringList>
#include <QVariantMap>

// The service's limits on photos, as sign-in learns them; the defaults hold
// before any sign-in and for every limit the service leaves out.
struct UploadRestrictions
{
    QStringList exts;
    int max_mpx = 24;
    int min_mpx = 4;
    int min_w = 1024;
    int min_h = 1024;
    int max_r = 4;
    int q = 90;

    // From the service's record: a limit that is not a whole number keeps its default.
    static UploadRestrictions fromRecord(const QVariantMap &record);
};

#endif
