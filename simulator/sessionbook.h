#ifndef SESSIONBOOK_H
#define SESSIONBOOK_H

#include <QHash>
#include <QStringList>

// The accounts and the sessions getHash opens. Each token a caller sends
// is the renewal of the one before it, made with the account's key and
// password, so the book computes each chain itself to check tokens on it.
class SessionBook
{
public:
    enum class Verdict { Accepted, OffChain, NotSignedIn };

    void addAccount(const QString &clientId, const QString &clientKey, const QString &password);
    // The new session's issued token; empty for an unknown client id.
    QString open(const QString &clientId);
    // Accepts a token near the last accepted one on its chain. Signing in
    // is the one call allowed before the session has signed in.
    Verdict admit(const QString &token, bool signingIn);
    // Strict: only the renewal of the last accepted token passes, as a strict
    // service would have it; a token sent again after a lost reply is refused.
    void setStrict(bool on) { strict = on; }

private:
    struct Account {
        QString key;
        QString passwordHash;
    };
    struct Session {
        QString clientId;
        QStringList chain; // chain[0] is the issued token; chain[i + 1] its i-th renewal
        int lastAccepted = 0;
        bool signedIn = false;
    };

    QString renewed(const Session &session, const QString &token) const;

    QHash<QString, Account> accounts;
    QHash<QString, Session> sessions; // by the token's constant 48-character prefix
    bool strict = false;
};

#endif
