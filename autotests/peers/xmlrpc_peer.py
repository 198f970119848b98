"""Python's xmlrpc.client as an independent peer: for a JSON list of XML documents on stdin, a JSON list of
{"read": what Python read, typed (a call's parameters as an array), "echo": the document Python writes of it
(the same response or fault, or call), or "refused: " and why}; typed() as typed JSON."""
import base64
import datetime
import json
import sys
import xmlrpc.client


def typed(value):
    if value is None:
        return {"nil": None}
    for kind, types in (("boolean", bool), ("int", int), ("double", float), ("string", str)):
        if isinstance(value, types):
            return {kind: value}
    if isinstance(value, bytes):
        return {"base64": base64.b64encode(value).decode("ascii")}
    if isinstance(value, datetime.datetime):
        return {"datetime": value.strftime("%Y-%m-%dT%H:%M:%S")}
    if isinstance(value, (list, tuple)):
        return {"array": [typed(v) for v in value]}
    return {"struct": {k: typed(v) for k, v in value.items()}}


def echo(document):
    try:
        params, method = xmlrpc.client.loads(document, use_builtin_types=True)
    except xmlrpc.client.Fault as fault:
        return {"read": {"fault": None}, "echo": xmlrpc.client.dumps(fault, methodresponse=True)}
    except Exception as error:  # noqa: BLE001 - what Python refuses to read, said
        return {"read": {"refused": "%s: %s" % (type(error).__name__, error)}, "echo": ""}
    read = typed(list(params) if method is not None else params[0] if params else None)
    try:
        # Python writes a method name as it stands, unescaped.
        written = xmlrpc.client.dumps(params, method if method is None else xmlrpc.client.escape(method),
                                      methodresponse=method is None, allow_none=True)
    except Exception as error:  # noqa: BLE001
        written = "refused: %s: %s" % (type(error).__name__, error)
    return {"read": read, "echo": written}


if __name__ == "__main__":
    json.dump([echo(document) for document in json.load(sys.stdin)], sys.stdout)
