#!/usr/bin/env python3
"""Scrapes a relay's metrics page at a steady rate over one kept-alive HTTP
connection until stopped (SIGTERM or SIGINT), then prints how many scrapes
it made and their median and worst time.

    python3 bench/scrape.py HOST:PORT RATE
"""
import signal

running = True


def stop(*_):
    global running
    running = False


# First of all, so that a stop during the imports below still reports.
signal.signal(signal.SIGTERM, stop)
signal.signal(signal.SIGINT, stop)

import http.client  # noqa: E402
import sys  # noqa: E402
import time  # noqa: E402

address, rate = sys.argv[1], float(sys.argv[2])
host, port = address.rsplit(":", 1)
connection = http.client.HTTPConnection(host, int(port), timeout=10)
times = []
next_at = time.monotonic()
while running:
    start = time.monotonic()
    connection.request("GET", "/metrics")
    response = connection.getresponse()
    body = response.read()
    if response.status != 200 or b"veltrane_build_info" not in body:
        print("bad scrape: status %d" % response.status, file=sys.stderr)
        sys.exit(1)
    times.append(time.monotonic() - start)
    next_at += 1 / rate
    time.sleep(max(0.0, next_at - time.monotonic()))
times.sort()
if times:
    print("scrapes %d, median %.2f ms, max %.2f ms" % (len(times), 1000 * times[len(times) // 2], 1000 * times[-1]))
