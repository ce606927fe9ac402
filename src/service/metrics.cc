#include "service/metrics.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <microhttpd.h>
#include <netinet/in.h>

#include "base/config.h"
#include "base/log.h"
#include "base/message_log.h"
#include "base/stats.h"
#include "dedupe/precommit.h"
#include "dedupe/seen.h"
#include "feeds/site.h"
#include "history/history.h"
#include "incoming/incoming_table.h"
#include "spool/article_spool.h"

namespace {

// Label values escaped as the format asks: backslash, quote, line end.
std::string Escaped(const char* text) {
  std::string out;
  for (const char* p = text; *p != '\0'; p++) {
    if (*p == '\\' || *p == '"') out += '\\';
    if (*p == '\n') {
      out += "\\n";
      continue;
    }
    out += *p;
  }
  return out;
}

// The page under construction: a family's HELP and TYPE lines, then its
// samples, each family once.
class Page {
 public:
  void Family(const char* name, const char* type, const char* help) {
    name_ = name;
    Append("# HELP %s %s\n# TYPE %s %s\n", name, help, name, type);
  }
  // A sample of the current family; `labels` is "" or `a="x",b="y"`.
  void Sample(const std::string& labels, uint64_t value) {
    Append("%s%s%s%s %" PRIu64 "\n", name_, labels.empty() ? "" : "{", labels.c_str(), labels.empty() ? "" : "}",
           value);
  }
  void Value(uint64_t value) { Sample("", value); }
  std::string& text() { return out_; }

