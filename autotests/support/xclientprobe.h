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
        return {{"exts", client.exts},   {"max_mpx", client.max_mpx}, {"min_mpx", client.min_mpx},
                {"min_w", client.min_w}, {"min_h", client.min_h},     {"max_r", client.max_r},
                {"q", client.q}};
    }
};

#endif
