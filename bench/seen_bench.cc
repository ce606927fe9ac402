// CheckSeen on a full ring of the default size (50000 records, 55997 slots),
// for keys that are there and keys that are not.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "dedupe/seen.h"

namespace {

constexpr uint32_t kRecords = 50000;

// A database in a fresh temporary folder, filled with one and a half rings
// of random 63-bit keys so that the ring has wrapped; the last kRecords - 1
// keys are the ones it holds.
class FullRing {
 public:
  FullRing() {
    char pattern[] = "/tmp/veltrane-seen-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) abort();
    dir_ = pattern;
    if (db_.SeenOpen(dir_.c_str(), dir_.c_str(), 0, 0) != SeenOpenResult::kOk) abort();
    std::mt19937_64 rng(1);
    std::vector<uint64_t> added;
    for (uint32_t i = 0; i < kRecords * 3 / 2; i++) {
      uint64_t key = rng() >> 1;
      db_.AddSeen(uint32_t(key), uint32_t(key >> 32));
      added.push_back(key);
    }
    hits_.assign(added.end() - (kRecords - 1), added.end());
    std::shuffle(hits_.begin(), hits_.end(), rng);
    for (uint32_t i = 0; i < kRecords; i++) misses_.push_back(rng() >> 1);
  }
  ~FullRing() {
    db_.SeenClose();
    std::filesystem::remove_all(dir_);
  }
  const std::vector<uint64_t>& hits() const { return hits_; }
  const std::vector<uint64_t>& misses() const { return misses_; }
  const SeenDb& db() const { return db_; }

 private:
  RelayBase base_;
  SeenDb db_{&base_};
  std::string dir_;
  std::vector<uint64_t> hits_, misses_;
};

void Lookups(benchmark::State& state, const SeenDb& db, const std::vector<uint64_t>& keys, int expected) {
  size_t i = 0, n = keys.size();
  int64_t wrong = 0;
  for (auto _ : state) {
    uint64_t key = keys[i];
    if (++i == n) i = 0;
    int found = db.CheckSeen(uint32_t(key), uint32_t(key >> 32));
    wrong += found != expected;
  }
  state.SetItemsProcessed(state.iterations());
  if (wrong != 0) state.SkipWithError("a lookup gave the wrong answer");
}

void BM_CheckSeenHit(benchmark::State& state) {
  FullRing ring;
  Lookups(state, ring.db(), ring.hits(), 1);
}
BENCHMARK(BM_CheckSeenHit);

void BM_CheckSeenMiss(benchmark::State& state) {
  FullRing ring;
  Lookups(state, ring.db(), ring.misses(), 0);
}
BENCHMARK(BM_CheckSeenMiss);

}  // namespace