 private:
  template <typename... Args>
  void Append(const char* format, Args... args) {
    char line[1024];
    int n = snprintf(line, sizeof line, format, args...);
    if (n > 0) out_.append(line, std::min(size_t(n), sizeof line - 1));
  }
  const char* name_ = "";
  std::string out_;
};

std::string Label(const char* name, const std::string& value) { return std::string(name) + "=\"" + value + "\""; }

void RelayFigures(Page& p, const RelayBase& base) {
  const RelayStats& stats = base.stats;
  p.Family("veltrane_build_info", "gauge", "Version of the running relay.");
  p.Sample(Label("version", VELTRANE_VERSION), 1);
  p.Family("veltrane_start_time_seconds", "gauge", "Start of the relay, seconds since the Unix epoch.");
  p.Value(base.log.StartTime());
  p.Family("veltrane_incoming_commands_total", "counter", "Offer commands received from peers.");
  p.Sample(Label("command", "ihave"), Read(stats.ihave));
  p.Sample(Label("command", "check"), Read(stats.check));
  p.Sample(Label("command", "takethis"), Read(stats.takethis));
  p.Family("veltrane_incoming_replies_total", "counter", "Offer commands by the outcome of their reply.");
  p.Sample(Label("command", "ihave") + "," + Label("outcome", "accepted"), Read(stats.ihave_accept));
  p.Sample(Label("command", "ihave") + "," + Label("outcome", "refused"), Read(stats.ihave_refuse));
  p.Sample(Label("command", "ihave") + "," + Label("outcome", "rejected"), Read(stats.ihave_reject));
  p.Sample(Label("command", "check") + "," + Label("outcome", "refused"), Read(stats.check_refuse));
  p.Sample(Label("command", "takethis") + "," + Label("outcome", "accepted"), Read(stats.takethis_transferok));
  p.Sample(Label("command", "takethis") + "," + Label("outcome", "refused"), Read(stats.takethis_refuse));
  p.Family("veltrane_precommit_saves_total", "counter",
           "Offers deferred because another peer was sending the same article.");
  p.Value(Read(stats.precommit_saves));
  p.Family("veltrane_outgoing_articles_total", "counter", "Articles offered to sites, by the sites' answers.");
  p.Sample(Label("outcome", "accepted"), Read(stats.total_accept));
  p.Sample(Label("outcome", "refused"), Read(stats.total_refuse));
  p.Sample(Label("outcome", "rejected"), Read(stats.total_reject));
}

void DatabaseFigures(Page& p, const MetricsSources& sources) {
  const RelayStats& stats = sources.base->stats;
  const ArticleSpool* spooler = sources.spool.load();
  SpoolFigures spool = spooler != nullptr ? spooler->GetSpoolFigures() : SpoolFigures{0, 0};
  p.Family("veltrane_spool_written_bytes_total", "counter", "Bytes written to spool files.");
  p.Value(spool.bytesWritten);
  p.Family("veltrane_spool_files", "gauge", "Spool files on disk (last expiry pass plus files started since).");
  p.Value(spool.filesOnDisk);
  uint32_t historySize = 0;
  sources.base->config.GetConfigInt("HistoryDataSize", &historySize);
  p.Family("veltrane_history_inserts_total", "counter", "History entries added.");
  p.Value(Read(stats.dbInsertOps));
  p.Family("veltrane_history_searches_total", "counter", "History look-ups.");
  p.Value(Read(stats.dbSearchOps));
  p.Family("veltrane_history_used_bytes", "gauge", "Bytes of the history data file in use.");
  p.Value(Read(stats.dwHistBytesUsed));
  p.Family("veltrane_history_size_bytes", "gauge", "Size of the history data file (HistoryDataSize).");
  p.Value(historySize);
  p.Family("veltrane_history_expiries_total", "counter", "History expiries (oldest fifth cut away).");
  const History* history = sources.history.load();
  p.Value(history != nullptr ? history->HistExpireSerial() : 0);
  const SeenDb* seenDb = sources.seen.load();
  SeenFigures seen = seenDb != nullptr ? seenDb->Figures() : SeenFigures{0, 0};
  p.Family("veltrane_seen_ring_records", "gauge", "Records of the seen ring (SeenDataCount).");
  p.Value(seen.records);
  p.Family("veltrane_seen_ring_position", "gauge", "Record of the seen ring the next key overwrites.");
  p.Value(seen.position);
  p.Family("veltrane_seen_searches_total", "counter", "Seen database look-ups.");
  p.Value(Read(stats.seenSearchCount));
  p.Family("veltrane_precommit_entries", "gauge", "Articles in transfer held in the precommit cache.");
  const PrecommitCache* precommit = sources.precommit.load();
  p.Value(precommit != nullptr ? precommit->Entries() : 0);
}

// Families over the listed peers; `value` picks the figure of one.
template <typename F>
void PeerFamily(Page& p, const std::vector<IncomingFigures>& peers, const char* name, const char* type,
                const char* help, F value) {
  p.Family(name, type, help);
  for (const IncomingFigures& e : peers) value(Label("peer", Escaped(e.host.c_str())), e);
}

void PeerFigures(Page& p, const MetricsSources& sources) {
  const char* outcomes[] = {"accepted", "refused", "rejected", "deferred"};
  PeerTable* table = sources.peers.load();
  const std::vector<IncomingFigures> peers = table != nullptr ? table->IncomingSnapshot() : std::vector<IncomingFigures>();
  PeerFamily(p, peers, "veltrane_peer_articles_offered_total", "counter",
             "Articles a peer offered: the sum of its accepted, refused, rejected and deferred offers.",
             [&](const std::string& l, const IncomingFigures& e) {
               p.Sample(l, uint64_t(e.accepts) + e.refused + e.rejected + e.precommitSaves);
             });
  PeerFamily(p, peers, "veltrane_peer_articles_total", "counter", "Articles a peer offered, by outcome.",
             [&](const std::string& l, const IncomingFigures& e) {
               const uint32_t values[] = {e.accepts, e.refused, e.rejected, e.precommitSaves};
               for (int i = 0; i < 4; i++) p.Sample(l + "," + Label("outcome", outcomes[i]), values[i]);
             });
  PeerFamily(p, peers, "veltrane_peer_connections", "gauge", "Open connections of a peer.",
             [&](const std::string& l, const IncomingFigures& e) { p.Sample(l, uint64_t(std::max(0, e.connected))); });
  PeerFamily(p, peers, "veltrane_peer_connects_total", "counter", "Connections a peer has opened.",
             [&](const std::string& l, const IncomingFigures& e) { p.Sample(l, e.connects); });
}

// Families over the sites; `value` picks the figures of one.
template <typename F>
void SiteFamily(Page& p, const MetricsSources& sources, const char* name, const char* type, const char* help,
                F value) {
  p.Family(name, type, help);
  SiteTable* sites = sources.sites.load();
  if (sites == nullptr) return;
  for (const std::atomic<Site*>& slot : sites->siteArray) {
    // Names need not be unique; slots are.
    if (Site* site = slot.load()) {
      value(Label("site", Escaped(site->GetHostName())) + "," + Label("slot", std::to_string(site->GetSiteIndex())),
            *site);
    }
  }
}

void SiteFigures(Page& p, const MetricsSources& sources) {
  SiteFamily(p, sources, "veltrane_site_articles_total", "counter", "Articles offered to a site, by its answers.",
             [&](const std::string& l, Site& s) {
               p.Sample(l + "," + Label("outcome", "accepted"), s.accepts.load());
               p.Sample(l + "," + Label("outcome", "refused"), s.refused.load());
               p.Sample(l + "," + Label("outcome", "rejected"), s.rejects.load());
               p.Sample(l + "," + Label("outcome", "deferred"), s.deferred.load());
             });
  SiteFamily(p, sources, "veltrane_site_passed_over_total", "counter",
             "Articles flagged for a site and passed over: more than MaxBacklog behind, or spool file gone.",
             [&](const std::string& l, Site& s) {
               p.Sample(l + "," + Label("reason", "backlog"), s.passedOver[kPassedBacklog].load());
               p.Sample(l + "," + Label("reason", "spool_gone"), s.passedOver[kPassedSpoolGone].load());
             });
  SiteFamily(p, sources, "veltrane_site_flagged_total", "counter", "Articles flagged for a site by its distribution.",
             [&](const std::string& l, Site& s) {
               _distrib* d = s.GetDistribution();
               p.Sample(l, d != nullptr ? d->flaggedFor.load() : 0);
             });
  SiteFamily(p, sources, "veltrane_site_backlog_articles", "gauge",
             "Estimate of the articles flagged for a site not answered yet: flagged minus answered and "
             "passed over, counted since the distribution was set; it includes articles in flight.",
             [&](const std::string& l, Site& s) {
               _distrib* d = s.GetDistribution();
               uint64_t flagged = d != nullptr ? d->flaggedFor.load() : 0;
               uint64_t answered = uint64_t(s.accepts.load()) + s.refused.load() + s.rejects.load() +
                                   s.passedOver[kPassedBacklog].load() + s.passedOver[kPassedSpoolGone].load();
               p.Sample(l, flagged > answered ? flagged - answered : 0);
             });
  SiteFamily(p, sources, "veltrane_site_connects_total", "counter", "Connections the site's feeders have made.",
             [&](const std::string& l, Site& s) { p.Sample(l, s.connects.load()); });
  SiteFamily(p, sources, "veltrane_feeder_connected", "gauge", "1 while a feeder holds a connection to its site.",
             [&](const std::string& l, Site& s) {
               for (const FeederFigures& f : s.GetFeederFigures()) {
                 p.Sample(l + "," + Label("feeder", std::to_string(f.index)), f.connected ? 1 : 0);
               }
             });
  SiteFamily(p, sources, "veltrane_feeder_loop_articles", "gauge",
             "Articles a feeder offered in its current feed loop, by the site's answers.",
             [&](const std::string& l, Site& s) {
               for (const FeederFigures& f : s.GetFeederFigures()) {
                 std::string fl = l + "," + Label("feeder", std::to_string(f.index)) + ",";
                 p.Sample(fl + Label("outcome", "accepted"), f.accepted);
                 p.Sample(fl + Label("outcome", "refused"), f.refused);
                 p.Sample(fl + Label("outcome", "rejected"), f.rejected);
               }
             });
}

MHD_Result Answer(void* cls, MHD_Connection* connection, const char* url, const char* method, const char*,
                  const char*, size_t*, void**) {
  bool get = strcmp(method, "GET") == 0 || strcmp(method, "HEAD") == 0;
  bool metrics = strcmp(url, "/metrics") == 0;
  const auto& sources = *static_cast<const MetricsSources*>(cls);
  std::string body = !get ? "only GET\n" : metrics ? MetricsPage(sources) : "the metrics are at /metrics\n";
  unsigned status = !get ? MHD_HTTP_METHOD_NOT_ALLOWED : metrics ? MHD_HTTP_OK : MHD_HTTP_NOT_FOUND;
  MHD_Response* response = MHD_create_response_from_buffer(body.size(), body.data(), MHD_RESPMEM_MUST_COPY);
  if (response == nullptr) return MHD_NO;
  MHD_add_response_header(response, "Content-Type",
                          metrics ? "text/plain; version=0.0.4; charset=utf-8" : "text/plain; charset=utf-8");
  MHD_Result result = MHD_queue_response(connection, status, response);
  MHD_destroy_response(response);
  return result;
}

// "a.b.c.d:port" or "[v6]:port" into `address`; false when it is neither.
bool ParseListen(const std::string& text, sockaddr_storage* address) {
  size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon + 1 == text.size()) return false;
  std::string host = text.substr(0, colon), portText = text.substr(colon + 1);
  if (portText.find_first_not_of("0123456789") != std::string::npos || portText.size() > 5) return false;
  unsigned long port = strtoul(portText.c_str(), nullptr, 10);
  if (port == 0 || port > 65535) return false;
  *address = sockaddr_storage{};
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
    auto* a6 = reinterpret_cast<sockaddr_in6*>(address);
    a6->sin6_family = AF_INET6;
    a6->sin6_port = htons(uint16_t(port));
    return inet_pton(AF_INET6, host.substr(1, host.size() - 2).c_str(), &a6->sin6_addr) == 1;
  }
  auto* a4 = reinterpret_cast<sockaddr_in*>(address);
  a4->sin_family = AF_INET;
  a4->sin_port = htons(uint16_t(port));
  return inet_pton(AF_INET, host.c_str(), &a4->sin_addr) == 1;
}

}  // namespace

