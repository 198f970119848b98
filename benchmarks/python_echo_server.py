#!/usr/bin/env python3
"""Python's SimpleXMLRPCServer with echo(string) on 127.0.0.1; prints its port.

  python_echo_server.py [threading]
"""
import socketserver
import sys
import xmlrpc.server


class ThreadingServer(socketserver.ThreadingMixIn, xmlrpc.server.SimpleXMLRPCServer):
    daemon_threads = True


kind = ThreadingServer if sys.argv[1:] == ["threading"] else xmlrpc.server.SimpleXMLRPCServer
server = kind(("127.0.0.1", 0), logRequests=False)
server.register_function(lambda text: text, "echo")
print(server.server_address[1], flush=True)
server.serve_forever()
