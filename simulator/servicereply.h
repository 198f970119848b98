#ifndef SERVICEREPLY_H
#define SERVICEREPLY_H

#include <QString>
#include <QVariant>

// Every answer of the service has one shape: a status code as text, a
// message, and a list of output records.
inline QVariantMap serviceReply(int status, const QString &message, const QVariantList &output = QVariantList())
{
    return QVariantMap{{"status", QString::number(status)}, {"statusMessage", message}, {"output", output}};
}

#endif
