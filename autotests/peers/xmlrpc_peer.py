"""Python's xmlrpc.client as an independent peer: reads one call document on stdin, prints on its first line its
parameters as typed JSON (an array), then the call as Python writes it; one it cannot write: why, on stderr, exit
status 1. typed() gives a value as typed JSON."""
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


if __name__ == "__main__":
    params, method = xmlrpc.client.loads(sys.stdin.buffer.read(), use_builtin_types=True)
    print(json.dumps(typed(list(params))), flush=True)
    try:
        # Python writes a method name as it stands, unescaped.
        sys.stdout.buffer.write(xmlrpc.client.dumps(params, xmlrpc.client.escape(method), allow_none=True).encode())
    except Exception as error:  # noqa: BLE001 - what Python refuses to write, said
        sys.exit("%s: %s" % (type(error).__name__, error))
