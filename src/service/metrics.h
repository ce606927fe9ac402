// Prometheus metrics: the relay's counters in the text exposition format
// (version 0.0.4), served at /metrics over HTTP (libmicrohttpd) on the
// address of the key MetricsListen ("127.0.0.1:9119", "[::1]:9119";
// absent or empty: no server).
//
// Every figure is read the way the statistics texts read it: atomics
// without a lock, so a scrape never takes the spool lock or holds up
// ingest. The only lock taken is each site's feeder-table lock, for the
// moment it takes to copy its feeders' figures. The 32-bit counters wrap
// at 2^32, which Prometheus takes as a counter reset.
#pragma once
#include <string>

// The whole page.
std::string MetricsPage();

// Starts the server when MetricsListen is set. A value that is not
// "address:port" or an address that cannot be bound ends the start-up
// with a message naming the key.
void StartMetricsServer();

// Stops the metrics server and joins its thread; nothing when none runs.
void StopMetricsServer();
