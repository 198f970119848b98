#ifndef MAIAXMLRPCSERVER_P_H
#define MAIAXMLRPCSERVER_P_H

// Not part of the API: what MaiaXmlRpcServer's registration template needs.

#include <QVariant>
#include <QVector>

#include <functional>
#include <type_traits>
#include <utility>

namespace MaiaXmlRpcPrivate {

template<class T>
int typeId()
{
    if constexpr (std::is_void<T>::value)
        return QMetaType::Void;
    else
        return qMetaTypeId<std::decay_t<T>>();
}

// The result's type first, then the parameters' (references and const dropped).
template<class Result, class... Args>
QVector<int> typeIds()
{
    return {typeId<Result>(), typeId<Args>()...};
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

// Called only once the server has seen the receiver alive and the parameters of the types above.
template<class Receiver, class Object, class Result, class... Args>
std::function<QVariant(const QVariantList &)> bind(Receiver *receiver, Result (Object::*member)(Args...))
{
    return [receiver, member](const QVariantList &params) -> QVariant {
        return invoke<Result, Args...>(receiver, member, params, std::index_sequence_for<Args...>());
    };
}

} // namespace MaiaXmlRpcPrivate

#endif
