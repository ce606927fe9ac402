// GetArticleID on command lines carrying typical 40-byte Message-IDs.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

#include "article/article_id.h"

namespace {

// 1024 distinct "check <...>" lines whose Message-IDs (brackets included)
// are 40 bytes long, like those of common news software.
std::vector<std::string> CommandLines() {
  std::vector<std::string> lines;
  for (unsigned i = 0; i < 1024; i++) {
    char id[64];
    snprintf(id, sizeof id, "<%08x.%05u.%04x@news%02u.example.net>", i * 2654435761u, i * 7 % 100000,
             i * 31 % 0x10000, i % 100);
    std::string mid(id);
    mid.insert(mid.size() - 1, std::string(40 - mid.size(), 'x'));  // pad the host to 40 bytes
    lines.push_back("check " + mid + "\r\n");
  }
  return lines;
}

void BM_GetArticleID(benchmark::State& state) {
  std::vector<std::string> lines = CommandLines();
  ArticleIdentity id;
  size_t i = 0;
  for (auto _ : state) {
    const std::string& line = lines[i++ & 1023];
    benchmark::DoNotOptimize(GetArticleID(&id, line.data(), line.size()));
    benchmark::DoNotOptimize(id);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_GetArticleID);

}  // namespace
