#include "session.h"

#include <QCryptographicHash>

namespace {

constexpr int tokenPrefixLength = 48;

} // namespace

void Session::setCredentials(const QString &clientId, const QString &clientKey, const QString &password)
{
    id = clientId;
    key = clientKey;
    hash = md5(password);
}

void Session::open(const QString &issued)
{
    current = issued;
    stale = false;
    renew();
}

void Session::renew()
{
    current = current.left(tokenPrefixLength) + md5(current + hash + key);
}

// The service accepts any token of the chain within 16 renewals of the last
// one it accepted, either way, since overlapping calls renew out of order.
// A reply means the service has read the token, and accepted it unless it
// refused the token itself: the next call carries the next token, and a
// renewal after a refused token stays well inside the window. A fault may
// come from a call that never reached the service: a run of them renewing
// would walk the token out of the window, while sending the same token again
// is accepted. A failed sign-in step ends the sign-in: its token stays as sent,
// and the next sign-in starts from a newly issued one.
void Session::callEnded(CallEnd end)
{
    if (end == CallEnd::Reply)
        renew();
}

QString Session::md5(const QString &text)
{
    return QString::fromLatin1(QCryptographicHash::hash(text.toLatin1(), QCryptographicHash::Md5).toHex());
}
