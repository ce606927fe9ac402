// History database figures: appends, lookups on a history of a million
// entries, cursor steps over entries flagged for the site, and an expiry of
// the default 300 MiB data file. Each benchmark opens its own database in a
// fresh folder under /tmp, with the default sizes.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "base/relay_base.h"
#include "history/history.h"
#include "history/history_cursor.h"

namespace {

constexpr uint32_t kDefaultDataSize = 314572800;
constexpr uint32_t kAllSites[4] = {~0u, ~0u, ~0u, ~0u};

class BenchHistory {
 public:
  BenchHistory() {
    char pattern[] = "/tmp/veltrane-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) abort();
    dir_ = pattern;
    std::string conf = dir_ + "/relay.conf";
    FILE* f = fopen(conf.c_str(), "w");
    fprintf(f, "HistoryTablePath = %s\nHistoryDataPath = %s\nLogDirectory = %s\n", dir_.c_str(),
            dir_.c_str(), dir_.c_str());
    fclose(f);
    if (!base.config.LoadConfigFile(conf.c_str())) abort();
    history.histinit();
  }
  ~BenchHistory() {
    history.histclose();
    std::filesystem::remove_all(dir_);
  }

  RelayBase base;
  History history{&base};

 private:
  std::string dir_;
};

// Identifiers "<8 digits>.<kind>@news.example.com", written in place so
// that making one costs next to nothing beside the operation measured.
class IdMaker {
 public:
  explicit IdMaker(const char* kind) { snprintf(text_, sizeof text_, "00000000.%s@news.example.com", kind); }
  const char* operator()(uint32_t n) {
    for (int i = 7; i >= 0; i--, n /= 10) text_[i] = char('0' + n % 10);
    return text_;
  }

 private:
  char text_[64];
};

void Append(History& history, const char* id, uint32_t i, const uint32_t flags[4] = kAllSites) {
  if (history.AddArticleToHistory(id, flags, i, 1000 + i % 5000, i / 1000) != 1) abort();
}

// Appends of 1.5 million entries (about 100 MB: no expiry on the way).
void BM_Append(benchmark::State& state) {
  IdMaker id("bench");
  BenchHistory bench;
  History& history = bench.history;
  uint32_t i = 0;
  for (auto _ : state) {
    Append(history, id(i), i);
    i++;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Append)->Iterations(1500000)->Unit(benchmark::kMillisecond);

// Lookups on a history of one million entries, hits and misses alternating.
void BM_FindArticle(benchmark::State& state) {
  const uint32_t n = 1000000;
  IdMaker present("bench"), absent("absent");
  BenchHistory bench;
  History& history = bench.history;
  for (uint32_t i = 0; i < n; i++) Append(history, present(i), i);
  // A fixed stride through the identifiers, so that consecutive lookups
  // land far apart in both files.
  size_t k = 0;
  uint64_t lookups = 0, hits = 0;
  for (auto _ : state) {
    k = (k + 7919) % n;
    _histentry* e = history.FindArticle((lookups++ & 1) ? absent(uint32_t(k)) : present(uint32_t(k)));
    if (e != nullptr) {
      hits++;
      History::DestroyEntry(e);
    }
  }
  state.SetItemsProcessed(int64_t(lookups));
  state.counters["hit_ratio"] = double(hits) / double(lookups);
}
BENCHMARK(BM_FindArticle)->Unit(benchmark::kNanosecond);

// Cursor steps over 200000 entries of which every `flaggedEvery`-th is
// flagged for every site; when a site's cursor reaches the end, the next
// site starts again at the first entry. Counts the entries looked at.
void RunCursorSteps(benchmark::State& state, uint32_t flaggedEvery) {
  const uint32_t n = 200000;
  IdMaker id("bench");
  BenchHistory bench;
  History& history = bench.history;
  const uint32_t none[4] = {0, 0, 0, 0};
  for (uint32_t i = 0; i < n; i++) Append(history, id(i), i, i % flaggedEvery == flaggedEvery - 1 ? kAllSites : none);
  _histentry* first = history.FindArticle(id(0));
  const uint32_t start = first->position;
  History::DestroyEntry(first);
  uint32_t bit = 0;
  _histentry cursor{};
  auto startSite = [&] {
    cursor = _histentry{};
    cursor.distribution.wordIndex = bit / 32;
    cursor.distribution.bitMask = 1u << (bit % 32);
    cursor.feedType = 'f';
    cursor.position = start;
    cursor.expireSerial = history.HistExpireSerial();
    bit = (bit + 1) % 128;
  };
  startSite();
  for (auto _ : state) {
    if (HistGetNextEntry(history, &cursor, 200000) == 0) startSite();
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * flaggedEvery);
}

// One cursor step per iteration over entries (16 MB, all within the largest
// MaxBacklog) flagged for every site.
void BM_CursorStep(benchmark::State& state) { RunCursorSteps(state, 1); }
BENCHMARK(BM_CursorStep)->Unit(benchmark::kNanosecond);

// A cursor step that passes over 99 entries not flagged for its site for
// each one that is: the rate at which a narrow feed skips entries. 200000
// entries give 128 sites 2000 steps each.
void BM_CursorSkip(benchmark::State& state) { RunCursorSteps(state, 100); }
BENCHMARK(BM_CursorSkip)->Iterations(200000)->Unit(benchmark::kNanosecond);

// The append that runs an expiry of the full default data file: the move
// of four fifths of 300 MiB and the adjustment of the 2097167-slot table.
void BM_Expiry(benchmark::State& state) {
  BenchHistory bench;
  History& history = bench.history;
  const double mark = kDefaultDataSize - kDefaultDataSize / 100.0;
  uint32_t i = 0;
  IdMaker id("bench");
  for (auto _ : state) {
    // Fill up to the mark, untimed.
    uint32_t serial = history.HistExpireSerial();
    while (double(Read(bench.base.stats.dwHistBytesUsed)) <= mark) Append(history, id(i), i), i++;
    // The newest entry so far must be found moved down by the cut after.
    _histentry* last = history.FindArticle(id(i - 1));
    uint32_t before = last->position;
    History::DestroyEntry(last);
    const char* trigger = id(i);
    auto t0 = std::chrono::steady_clock::now();
    Append(history, trigger, i++);
    auto t1 = std::chrono::steady_clock::now();
    last = history.FindArticle(id(i - 2));
    if (history.HistExpireSerial() != serial + 1 || last == nullptr || last->position != before - 62914560) {
      state.SkipWithError("the expiry did not cut 62914560 bytes");
    }
    if (last != nullptr) History::DestroyEntry(last);
    state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
  }
}
BENCHMARK(BM_Expiry)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);

}  // namespace
