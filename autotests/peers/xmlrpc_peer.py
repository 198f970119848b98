"""Python's xmlrpc.client as an independent peer: for a JSON list of XML documents on stdin, a JSON list of
the documents Python writes of what it read (the same response or fault, or call); typed() as typed JSON."""
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
        # Python knows the date-time tag in this spelling only.
        params, method = xmlrpc.client.loads(document.replace("datetime.iso8601>", "dateTime.iso8601>"),
                                             use_builtin_types=True)
    except xmlrpc.client.Fault as fault:
        return xmlrpc.client.dumps(fault, methodresponse=True)
    # Python writes a method name as it stands, unescaped.
    return xmlrpc.client.dumps(params, method if method is None else xmlrpc.client.escape(method),
                               methodresponse=method is None)


if __name__ == "__main__":
    json.dump([echo(document) for document in json.load(sys.stdin)], sys.stdout)
