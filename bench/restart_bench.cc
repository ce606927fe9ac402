// What a restart costs the start-up with a full history of the default
// 300 MiB (about 3.2 million entries, each flagged for two sites): opening
// the history, then the site queues, in the worst case: one site takes its
// queue from the oldest entry, and the slot of another site that is gone
// has its bits cleared across the whole history.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "base/relay_base.h"
#include "feeds/site.h"
#include "feeds/site_queues.h"
#include "history/history.h"

namespace {

constexpr uint32_t kDataSize = 314572800;
constexpr uint32_t kTwoSites[4] = {3u, 0, 0, 0};

std::string MakeFolder(RelayBase& base) {
  char pattern[] = "/tmp/veltrane-restart-XXXXXX";
  if (mkdtemp(pattern) == nullptr) abort();
  std::string dir = pattern;
  FILE* f = fopen((dir + "/relay.conf").c_str(), "w");
  fprintf(f, "HistoryTablePath = %s\nHistoryDataPath = %s\nLogDirectory = %s\nHistoryDataSize = %u\n", dir.c_str(),
          dir.c_str(), dir.c_str(), kDataSize);
  fclose(f);
  if (!base.config.LoadConfigFile((dir + "/relay.conf").c_str())) abort();
  return dir;
}

// Fills the history to just below its expiry mark.
void Fill(RelayBase& base) {
  History history(&base);
  history.histinit();
  char id[64];
  for (uint32_t n = 0; Read(base.stats.dwHistBytesUsed) < kDataSize / 100 * 98; n++) {
    snprintf(id, sizeof id, "%010u.restart@news.example.com", n);
    history.AddArticleToHistory(id, kTwoSites, 0, 2048, 1);
  }
}

void BM_StartWithFullHistory(benchmark::State& state) {
  RelayBase base;
  std::string dir = MakeFolder(base);
  base.log.console_init(base.config);
  Fill(base);
  for (auto _ : state) {
    FILE* f = fopen((dir + "/site-queues").c_str(), "w");
    fprintf(f, "0\ta.example\t0000000000.restart@news.example.com\n1\tgone.example\t0000000000.restart@news.example.com\n");
    fclose(f);
    auto start = std::chrono::steady_clock::now();
    History history(&base);
    history.histinit();
    Distributions distributions(&base);
    SiteTable sites(&base, &distributions, &history, nullptr);
    sites.BeginSiteStartup();
    Site* a = sites.MakeSite("a.example", 0);
    a->SetPort(119);
    a->SetFeedInfo("*");
    sites.InheritRecordedQueue(a);
    sites.siteArray[0] = a;
    sites.EndSiteStartup();
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.SetIterationTime(seconds);
  }
  std::filesystem::remove_all(dir);
}
BENCHMARK(BM_StartWithFullHistory)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace
