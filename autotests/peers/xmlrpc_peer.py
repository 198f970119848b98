#!/usr/bin/env python3
"""An independent XML-RPC peer (Python's standard xmlrpc.client) for interop tests.

  read   stdin: JSON list of XML documents; stdout: JSON list of what Python read
  cases  stdout: JSON list of documents Python wrote, with the values it meant

Values travel as typed JSON: {"int": 1}, {"string": "a"}, {"array": [...]}, ...
"""
import base64
import datetime
import json
import sys
import xmlrpc.client


def typed(value):
    if value is None:
        return {"nil": None}
    if isinstance(value, bool):
        return {"boolean": value}
    if isinstance(value, int):
        return {"int": value}
    if isinstance(value, float):
        return {"double": value}
    if isinstance(value, str):
        return {"string": value}
    if isinstance(value, (bytes, bytearray)):
        return {"base64": base64.b64encode(value).decode("ascii")}
    if isinstance(value, datetime.datetime):
        return {"datetime": value.strftime("%Y-%m-%dT%H:%M:%S")}
    if isinstance(value, (list, tuple)):
        return {"array": [typed(v) for v in value]}
    if isinstance(value, dict):
        return {"struct": {k: typed(v) for k, v in value.items()}}
    raise TypeError(type(value))


def read(document):
    try:
        params, method = xmlrpc.client.loads(document, use_builtin_types=True)
    except xmlrpc.client.Fault as fault:
        return {"fault": {"code": fault.faultCode, "string": fault.faultString}}
    return {"method": method, "params": [typed(p) for p in params]}


def cases():
    stamp = datetime.datetime(2026, 12, 6, 13, 5, 9)
    blob = bytes(range(256)) * 2  # long enough for line breaks in Base64
    nested = {"outer": {"inner": [1, [2, [3, "deep"]], {"x": 1.5}]}, "empty": [], "none": {}}
    scalars = [7, -2147483648, True, False, 2.5, -1e-05, "plain", "<&> \"quoted\" 'apos'",
               "Grüße – ☃", "", blob]
    out = []

    def add(name, kind, document, expected):
        out.append({"name": name, "kind": kind, "xml": document, "expected": expected})

    add("call with scalars", "call", xmlrpc.client.dumps(tuple(scalars), "echo"),
        [typed(v) for v in scalars])
    add("call with nested containers", "call", xmlrpc.client.dumps((nested,), "nest"),
        [typed(nested)])
    add("call with nil", "call", xmlrpc.client.dumps((None, [None, 1]), "nil", allow_none=True),
        [typed(None), typed([None, 1])])
    add("call with dateTime.iso8601", "call",
        xmlrpc.client.dumps((xmlrpc.client.DateTime(stamp),), "when"), [typed(stamp)])
    add("call with i4", "call", xmlrpc.client.dumps((42, [-3]), "i4").replace("int>", "i4>"),
        [typed(42), typed([-3])])
    add("call without parameters", "call", xmlrpc.client.dumps((), "ping"), [])
    add("response with a struct", "response",
        xmlrpc.client.dumps(({"status": "200", "output": [{"sessionId": "s" * 80}]},),
                            methodresponse=True),
        [typed({"status": "200", "output": [{"sessionId": "s" * 80}]})])
    add("response with base64", "response",
        xmlrpc.client.dumps((xmlrpc.client.Binary(blob),), methodresponse=True), [typed(blob)])
    add("fault", "fault", xmlrpc.client.dumps(xmlrpc.client.Fault(4711, "it's <broken> & gone"),
                                              methodresponse=True),
        {"code": 4711, "string": "it's <broken> & gone"})
    return out


def main():
    if sys.argv[1:] == ["read"]:
        json.dump([read(d) for d in json.load(sys.stdin)], sys.stdout)
    elif sys.argv[1:] == ["cases"]:
        json.dump(cases(), sys.stdout)
    else:
        sys.exit("usage: xmlrpc_peer.py read|cases")


if __name__ == "__main__":
    main()
