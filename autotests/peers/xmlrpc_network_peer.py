#!/usr/bin/env python3
"""Python's standard XML-RPC client and server as network peers for interop tests.

  serve      runs a SimpleXMLRPCServer on a free 127.0.0.1 port, prints the port,
             and stops when standard input closes (or after two minutes)
  call PORT  calls our server on 127.0.0.1:PORT and prints a JSON list of
             {"name", "sent", "got"} or {"name", "fault": {"code", "string"}}
"""
import json
import sys
import threading
import xmlrpc.client
import xmlrpc.server

sys.path.insert(0, __file__.rsplit("/", 1)[0])
from xmlrpc_peer import typed  # noqa: E402

LIFETIME_SECONDS = 120


def serve():
    server = xmlrpc.server.SimpleXMLRPCServer(("127.0.0.1", 0), logRequests=False,
                                              allow_none=True, use_builtin_types=True)
    server.register_function(lambda value: value, "echo")
    server.register_function(lambda items, key: sum(item[key] for item in items), "sumMember")
    server.register_function(lambda outer: {k: sorted(v.keys()) for k, v in outer.items()}, "innerKeys")

    def fail(code, text):
        raise xmlrpc.client.Fault(code, text)
    server.register_function(fail, "fail")
    print(server.server_address[1], flush=True)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    stopper = threading.Thread(target=sys.stdin.read, daemon=True)
    stopper.start()
    stopper.join(LIFETIME_SECONDS)
    server.shutdown()


def call(port):
    proxy = xmlrpc.client.ServerProxy("http://127.0.0.1:%d/RPC2" % port, use_builtin_types=True)
    structs = [{"curly": i, "larry": str(i), "moe": [i]} for i in range(100)]
    beyond_basic_plane = "Sunset \U0001F305 \U0001F600 \U0002000B"
    calls = [
        ("beyond the basic plane, first call", "echoString", beyond_basic_plane),
        ("echoString", "echoString", "Grüße <&> 'q' \"d\" ☃ " * 3),
        ("echoInt", "echoInt", -2147483648),
        ("echoDouble", "echoDouble", -12.5),
        ("echoBool", "echoBool", True),
        ("echoBytes", "echoBytes", bytes(range(256)) * 4),
        ("echoArray", "echoArray", [1, "two", 3.5, [False, {"x": b"y"}]]),
        ("struct of structs", "echoStruct", {"a": {"b": {"c": 1}}, "d": {}, "e": {"f": []}}),
        ("array of 100 structs", "sumCurly", structs),
        ("string of 200 KB", "echoString", "0123456789" * 20480),
        ("beyond the basic plane, later call", "echoStruct", {beyond_basic_plane: [beyond_basic_plane]}),
    ]
    results = []
    for name, method, value in calls:
        results.append({"name": name, "sent": typed(value),
                        "got": typed(getattr(proxy, method)(value))})
    try:
        proxy.fail()
        results.append({"name": "fault", "fault": None})
    except xmlrpc.client.Fault as fault:
        results.append({"name": "fault", "fault": {"code": fault.faultCode, "string": fault.faultString}})
    json.dump(results, sys.stdout)


if __name__ == "__main__":
    if sys.argv[1:2] == ["serve"]:
        serve()
    elif sys.argv[1:2] == ["call"] and len(sys.argv) == 3:
        call(int(sys.argv[2]))
    else:
        sys.exit("usage: xmlrpc_network_peer.py serve | call PORT")
