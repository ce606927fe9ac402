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
#include <atomic>
#include <string>

class ArticleSpool;
class History;
class PeerTable;
class PrecommitCache;
class SeenDb;
class SiteTable;
struct MHD_Daemon;
struct RelayBase;

// The relay's objects the page reads. `base` is set before the server is
// made; each other is null until the relay has made it. All stay valid
// until the server has stopped.
struct MetricsSources {
  RelayBase* base = nullptr;
  std::atomic<const ArticleSpool*> spool{nullptr};
  std::atomic<const History*> history{nullptr};
  std::atomic<PeerTable*> peers{nullptr};
  std::atomic<const PrecommitCache*> precommit{nullptr};
  std::atomic<const SeenDb*> seen{nullptr};
  std::atomic<SiteTable*> sites{nullptr};
};

// The whole page.
std::string MetricsPage(const MetricsSources& sources);

// The page's HTTP server, on MetricsListen; none without the key.
class MetricsServer {
 public:
  // A value that is not "address:port" or an address that cannot be bound
  // ends the start-up with a message naming the key. `sources` must outlive
  // the server.
  explicit MetricsServer(const MetricsSources* sources);
  // Stops the server and joins its thread.
  ~MetricsServer();
  MetricsServer(const MetricsServer&) = delete;
  MetricsServer& operator=(const MetricsServer&) = delete;

 private:
  MHD_Daemon* daemon_ = nullptr;
};
