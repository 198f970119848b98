// xmlrpc-c as an independent peer, through its public API only: reads one
// call document on stdin and prints the same call as xmlrpc-c writes it. A
// document it refuses: its reason on stderr, exit status 1. Given a URL, it is
// xmlrpc-c's client of that server instead, and prints one a line the names
// system.listMethods answers.
#include <xmlrpc-c/base.hpp>
#include <xmlrpc-c/client_simple.hpp>
#include <xmlrpc-c/xml.hpp>

#include <iostream>
#include <iterator>
#include <string>

int main(int argc, char **argv)
{
    try {
        if (argc > 1) {
            xmlrpc_c::value names;
            xmlrpc_c::clientSimple().call(argv[1], "system.listMethods", xmlrpc_c::paramList(), &names);
            for (const xmlrpc_c::value &name : xmlrpc_c::value_array(names).vectorValueValue())
                std::cout << std::string(xmlrpc_c::value_string(name)) << '\n';
            return 0;
        }
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
