// Appends, cursor walks of several sites and lookups all at once, with
// expiries in the middle: the relay's use of the history in miniature.
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "history_fixture.h"
#include "support/relay_process.h"

namespace {

using namespace std::chrono_literals;

constexpr uint32_t kEntries = 18000;
constexpr int kAppenders = 4;
constexpr int kFeedersPerSite = 2;
constexpr int kBatch = 10;
// Entries appended at most between two steps of one feeder: 1000 entries
// are about 73 kB, well below one cut (200 kB), so no cursor is ever two
// expiries behind or left with a position that the cut removed.
constexpr int64_t kMaxLag = 1000;
// Bits 0 to 2 share one flag word, so their sites clear bits side by side.
constexpr uint32_t kSiteBits[] = {0, 1, 2, 33, 66, 127};
constexpr size_t kSites = std::size(kSiteBits);
constexpr int kFeeders = int(kSites) * kFeedersPerSite;

std::string IdOf(uint32_t i) {
  char id[40];
  snprintf(id, sizeof id, "c%06" PRIu32 "@concurrency.test", i);
  return id;
}

// About half of the entries are flagged for each site, independently.
bool Flagged(uint32_t i, uint32_t bit) {
  uint32_t h = i * 2654435761u ^ (bit + 1) * 40503u;
  h ^= h >> 15;
  h *= 0x2C1B3C6Du;
  h ^= h >> 12;
  return (h >> 7) & 1;
}

struct Site {
  std::mutex lock;                      // the site's lock over its cursors
  std::vector<uint8_t> taken = std::vector<uint8_t>(kEntries, 0);
  std::vector<std::string> faults;      // guarded by lock
};

struct FeederState {
  std::atomic<int64_t> appendedBeforeStep{-1};  // appends made before its last step began
  std::atomic<bool> idleAfterAppends{false};     // found nothing after the last append
};

class HistoryConcurrencyTest : public HistoryTest {
 protected:
  // One feeder: batches of cursor steps under the site's lock, as a site
  // hands its feeders their next articles; waits for appends when idle.
  void Feed(Site* site, uint32_t bit, FeederState* me) {
    _histentry slots[kBatch];
    for (auto& s : slots) {
      s = Cursor(bit);
    }
    bool first = true;
    while (!stop_.load()) {
      bool appendsWereDone = appendsDone_.load();
      int64_t appended = next_.load();
      int count = 0;
      {
        std::lock_guard<std::mutex> lock(site->lock);
        for (; count < kBatch; count++) {
          if (HistGetNextEntry(&slots[count], 200000) == 0) break;
          Record(site, bit, slots[count]);
          if (count + 1 < kBatch) {
            slots[count + 1].position = slots[count].position;
            slots[count + 1].expireSerial = slots[count].expireSerial;
          }
        }
        if (count > 1) {
          slots[0].position = slots[count - 1].position;
          slots[0].expireSerial = slots[count - 1].expireSerial;
        }
      }
      me->appendedBeforeStep.store(appended);
      if (first) feedersStarted_.fetch_add(1);
      first = false;
      if (count == 0) {
        if (appendsWereDone) me->idleAfterAppends.store(true);
        WaitNextHistoryEntry(50);
      }
    }
  }

  void Record(Site* site, uint32_t bit, const _histentry& e) {
    uint32_t i = e.header.spoolOffset;
    if (i >= kEntries || IdOf(i) != e.identifier || !Flagged(i, bit)) {
      site->faults.push_back("bad hand-out " + std::string(e.identifier) + " to bit " + std::to_string(bit));
      return;
    }
    if (++site->taken[i] > 1) site->faults.push_back("twice: " + IdOf(i) + " to bit " + std::to_string(bit));
  }

  void Append(const FeederState* feeders) {
    for (;;) {
      // Feeders that keep up never lose entries to an expiry; hold the
      // appenders back so that a feeder starved of processor time (two
      // cores, a sanitizer) keeps up too.
      auto deadline = std::chrono::steady_clock::now() + 60s;
      for (;;) {
        int64_t slowest = INT64_MAX;
        for (int f = 0; f < kFeeders; f++) slowest = std::min(slowest, feeders[f].appendedBeforeStep.load());
        if (int64_t(next_.load()) - slowest <= kMaxLag) break;
        if (std::chrono::steady_clock::now() > deadline) {
          throttleTimedOut_ = true;
          return;
        }
        std::this_thread::sleep_for(1ms);
      }
      std::lock_guard<std::mutex> lock(appendLock_);  // the spool's lock in the relay
      uint32_t i = next_.load();
      if (i >= kEntries) return;
      uint32_t flags[4] = {0, 0, 0, 0};
      for (uint32_t bit : kSiteBits) {
        if (Flagged(i, bit)) flags[bit / 32] |= 1u << (bit % 32);
      }
      if (AddArticleToHistory(IdOf(i).c_str(), flags, i, i % 7000 + 1, 1) != 1) appendFailed_ = true;
      next_.store(i + 1);
    }
  }

