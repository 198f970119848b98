#!/usr/bin/env python3
"""Python's XML-RPC client and server against ours: xmlrpc_network_peer.py PORT prints the port
it serves on, then a JSON line of its calls to our server on PORT ({"name", "method", "expected",
"got"}, typed; a fault as ["fault", code, text]), then a JSON object of what introspection, a multicall
and Basic credentials got from our server, then answers as many calls and ends."""
import json
import sys
import xmlrpc.client
import xmlrpc.server


def typed(value):
    """A value as typed JSON: ints, strings, arrays and structs are all that pass here."""
    if isinstance(value, (int, str)):
        return {"int" if isinstance(value, int) else "string": value}
    if isinstance(value, (list, tuple)):
        return {"array": [typed(v) for v in value]}
    return {"struct": {k: typed(v) for k, v in value.items()}}


def fail(code, text):
    raise xmlrpc.client.Fault(code, text)


def outcome(method, *args):
    try:
        return method(*args)
    except xmlrpc.client.Fault as fault:
        return ["fault", fault.faultCode, fault.faultString]


def introspect(port):
    url = "http://%s127.0.0.1:%d/RPC2"
    proxy = xmlrpc.client.ServerProxy(url % ("", port))
    calls = xmlrpc.client.MultiCall(proxy)
    calls.upper("a")
    calls.nothere()
    getattr(calls, "system.multicall")([])
    return {"listMethods": proxy.system.listMethods(), "methodHelp": proxy.system.methodHelp("upper"),
            "methodSignature": proxy.system.methodSignature("echoString"), "multicall": calls().results,
            "credentials": xmlrpc.client.ServerProxy(url % ("user:secret@", port)).whoami(),
            "no credentials": outcome(proxy.whoami)}


def main(port):
    server = xmlrpc.server.SimpleXMLRPCServer(("127.0.0.1", 0), logRequests=False, use_builtin_types=True)
    for name in ("echoString", "echoArray", "echoStruct"):
        server.register_function(lambda value: value, name)
    server.register_function(fail)
    server.timeout, server.handle_timeout = 120, sys.exit
    print(server.server_address[1], flush=True)

    proxy = xmlrpc.client.ServerProxy("http://127.0.0.1:%d/RPC2" % port, use_builtin_types=True)
    beyond_basic_plane = "Sunset \U0001F305 \U0001F600 \U0002000B"
    calls = [(name, method, (value,)) for name, method, value in [
        ("beyond the basic plane, first call", "echoString", beyond_basic_plane),
        ("array of 100 structs", "echoArray", [{"curly": i, "larry": str(i), "moe": [i]} for i in range(100)]),
        ("string of 200 KB", "echoString", "0123456789" * 20480),
        ("beyond the basic plane, later call", "echoStruct", {beyond_basic_plane: [beyond_basic_plane]}),
    ]] + [("fault", "fail", (4711, "it's <broken> & \"gone\" \U0001F600"))]
    results = []
    for name, method, args in calls:
        expected = ["fault", *args] if method == "fail" else args[0]
        got = outcome(getattr(proxy, method), *args)
        results.append({"name": name, "method": method, "expected": typed(expected), "got": typed(got)})
    print(json.dumps(results), flush=True)
    print(json.dumps({name: typed(got) for name, got in introspect(port).items()}), flush=True)
    for _ in calls:
        server.handle_request()


if __name__ == "__main__":
    main(int(sys.argv[1]))
