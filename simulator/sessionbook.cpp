#include "sessionbook.h"

#include <QCryptographicHash>
#include <QRandomGenerator>

namespace {

constexpr int tokenPrefixLength = 48;
// How far a token may lie from the last accepted one: calls overlap, so
// renewed tokens can arrive in another order than they were made.
constexpr int tokenWindow = 16;

QString md5Hex(const QString &text)
{
    return QString::fromLatin1(QCryptographicHash::hash(text.toLatin1(), QCryptographicHash::Md5).toHex());
}

QString newToken()
{
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    QString token;
    for (int i = 0; i < tokenPrefixLength; ++i)
        token += QLatin1Char(alphabet[QRandomGenerator::global()->bounded(int(sizeof alphabet - 1))]);
    return token + md5Hex(token + QString::number(QRandomGenerator::global()->generate64()));
}

} // namespace

void SessionBook::addAccount(const QString &clientId, const QString &clientKey, const QString &password)
{
    accounts.insert(clientId, Account{clientKey, md5Hex(password)});
}

QString SessionBook::open(const QString &clientId)
{
    if (!accounts.contains(clientId))
        return QString();
    const QString token = newToken();
    Session session;
    session.clientId = clientId;
    session.chain.append(token);
    sessions.insert(token.left(tokenPrefixLength), session);
    return token;
}

QString SessionBook::renewed(const Session &session, const QString &token) const
{
    const Account account = accounts.value(session.clientId);
    return token.left(tokenPrefixLength) + md5Hex(token + account.passwordHash + account.key);
}

SessionBook::Verdict SessionBook::admit(const QString &token, bool signingIn)
{
    const auto it = sessions.find(token.left(tokenPrefixLength));
    if (it == sessions.end())
        return Verdict::OffChain;
    Session &session = *it;
    while (session.chain.size() <= session.lastAccepted + tokenWindow)
        session.chain.append(renewed(session, session.chain.last()));
    // The issued token itself never counts: a caller must renew it to prove the key.
    const int from = qMax(1, session.lastAccepted - tokenWindow);
    const int index = session.chain.indexOf(token, from);
    if (index < 0 || (strict && index != session.lastAccepted + 1))
        return Verdict::OffChain;
    session.lastAccepted = qMax(session.lastAccepted, index);
    if (!signingIn && !session.signedIn)
        return Verdict::NotSignedIn;
    if (signingIn)
        session.signedIn = true;
    return Verdict::Accepted;
}
