// xmlrpc-c as an independent peer, through its public API only: reads one
// call or response document on stdin, prints on its first line what it read
// as typed JSON (as xmlrpc_peer.py's typed(), a call's parameters as an
// array), then the same call or response as xmlrpc-c writes it. A document it
// refuses: its reason on stderr, exit status 1.
#include <xmlrpc-c/base.hpp>
#include <xmlrpc-c/base64.hpp>
#include <xmlrpc-c/girerr.hpp>
#include <xmlrpc-c/xml.hpp>

#include <cstdio>
#include <iostream>
#include <iterator>
#include <string>

namespace {

std::string quoted(const std::string &text)
{
    std::string out = "\"";
    for (const unsigned char c : text) {
        char escape[8];
        if (c == '"' || c == '\\' || c < 0x20) {
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else {
            out += char(c);
        }
    }
    return out + '"';
}

std::string typed(const xmlrpc_c::value &value)
{
    char number[64];
    switch (value.type()) {
    case xmlrpc_c::value::TYPE_INT:
        return "{\"int\": " + std::to_string(xmlrpc_c::value_int(value).cvalue()) + '}';
    case xmlrpc_c::value::TYPE_I8:
        return "{\"int\": " + std::to_string(xmlrpc_c::value_i8(value).cvalue()) + '}';
    case xmlrpc_c::value::TYPE_BOOLEAN:
        return std::string("{\"boolean\": ") + (xmlrpc_c::value_boolean(value).cvalue() ? "true" : "false") + '}';
    case xmlrpc_c::value::TYPE_DOUBLE:
        std::snprintf(number, sizeof number, "%.17g", xmlrpc_c::value_double(value).cvalue());
        return std::string("{\"double\": ") + number + '}';
    case xmlrpc_c::value::TYPE_STRING:
        return "{\"string\": " + quoted(xmlrpc_c::value_string(value).cvalue()) + '}';
    case xmlrpc_c::value::TYPE_BYTESTRING:
        return "{\"base64\": "
            + quoted(xmlrpc_c::base64FromBytes(xmlrpc_c::value_bytestring(value).cvalue(), xmlrpc_c::NEWLINE_NO)) + '}';
    case xmlrpc_c::value::TYPE_DATETIME: {
        const xmlrpc_datetime t = xmlrpc_c::value_datetime(value);
        std::snprintf(number, sizeof number, "%04u-%02u-%02uT%02u:%02u:%02u", t.Y, t.M, t.D, t.h, t.m, t.s);
        return "{\"datetime\": " + quoted(number) + '}';
    }
    case xmlrpc_c::value::TYPE_NIL:
        return "{\"nil\": null}";
    case xmlrpc_c::value::TYPE_ARRAY: {
        std::string out = "{\"array\": [";
        for (const xmlrpc_c::value &item : xmlrpc_c::value_array(value).cvalue())
            out += (out.back() == '[' ? "" : ", ") + typed(item);
        return out + "]}";
    }
    case xmlrpc_c::value::TYPE_STRUCT: {
        std::string out = "{\"struct\": {";
        for (const auto &member : xmlrpc_c::value_struct(value).cvalue())
            out += (out.back() == '{' ? "" : ", ") + quoted(member.first) + ": " + typed(member.second);
        return out + "}}";
    }
    default:
        return "{\"unsupported\": null}";
    }
}

} // namespace

int main()
{
    const std::string document{std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>()};
    try {
        std::string read, out;
        if (document.find("<methodCall>") != std::string::npos) {
            std::string method;
            xmlrpc_c::paramList params;
            xmlrpc_c::xml::parseCall(document, &method, &params);
            xmlrpc_c::carray items;
            for (size_t i = 0; i < params.size(); ++i)
                items.push_back(params[i]);
            read = typed(xmlrpc_c::value_array(items));
            xmlrpc_c::xml::generateCall(method, params, &out);
        } else {
            xmlrpc_c::rpcOutcome outcome;
            xmlrpc_c::xml::parseResponse(document, &outcome);
            read = outcome.succeeded() ? typed(outcome.getResult()) : "{\"fault\": null}";
            xmlrpc_c::xml::generateResponse(outcome, &out);
        }
        std::cout << read << '\n' << out;
        return 0;
    } catch (const std::exception &e) {
        std::cerr << e.what() << '\n';
        return 1;
    }
}
