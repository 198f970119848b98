#include "maiaRequest.h"

MaiaRequest::MaiaRequest(const QHostAddress &peerAddress, quint16 peerPort, const HeaderFields &headerFields,
                         bool encrypted)
    : address(peerAddress)
    , port(peerPort)
    , fields(headerFields)
    , tls(encrypted)
{
}

QString MaiaRequest::headerValue(const QString &name) const
{
    for (const auto &field : fields) {
        if (field.first.compare(name, Qt::CaseInsensitive) == 0)
            return field.second;
    }
    return QString();
}
