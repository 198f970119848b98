#ifndef XCLIENTPROBE_H
#define XCLIENTPROBE_H

#include "XClient.h"

// Test access to XClient's session state and private helpers.
struct XClientProbe {
    static QString sessionId(const XClient &client) { return client.sessionId; }
    static void setSessionId(XClient &client, const QString &id) { client.sessionId = id; }
    static QString passwordHash(const XClient &client) { return client.passwordHash; }
    static void renewSessionId(XClient &client) { client.renewSessionId(); }
    static QString md5(XClient &client, const QString &text) { return client.md5(text); }
    static QVariantMap restrictions(const XClient &client)
    {
        const UploadRestrictions &r = client.restrictions;
        return {{"exts", r.exts},   {"max_mpx", r.max_mpx}, {"min_mpx", r.min_mpx}, {"min_w", r.min_w},
                {"min_h", r.min_h}, {"max_r", r.max_r},     {"q", r.q}};
    }
};

#endif
