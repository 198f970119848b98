#ifndef METHODTABLE_H
#define METHODTABLE_H

#include "maiaXmlRpcServer.h"

#include <QHash>
#include <QPointer>
#include <QStringList>
#include <QVector>

// The server's methods by name: reads a call, checks it against the method,
// calls it and writes the answer; answers the system.* methods itself.
class MethodTable
{
public:
    struct Entry {
        MaiaXmlRpcServer::RequestMethod method;
        QString help;
        QStringList signature; // the result's type first; empty: unknown
        // The parameters' exact types, checked before each call.
        bool checked = false;
        QVector<int> parameterTypes;
        // A member function's receiver: once destroyed, the method is gone.
        bool bound = false;
        QPointer<QObject> receiver;
    };

    MethodTable();
    Q_DISABLE_COPY(MethodTable) // the system methods hold this table

    void insert(const QString &name, const Entry &entry);
    void remove(const QString &name);
    // The response document to a call's body; the table must outlive the call (a method may destroy the server).
    QByteArray answer(QByteArray body, const MaiaRequest &request) const;

    // A type's XML-RPC name ("int", "string", "array"...), "nil" for void, "undef" for any other.
    static QString typeName(int typeId);

private:
    // A copy of the method's entry; one without a method when there is none, or its receiver is gone.
    Entry lookup(const QString &name) const;
    // The result, or a MaiaFault inside the QVariant.
    QVariant call(const QString &name, const QVariantList &params, const MaiaRequest &request) const;
    QVariant multicall(const QVariantList &params, const MaiaRequest &request) const;
    void insertSystemMethods();

    QHash<QString, Entry> entries;
};

#endif
