#include "methodtable.h"

#include "documentreader.h"
#include "documentwriter.h"
#include "maiaFault.h"

#include <QDateTime>

#include <algorithm>
#include <utility>

namespace {

const QString multicallName = QStringLiteral("system.multicall");

QVariant fault(int code, const QString &message)
{
    return QVariant::fromValue(MaiaFault(code, message));
}

QVariant notFound(const QString &name)
{
    return fault(-32601, QStringLiteral("server error: requested method '%1' not found").arg(name));
}

QVariant invalidParameters(const QString &name, const QString &why)
{
    return fault(-32602, QStringLiteral("server error: invalid method parameters for '%1': %2").arg(name, why));
}

// What is wrong with the parameters of a method taking these types, or nothing.
QString mismatch(const QVariantList &params, const QVector<int> &types)
{
    if (params.size() != types.size())
        return QStringLiteral("%1 given, %2 expected").arg(params.size()).arg(types.size());
    for (int i = 0; i < types.size(); ++i) {
        if (params.at(i).userType() != types.at(i)) {
            return QStringLiteral("parameter %1 is %2, %3 expected")
                .arg(i + 1)
                .arg(MethodTable::typeName(params.at(i).userType()), MethodTable::typeName(types.at(i)));
        }
    }
    return QString();
}

} // namespace

MethodTable::MethodTable()
{
    insertSystemMethods();
}

void MethodTable::insert(const QString &name, const Entry &entry)
{
    entries.insert(name, entry);
}

void MethodTable::remove(const QString &name)
{
    entries.remove(name);
}

QString MethodTable::typeName(int typeId)
{
    switch (typeId) {
    case QMetaType::Bool: return QStringLiteral("boolean");
    case QMetaType::Int: return QStringLiteral("int");
    case QMetaType::LongLong: return QStringLiteral("i8");
    case QMetaType::Double: return QStringLiteral("double");
    case QMetaType::QString: return QStringLiteral("string");
    case QMetaType::QByteArray: return QStringLiteral("base64");
    case QMetaType::QDateTime: return QStringLiteral("dateTime.iso8601");
    case QMetaType::QVariantList: return QStringLiteral("array");
    case QMetaType::QVariantMap: return QStringLiteral("struct");
    case QMetaType::UnknownType: // a nil received
    case QMetaType::Void: return QStringLiteral("nil");
    default: return QStringLiteral("undef");
    }
}

QByteArray MethodTable::answer(QByteArray body, const MaiaRequest &request) const
{
    const DocumentReader::Call document = DocumentReader::readCall(std::move(body));
    if (document.outcome == DocumentReader::Refused)
        return DocumentWriter::fault(-32700, QLatin1String("parse error: refused: ") + document.error);
    if (document.outcome == DocumentReader::NotWellFormed)
        return DocumentWriter::fault(-32700, QStringLiteral("parse error: not well formed"));
    if (document.outcome == DocumentReader::NotXmlRpc) {
        return DocumentWriter::fault(
            -32600,
            QLatin1String("server error: invalid xml-rpc. ")
                + (document.error.isEmpty() ? QStringLiteral("not conforming to spec") : document.error));
    }
    const QVariant result = call(document.methodName, document.arguments(), request);
    if (result.userType() != qMetaTypeId<MaiaFault>())
        return DocumentWriter::response(result);
    const MaiaFault failure = result.value<MaiaFault>();
    return DocumentWriter::fault(failure.code(), failure.message());
}

QVariant MethodTable::call(const QString &name, const QVariantList &params, const MaiaRequest &request) const
{
    // A copy: the method may unregister itself, or destroy the server, while it runs.
    const Entry entry = lookup(name);
    if (!entry.method)
        return notFound(name);
    if (entry.checked) {
        const QString why = mismatch(params, entry.parameterTypes);
        if (!why.isEmpty())
            return invalidParameters(name, why);
    }
    return entry.method(params, request);
}

MethodTable::Entry MethodTable::lookup(const QString &name) const
{
    const Entry entry = entries.value(name);
    if (entry.bound && !entry.receiver)
        return Entry();
    return entry;
}

QVariant MethodTable::multicall(const QVariantList &params, const MaiaRequest &request) const
{
    QVariantList results;
    const QVariantList calls = params.value(0).toList();
    for (const QVariant &item : calls) {
        const QVariantMap one = item.toMap();
        const QVariant name = one.value(QStringLiteral("methodName"));
        const QVariant arguments = one.value(QStringLiteral("params"));
        QVariant result;
        if (name.userType() != QMetaType::QString || arguments.userType() != QMetaType::QVariantList)
            result = fault(-32600, QStringLiteral("server error: a call needs a methodName string and a params array"));
        else if (name.toString() == multicallName)
            result = fault(-32600, QStringLiteral("server error: system.multicall cannot be nested"));
        else
            result = call(name.toString(), arguments.toList(), request);
        if (result.userType() == qMetaTypeId<MaiaFault>()) {
            const MaiaFault failure = result.value<MaiaFault>();
            results.append(QVariantMap{{QStringLiteral("faultCode"), failure.code()},
                                       {QStringLiteral("faultString"), failure.message()}});
        } else {
            results.append(QVariant(QVariantList{result}));
        }
    }
    return results;
}

void MethodTable::insertSystemMethods()
{
    const auto add = [this](const QString &name, int result, const QVector<int> &types, const QString &help,
                            MaiaXmlRpcServer::RequestMethod method) {
        QStringList signature{typeName(result)};
        for (int type : types)
            signature << typeName(type);
        entries.insert(name, {std::move(method), help, signature, true, types, false, nullptr});
    };
    // The table outlives every call into it, so these may hold it.
    add(QStringLiteral("system.listMethods"), QMetaType::QVariantList, {},
        QStringLiteral("The names of the methods this server answers."),
        [this](const QVariantList &, const MaiaRequest &) {
            QStringList names;
            for (auto it = entries.cbegin(); it != entries.cend(); ++it) {
                if (lookup(it.key()).method)
                    names << it.key();
            }
            std::sort(names.begin(), names.end());
            return QVariant(QVariantList(names.cbegin(), names.cend()));
        });
    const auto describe = [this](const QVariantList &params, const std::function<QVariant(const Entry &)> &what) {
        const Entry entry = lookup(params.at(0).toString());
        return entry.method ? what(entry) : notFound(params.at(0).toString());
    };
    add(QStringLiteral("system.methodHelp"), QMetaType::QString, {QMetaType::QString},
        QStringLiteral("A method's description."), [describe](const QVariantList &params, const MaiaRequest &) {
            // Empty, not null: a null string would answer no value.
            return describe(params, [](const Entry &entry) { return QVariant(entry.help + QLatin1String("")); });
        });
    add(QStringLiteral("system.methodSignature"), QMetaType::QVariantList, {QMetaType::QString},
        QStringLiteral("A method's signatures, each the result's type then the parameters'; 'undef' when unknown."),
        [describe](const QVariantList &params, const MaiaRequest &) {
            return describe(params, [](const Entry &entry) {
                if (entry.signature.isEmpty())
                    return QVariant(QStringLiteral("undef"));
                return QVariant(QVariantList{QVariant(QVariantList(entry.signature.cbegin(), entry.signature.cend()))});
            });
        });
    add(multicallName, QMetaType::QVariantList, {QMetaType::QVariantList},
        QStringLiteral("Calls each {methodName, params} in turn: a [result] or a {faultCode, faultString} each."),
        [this](const QVariantList &params, const MaiaRequest &request) { return multicall(params, request); });
}
