#ifndef WHOAMI_H
#define WHOAMI_H

#include "maiaFault.h"
#include "maiaXmlRpcServer.h"

// A method that checks Basic credentials as a service would: "user at ADDRESS"
// to a caller who sent user:secret, the fault 401 "who?" to anyone else.
inline MaiaXmlRpcServer::RequestMethod whoAmI()
{
    return [](const QVariantList &, const MaiaRequest &request) -> QVariant {
        if (request.headerValue("Authorization") != "Basic " + QByteArray("user:secret").toBase64())
            return QVariant::fromValue(MaiaFault(401, "who?"));
        return "user at " + request.peerAddress().toString();
    };
}

#endif
