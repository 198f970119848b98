// xmlrpc-c as an independent peer, through its public API only: reads one
// call document on stdin and prints the same call as xmlrpc-c writes it. A
// document it refuses: its reason on stderr, exit status 1.
#include <xmlrpc-c/base.hpp>
#include <xmlrpc-c/xml.hpp>

#include <iostream>
#include <iterator>
#include <string>

int main()
{
    try {
        const std::string document{std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>()};
        std::string method, out;
        xmlrpc_c::paramList params;
        xmlrpc_c::xml::parseCall(document, &method, &params);
        xmlrpc_c::xml::generateCall(method, params, &out);
        std::cout << out;
        return 0;
    } catch (const std::exception &e) {
        std::cerr << e.what() << '\n';
        return 1;
    }
}
