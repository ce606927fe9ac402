// AddPrecommit while the cache holds 30 s of offers, with the cleaner at
// work: the cost of one offer as the buckets fill up.
//
// Time is virtual: the precommit clock moves 1 ms for every (live / 30000)
// offers, so a cache preloaded with `live` offers holds exactly the last 30 s
// of a stream of live / 30 offers per second, and the cleaner's pass, run
// once per virtual second inside the timed loop, removes as many entries as
// the offers add. At 1.5 million live entries that is 50,000 offers/s. The
// cleaner thread runs as well and cleans on the same clock.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>

#include "dedupe/precommit.h"

namespace {

constexpr uint32_t kMaxAge = 30000;

uint32_t virtualNow = 0;
uint32_t VirtualClock() { return __atomic_load_n(&virtualNow, __ATOMIC_RELAXED); }

// Random 31-bit identifier hashes.
struct HashStream {
  uint64_t state = 0x9E3779B97F4A7C15ull;
  uint32_t Next() {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return uint32_t(state) & 0x7FFFFFFFu;
  }
};

// The offer stream: one AddPrecommit, the clock, and the cleaner's pass at
// each virtual second.
class OfferStream {
 public:
  OfferStream(PrecommitCache* cache, uint32_t live) : cache_(cache), live_(live) {}
  void Offer(uint32_t hash) {
    cache_->AddPrecommit(hash);
    uint32_t now = uint32_t(++offers_ * kMaxAge / live_);
    if (now != VirtualClock()) {
      __atomic_store_n(&virtualNow, now, __ATOMIC_RELAXED);
      if (now % 1000 == 0) cache_->PrecommitClean();
    }
  }

 private:
  PrecommitCache* cache_;
  uint64_t live_;
  uint64_t offers_ = 0;
};

std::unique_ptr<PrecommitCache> Start(uint32_t buckets) {
  virtualNow = 0;
  return std::make_unique<PrecommitCache>(buckets, kMaxAge, VirtualClock);
}

// Preloaded in arrival order: each bucket's entries lie scattered over the
// whole heap, as in a running relay.
void BM_AddPrecommit(benchmark::State& state) {
  uint32_t buckets = uint32_t(state.range(0)), live = uint32_t(state.range(1));
  auto cache = Start(buckets);
  HashStream hashes;
  OfferStream stream(cache.get(), live);
  for (uint32_t i = 0; i < live; i++) stream.Offer(hashes.Next());
  for (auto _ : state) stream.Offer(hashes.Next());
  state.counters["live"] = double(cache->Counts().live);
  state.counters["per_bucket"] = double(cache->Counts().live) / buckets;
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_AddPrecommit)
    ->ArgNames({"buckets", "live"})
    ->Args({1000003, 1500000})
    ->Args({263, 25000})
    ->Args({263, 50000})
    ->Args({263, 100000})
    ->Args({263, 200000})
    ->Unit(benchmark::kMicrosecond);

// The full 1.5 million entries in 263 buckets cannot be preloaded in
// arrival order in reasonable time (each preload offer walks its whole
// bucket through memory). Preloaded bucket by bucket instead, each bucket's
// entries lie together in memory and walk at cache speed: a lower bound for
// the running relay. The preload keeps one tick, so nothing expires during
// the measurement.
void BM_AddPrecommitBestCaseLayout(benchmark::State& state) {
  uint32_t buckets = uint32_t(state.range(0)), live = uint32_t(state.range(1));
  auto cache = Start(buckets);
  for (uint32_t b = 0; b < buckets; b++) {
    for (uint32_t k = 0; k < live / buckets; k++) cache->AddPrecommit(b + k * buckets);
  }
  HashStream hashes;
  OfferStream stream(cache.get(), live);
  for (auto _ : state) stream.Offer(hashes.Next() | 0x40000000u);  // above every preloaded hash
  state.counters["live"] = double(cache->Counts().live);
  state.counters["per_bucket"] = double(cache->Counts().live) / buckets;
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_AddPrecommitBestCaseLayout)
    ->ArgNames({"buckets", "live"})
    ->Args({263, 1500000})
    ->Unit(benchmark::kMicrosecond);

}  // namespace