  void LookUp(uint32_t seed) {
    std::mt19937 rng(seed);
    while (!stop_.load()) {
      uint32_t i = rng() % (next_.load() + 100);
      _histentry* e = FindArticle(IdOf(i).c_str());
      if (e != nullptr) {
        hits_.fetch_add(1);
        if (e->header.spoolOffset != i || e->header.magic != 0xFFFFFFFFu ||
            e->header.size != 48 + IdOf(i).size() + 1) {
          lookupFault_ = true;
        }
        DestroyEntry(e);
      }
      if (FindArticle(("never" + std::to_string(i) + "@x").c_str()) != nullptr) lookupFault_ = true;
    }
  }

  std::atomic<bool> stop_{false}, appendsDone_{false};
  std::atomic<bool> appendFailed_{false}, lookupFault_{false}, throttleTimedOut_{false};
  std::atomic<int> feedersStarted_{0};
  std::atomic<uint32_t> next_{0};
  std::atomic<uint64_t> hits_{0};
  std::mutex appendLock_;
};

TEST_F(HistoryConcurrencyTest, SitesGetEachFlaggedEntryOnceThroughAppendsLookupsAndExpiry) {
  // About 73 bytes an entry: 18000 entries fill the 99% mark of a 1 MB
  // data file and run into a second expiry.
  Open({1000000, 4096, true});
  const uint32_t serial = HistExpireSerial();
  std::unique_ptr<Site[]> sites(new Site[kSites]);
  std::unique_ptr<FeederState[]> feeders(new FeederState[kFeeders]);
  std::vector<std::thread> threads;
  for (int f = 0; f < kFeeders; f++) {
    size_t s = size_t(f / kFeedersPerSite);
    threads.emplace_back([this, &sites, &feeders, s, f] { Feed(&sites[s], kSiteBits[s], &feeders[f]); });
  }
  // Every cursor has taken its place at the (empty) end before appends begin.
  ASSERT_TRUE(WaitUntil([&] { return feedersStarted_.load() == kFeeders; }, 30s));
  for (uint32_t l = 0; l < 2; l++) threads.emplace_back([this, l] { LookUp(l + 1); });
  std::vector<std::thread> appenders;
  for (int a = 0; a < kAppenders; a++) appenders.emplace_back([this, &feeders] { Append(feeders.get()); });
  for (auto& t : appenders) t.join();
  appendsDone_.store(true);
  bool drained = WaitUntil(
      [&] {
        for (int f = 0; f < kFeeders; f++) {
          if (!feeders[f].idleAfterAppends.load()) return false;
        }
        return true;
      },
      120s);
  stop_.store(true);
  for (auto& t : threads) t.join();

  ASSERT_FALSE(throttleTimedOut_.load());
  ASSERT_TRUE(drained);
  EXPECT_FALSE(appendFailed_.load());
  EXPECT_FALSE(lookupFault_.load());
  EXPECT_GT(hits_.load(), 0u);
  EXPECT_GE(HistExpireSerial() - serial, 1u);
  EXPECT_EQ(next_.load(), kEntries);

  // Every entry flagged for a site went to it exactly once, unless the
  // expiry cut it away before the site's turn came.
  std::vector<bool> survives(kEntries);
  for (uint32_t i = 0; i < kEntries; i++) survives[i] = Where(IdOf(i)) != 0;
  for (size_t s = 0; s < kSites; s++) {
    for (const std::string& f : sites[s].faults) ADD_FAILURE() << f;
    uint32_t lost = 0, handed = 0;
    for (uint32_t i = 0; i < kEntries; i++) {
      if (!Flagged(i, kSiteBits[s])) continue;
      if (sites[s].taken[i] != 0) handed++;
      else if (survives[i]) lost++;
    }
    EXPECT_EQ(lost, 0u) << "bit " << kSiteBits[s];
    EXPECT_GT(handed, kEntries / 3) << "bit " << kSiteBits[s];
  }
}

}  // namespace
