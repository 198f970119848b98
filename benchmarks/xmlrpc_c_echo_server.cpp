// xmlrpc-c-echo-server: xmlrpc-c's Abyss server (Debian's libxmlrpc-c++8-dev,
// public API only) with one method, echo(string), on 127.0.0.1; prints its
// port on the first line. A benchmark peer of echo-server.
#include <xmlrpc-c/base.hpp>
#include <xmlrpc-c/registry.hpp>
#include <xmlrpc-c/server_abyss.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdio>
#include <string>

namespace {

class Echo : public xmlrpc_c::method
{
public:
    void execute(const xmlrpc_c::paramList &params, xmlrpc_c::value *result) override
    {
        *result = xmlrpc_c::value_string(params.getString(0));
    }
};

} // namespace

int main()
{
    // Bound here, to loopback and a free port, so that the port can be printed.
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0
        || getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length) != 0)
        return 1;
    std::printf("%u\n", unsigned(ntohs(address.sin_port)));
    std::fflush(stdout);

    xmlrpc_c::registry registry;
    registry.addMethod("echo", new Echo);
    // Keep-alive as hey uses it: up to 1,000 calls a connection, 15 s apart.
    xmlrpc_c::serverAbyss server(xmlrpc_c::serverAbyss::constrOpt()
                                     .registryP(&registry)
                                     .socketFd(listener)
                                     .keepaliveMaxConn(1000)
                                     .keepaliveTimeout(15)
                                     .maxConn(64)
                                     .logFileName("/dev/null"));
    server.run();
    return 0;
}
