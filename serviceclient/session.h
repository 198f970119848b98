#ifndef SESSION_H
#define SESSION_H

#include <QString>

// The account's credentials and the session token. getHash issues a token;
// every later call carries a renewal of it: its first 48 characters and the
// MD5 of the token, the password's MD5 and the key.
class Session
{
public:
    // How a call that carried the token ended.
    enum class CallEnd { Fault, Reply, FailedSignInStep };

    void setCredentials(const QString &clientId, const QString &clientKey, const QString &password);
    QString clientId() const { return id; }
    QString token() const { return current; }

    // The issued token never counts at the service: only its renewal proves key and password.
    void open(const QString &issued);
    void renew();
    // Moves the token on, or not, after a call that carried it.
    void callEnded(CallEnd end);
    // After a transport failure the service may have taken the call and moved
    // the token on: the next call signs in again first. A new session is fresh.
    void markStale() { stale = !current.isEmpty(); }
    bool isStale() const { return stale; }

    // Texts are hashed as Latin-1, as the service hashes them: other characters become '?'.
    static QString md5(const QString &text);

private:
    QString id;
    QString key;
    QString hash;
    QString current;
    bool stale = false;
};

#endif
