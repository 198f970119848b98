#ifndef MAIAXMLRPCSERVER_P_H
#define MAIAXMLRPCSERVER_P_H

// Not part of the API: what MaiaXmlRpcServer's registration template needs.

#include "qtmaiaxmlrpc_export.h"

#include <QPointer>
#include <QVariant>

#include <functional>
#include <type_traits>
#include <utility>

namespace MaiaXmlRpcPrivate {

// The faults answered when a method cannot be called.
QTMAIAXMLRPC_EXPORT QVariant methodNotFound();
QTMAIAXMLRPC_EXPORT QVariant invalidParameters();

template<class... Args>
bool parametersMatch(const QVariantList &params)
{
    const int types[sizeof...(Args) + 1] = {qMetaTypeId<std::decay_t<Args>>()...}; // + 1: never of length zero
    if (params.size() != int(sizeof...(Args)))
        return false;
    for (int i = 0; i < int(sizeof...(Args)); ++i) {
        if (params.at(i).userType() != types[i])
            return false;
    }
    return true;
}

template<class Result, class... Args, class Receiver, class Member, std::size_t... I>
QVariant invoke(Receiver *receiver, Member member, const QVariantList &params, std::index_sequence<I...>)
{
    Q_UNUSED(params); // when there are no parameters
    if constexpr (std::is_void<Result>::value) {
        (receiver->*member)(params.at(int(I)).template value<std::decay_t<Args>>()...);
        return QVariant();
    } else {
        return QVariant::fromValue((receiver->*member)(params.at(int(I)).template value<std::decay_t<Args>>()...));
    }
}

template<class Receiver, class Object, class Result, class... Args>
std::function<QVariant(const QVariantList &)> bind(Receiver *receiver, Result (Object::*member)(Args...))
{
    return [guard = QPointer<Receiver>(receiver), member](const QVariantList &params) -> QVariant {
        if (!guard)
            return methodNotFound();
        if (!parametersMatch<Args...>(params))
            return invalidParameters();
        return invoke<Result, Args...>(guard.data(), member, params, std::index_sequence_for<Args...>());
    };
}

} // namespace MaiaXmlRpcPrivate

#endif