std::string MetricsPage(const MetricsSources& sources) {
  Page p;
  p.text().reserve(16384);
  RelayFigures(p, *sources.base);
  DatabaseFigures(p, sources);
  PeerFigures(p, sources);
  SiteFigures(p, sources);
  return std::move(p.text());
}

MetricsServer::MetricsServer(const MetricsSources* sources) {
  const char* listen = sources->base->config.GetConfigString("MetricsListen");
  if (listen == nullptr || *listen == '\0') return;
  sockaddr_storage address;
  if (!ParseListen(listen, &address)) {
    StartupFailure(std::string("MetricsListen = ") + listen + " is not address:port, exiting...\n");
  }
  unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | (address.ss_family == AF_INET6 ? MHD_USE_IPv6 : 0);
  // The sources go to the handler as its closure, read-only.
  daemon_ = MHD_start_daemon(flags, 0, nullptr, nullptr, &Answer, const_cast<MetricsSources*>(sources),
                             MHD_OPTION_SOCK_ADDR, reinterpret_cast<sockaddr*>(&address),
                             MHD_OPTION_CONNECTION_LIMIT, 16u, MHD_OPTION_CONNECTION_TIMEOUT, 10u, MHD_OPTION_END);
  if (daemon_ == nullptr) {
    StartupFailure(std::string("MetricsListen = ") + listen + ": cannot listen there, exiting...\n");
  }
  sources->base->log.LogLinef("metrics at http://%s/metrics", listen);
}

MetricsServer::~MetricsServer() {
  if (daemon_ != nullptr) MHD_stop_daemon(daemon_);  // joins its thread
}
