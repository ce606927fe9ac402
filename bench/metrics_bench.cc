// The cost of one metrics scrape on the relay's side: the whole page built
// for 50 listed peers and 20 sites with distributions (no feeders, no HTTP).
#include <benchmark/benchmark.h>

#include <string>

#include "dedupe/precommit.h"
#include "feeds/site.h"
#include "incoming/incoming_table.h"
#include "service/metrics.h"

namespace {

void SetUpRelay(PeerTable* peers, SiteTable* sites) {
  peers->SetHostResolver([](const char*, std::vector<NetAddress>* addresses) {
    addresses->emplace_back();
    return ParseNetAddress("127.0.0.1", &addresses->back());
  });
  for (int i = 0; i < 50; i++) peers->AddIncoming(("peer" + std::to_string(i) + ".example.net").c_str());
  for (uint32_t i = 0; i < 20; i++) {
    Site* site = sites->MakeSite(("site" + std::to_string(i) + ".example.org").c_str(), i);
    site->SetPort(119);
    site->SetFeedInfo("comp.*,news.*,!news.admin.*");
    sites->siteArray[i] = site;
  }
}

void BM_MetricsPage(benchmark::State& state) {
  RelayBase base;
  PeerTable peers(&base.config);
  Distributions distributions(&base);
  History history(&base);  // never opened: the page reads its figures only
  ArticleSpool spool(&base);
  SiteTable sites(&base, &distributions, &history, &spool);
  SetUpRelay(&peers, &sites);
  PrecommitCache precommit(263, 30000);
  MetricsSources sources;
  sources.base = &base;
  sources.history = &history;
  sources.spool = &spool;
  sources.peers = &peers;
  sources.precommit = &precommit;
  sources.sites = &sites;
  size_t bytes = 0;
  for (auto _ : state) {
    std::string page = MetricsPage(sources);
    bytes = page.size();
    benchmark::DoNotOptimize(page);
  }
  state.counters["page_bytes"] = double(bytes);
}
BENCHMARK(BM_MetricsPage);

}  // namespace
