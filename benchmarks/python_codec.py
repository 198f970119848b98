#!/usr/bin/env python3
"""The same codec work with Python's xmlrpc.client, printed like codec-bench."""
import time
import xmlrpc.client


def per_round(work, budget=1.5, max_rounds=2000):
    work()
    start = time.perf_counter()
    rounds = 0
    while rounds < max_rounds and (rounds == 0 or time.perf_counter() - start < budget):
        work()
        rounds += 1
    return (time.perf_counter() - start) / rounds


members = {"member%04d" % i: (i if i % 3 == 0 else "text %d" % i if i % 3 == 1 else i * 0.5) for i in range(1000)}
cases = [("struct-1000", members), ("string-4MB", "x" * (4 * 1024 * 1024)),
         ("letters-400k", "x" * 400000), ("amps-400k", "&" * 400000)]
for name, payload in cases:
    call = xmlrpc.client.dumps((payload,), "echo")
    response = xmlrpc.client.dumps((payload,), methodresponse=True)
    size = len(call.encode()) / 1e6
    compose = per_round(lambda: xmlrpc.client.dumps((payload,), "echo"))
    parse = per_round(lambda: xmlrpc.client.loads(call))
    parse_response = per_round(lambda: xmlrpc.client.loads(response))
    print("codec %s compose-call %f" % (name, size / compose))
    print("codec %s parse-call %f" % (name, size / parse))
    print("codec %s parse-response %f" % (name, size / parse_response))
