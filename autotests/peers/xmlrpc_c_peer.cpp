// xmlrpc-c as an independent peer, through its public API only: reads one
// call document on stdin, prints on its first line its parameters as typed
// JSON (as xmlrpc_peer.py's typed(), an array), then the same call as
// xmlrpc-c writes it. A document it refuses: its reason on stderr, exit status 1.
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
        std::snprintf(escape, sizeof escape, "\\u%04x", c);
        out += c == '"' || c == '\\' || c < 0x20 ? std::string(escape) : std::string(1, char(c));
    }
    return out + '"';
}

std::string typed(const xmlrpc_c::value &v)
{
    using namespace xmlrpc_c;
    char text[64] = "";
    std::string items;
    const xmlrpc_datetime t = v.type() == value::TYPE_DATETIME ? xmlrpc_datetime(value_datetime(v)) : xmlrpc_datetime();
    std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u", t.Y, t.M, t.D, t.h, t.m, t.s);
    switch (v.type()) {
    case value::TYPE_INT: return "{\"int\": " + std::to_string(value_int(v).cvalue()) + '}';
    case value::TYPE_I8: return "{\"int\": " + std::to_string(value_i8(v).cvalue()) + '}';
    case value::TYPE_BOOLEAN: return value_boolean(v).cvalue() ? "{\"boolean\": true}" : "{\"boolean\": false}";
    case value::TYPE_DOUBLE: // every digit, for the exact value
        std::snprintf(text, sizeof text, "{\"double\": %.17g}", value_double(v).cvalue());
        return text;
    case value::TYPE_STRING: return "{\"string\": " + quoted(value_string(v).cvalue()) + '}';
    case value::TYPE_BYTESTRING:
        return "{\"base64\": " + quoted(base64FromBytes(value_bytestring(v).cvalue(), NEWLINE_NO)) + '}';
    case value::TYPE_DATETIME: return "{\"datetime\": " + quoted(text) + '}';
    case value::TYPE_NIL: return "{\"nil\": null}";
    case value::TYPE_ARRAY:
        for (const value &item : value_array(v).cvalue())
            items += (items.empty() ? "" : ", ") + typed(item);
        return "{\"array\": [" + items + "]}";
    case value::TYPE_STRUCT:
        for (const auto &member : value_struct(v).cvalue())
            items += (items.empty() ? "" : ", ") + quoted(member.first) + ": " + typed(member.second);
        return "{\"struct\": {" + items + "}}";
    default: return "{\"unsupported\": null}";
    }
}

} // namespace

int main()
{
    try {
        const std::string document{std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>()};
        std::string method, out;
        xmlrpc_c::paramList params;
        xmlrpc_c::xml::parseCall(document, &method, &params);
        xmlrpc_c::carray items;
        for (size_t i = 0; i < params.size(); ++i)
            items.push_back(params[i]);
        xmlrpc_c::xml::generateCall(method, params, &out);
        std::cout << typed(xmlrpc_c::value_array(items)) << '\n' << out;
        return 0;
    } catch (const std::exception &e) {
        std::cerr << e.what() << '\n';
        return 1;
    }
}
