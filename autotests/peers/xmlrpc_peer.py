"""Python's xmlrpc.client as an independent peer: reads one call document on stdin and prints the call as Python
writes it; one it cannot write: why, on stderr, exit status 1."""
import sys
import xmlrpc.client

if __name__ == "__main__":
    params, method = xmlrpc.client.loads(sys.stdin.buffer.read(), use_builtin_types=True)
    try:
        # Python writes a method name as it stands, unescaped.
        sys.stdout.buffer.write(xmlrpc.client.dumps(params, xmlrpc.client.escape(method), allow_none=True).encode())
    except Exception as error:  # noqa: BLE001 - what Python refuses to write, said
        sys.exit("%s: %s" % (type(error).__name__, error))
