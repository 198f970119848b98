#!/usr/bin/env python3
"""Writes the fuzzers' seed corpora, made from valid documents, into DIR:
DIR/response, DIR/requestheader and DIR/serverconnection; and a few byte strings
for DIR/writer, which reads any bytes as a value tree."""
import os
import sys
import xmlrpc.client
from datetime import datetime

VALUES = [
    "abc", "", "quotes ' \" & < > and \u00e9\u20ac", 42, -2147483648, 3.14159, 1e10, True, False,
    xmlrpc.client.Binary(b"\x00\x01binary\xff"), datetime(2026, 12, 6, 9, 30, 0),
    [1, "two", [3.0, False]], {"status": "200", "statusMessage": "ok", "output": [{"sessionId": "x" * 80}]},
    {"b": {"c": {"d": [1, 2, {"e": "deep"}]}}, "a": []},
]

# Forms our reader takes that Python does not write.
HAND_WRITTEN = [
    "<value>untyped</value>", "<value/>", "<value><i4>7</i4></value>", "<value><nil/></value>",
    "<value><datetime.iso8601>20261206T09:30:00</datetime.iso8601></value>",
    "<value><dateTime.iso8601>2026-12-06T09:30:00.5+02:00</dateTime.iso8601></value>",
    "<value><dateTime.iso8601>20261206T093000Z</dateTime.iso8601></value>", "<value><i8>-9007199254740993</i8></value>",
    "<value><double>1e-300</double></value>", "<value><int>12abc</int></value>",
    "<value><BOOLEAN>TRUE</BOOLEAN></value>", "<value><base64>aGVs bG8=\n</base64></value>",
    "<value><struct><member><name>k</name><value>1</value></member>"
    "<member><name>k</name><value>2</value></member></struct></value>",
    "<value><array><data/></array></value>", "<value><mystery>?</mystery></value>",
]


def response(value_xml):
    return ('<?xml version="1.0" encoding="UTF-8"?>\n<methodResponse>\n <params>\n  <param>\n   '
            + value_xml + '\n  </param>\n </params>\n</methodResponse>\n')


def header(body_length, method="POST", extra=()):
    lines = [method + " /RPC2 HTTP/1.1", "Host: 127.0.0.1", "Content-Type: text/xml",
             "Content-Length: %d" % body_length, *extra]
    return ("\r\n".join(lines) + "\r\n\r\n").encode()


def main(out):
    seeds = {"response": [], "requestheader": [], "serverconnection": [], "writer": []}
    for value in VALUES:
        seeds["response"].append(xmlrpc.client.dumps((value,), methodresponse=True).encode())
    for value_xml in HAND_WRITTEN:
        seeds["response"].append(response(value_xml).encode())
    seeds["response"].append(xmlrpc.client.dumps(xmlrpc.client.Fault(403, "Wrong client key & \"password\"")).encode())
    seeds["response"].append(b'<?xml version="1.0"?><methodResponse><params/></methodResponse>')

    calls = [xmlrpc.client.dumps((value,), "echo").encode() for value in VALUES]
    calls += [xmlrpc.client.dumps((2, 3), "add").encode(), xmlrpc.client.dumps((), "nothing").encode(),
              xmlrpc.client.dumps((7,), "fail").encode(), xmlrpc.client.dumps((1,), "unknown").encode(),
              xmlrpc.client.dumps(tuple(range(11)), "add").encode(), b"<methodCall><params/></methodCall>"]
    for body in calls:
        seeds["requestheader"].append(header(len(body)))
    seeds["requestheader"] += [header(5, "GET"), header(0), b"POST / HTTP/1.1\r\nContent-Length: 3\r\n\r\n",
                               b"POST / HTTP/1.1\r\ncontent-length: 3\r\nHost: x\r\n\r\n",
                               b"POST / HTTP/1.1\r\nContent-Length:   42  \r\nA: b:c\r\n   \r\nX: y\r\n"]
    for i, body in enumerate(calls):
        stream = header(len(body)) + body
        # No cuts, then the same stream cut into a few packets.
        seeds["serverconnection"].append(b"\x00" + stream)
        seeds["serverconnection"].append(bytes([3, 40 + i, 128, 250]) + stream)
    seeds["serverconnection"].append(b"\x00" + header(4, "GET") + b"abcd")
    seeds["serverconnection"].append(b"\x01\x80" + header(999999) + calls[0])

    # Any bytes make a tree (fuzz/fuzz_writer.cpp): a few plain patterns to start from.
    seeds["writer"] += [b"", bytes(range(256)), bytes(range(255, -1, -1)), b"\x0c\x06" * 40,
                        b"]]>&<\"'\r\n\t\x00" * 16]

    # Read both ways (fuzz_reader): documents of both kinds, and what sends the reader to the DOM.
    seeds["reader"] = seeds["response"][:6] + calls[:4] + [
        response("<value>&#32;&#xA0;&amp;\u00a0\ufeff\U0001f600&#x1F600;</value>").encode(),
        response("<value><struct>t<member><value>1</value><name>a</name></member><member/></struct></value>").encode(),
        response("<value><string><![CDATA[c]]><!-- c --></string></value>").encode(),
        # White space beyond XML's four alone: the DOM drops such a text.
        response("<value>\u00a0</value><value><string>\u2028&#xA0;</string></value>").encode(),
        b"<?xml version='1.0' encoding='ISO-8859-1'?>\n<methodCall><methodName a='1'>m</methodName>"
        b"<params><param><value><I4>7</I4></value></param>x<param/></params></methodCall>",
        b"<methodResponse><params><param><value>" + b"<x>" * 507 + b"<x/>" + b"</x>" * 507
        + b"</value></param></params></methodResponse>",
    ]

    for kind, items in seeds.items():
        folder = os.path.join(out, kind)
        os.makedirs(folder, exist_ok=True)
        for i, data in enumerate(items):
            with open(os.path.join(folder, "seed-%03d" % i), "wb") as f:
                f.write(data)
        print("%s: %d seeds" % (folder, len(items)))


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "corpus")
