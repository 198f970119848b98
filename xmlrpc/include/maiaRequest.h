#ifndef MAIAREQUEST_H
#define MAIAREQUEST_H

#include "qtmaiaxmlrpc_export.h"

#include <QHostAddress>
#include <QList>
#include <QPair>
#include <QString>

// Who sent a call and how: what a method needs to check the caller, e.g. its
// Authorization field.
class QTMAIAXMLRPC_EXPORT MaiaRequest
{
public:
    using HeaderFields = QList<QPair<QString, QString>>;

    MaiaRequest() = default;
    MaiaRequest(const QHostAddress &peerAddress, quint16 peerPort, const HeaderFields &headerFields,
                bool encrypted = false);

    QHostAddress peerAddress() const { return address; }
    quint16 peerPort() const { return port; }
    bool isEncrypted() const { return tls; }
    HeaderFields headerFields() const { return fields; }
    // The field's value, its name in any case; a null string when it is absent.
    QString headerValue(const QString &name) const;

private:
    QHostAddress address;
    quint16 port = 0;
    HeaderFields fields;
    bool tls = false;
};

#endif
