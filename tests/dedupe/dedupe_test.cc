// Duplicate detection: the precommit cache on the test's own clock, and the
// seen database on real mapped files.
#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "dedupe/precommit.h"
#include "dedupe/seen.h"
#include "support/relay_instance.h"
#include "support/temp_dir.h"

namespace {

// The cleaner thread may run its passes too.
std::atomic<uint32_t> fakeNow{0};
uint32_t FakeClock() { return fakeNow.load(); }
void CleanAt(PrecommitCache& cache, uint32_t now) {
  fakeNow = now;
  cache.PrecommitClean();
}
std::pair<uint32_t, uint32_t> LiveAndFree(PrecommitCache& cache) { return {cache.Counts().live, cache.Counts().free}; }

TEST(PrecommitTest, OfManyThreadsAddingOneHashExactlyOneWins) {
  PrecommitCache cache(263, 600000, FakeClock);
  constexpr uint32_t kHashes = 20000;
  std::unique_ptr<std::atomic<uint32_t>[]> wins(new std::atomic<uint32_t>[kHashes]());
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; t++) {
    threads.emplace_back([&] {
      for (uint32_t h = 0; h < kHashes; h++) wins[h] += cache.AddPrecommit(h * 2654435761u);
    });
  }
  for (auto& t : threads) t.join();
  uint32_t wrong = 0;
  for (uint32_t h = 0; h < kHashes; h++) wrong += wins[h] != 1;
  EXPECT_EQ(wrong, 0u);
  EXPECT_EQ(cache.Counts().live, kHashes);
}

// An identifier hash is turned away until its entry is more than
// MaxPrecommitAge old, right across the wrap of the tick count.
TEST(PrecommitTest, AHashIsADuplicateUntilItAgesOut) {
  const uint32_t t0 = fakeNow = 0xFFFFF000u;
  PrecommitCache cache(7, 30000, FakeClock);
  EXPECT_EQ(cache.AddPrecommit(42), 1);
  fakeNow = t0 + 10000;  // 10 s later, past the wrap: still held
  EXPECT_EQ(cache.AddPrecommit(42), 0);
  EXPECT_EQ(cache.AddPrecommit(49), 1);  // same bucket, newer
  CleanAt(cache, t0 + 30000);  // exactly MaxPrecommitAge old: kept
  EXPECT_EQ(cache.AddPrecommit(42), 0);
  CleanAt(cache, t0 + 30001);  // older: gone, the newer one kept
  EXPECT_EQ(cache.AddPrecommit(42), 1);
  EXPECT_EQ(cache.AddPrecommit(49), 0);
  EXPECT_EQ(LiveAndFree(cache), std::pair(2u, 0u));
  CleanAt(cache, t0 + 40001);
  EXPECT_EQ(LiveAndFree(cache), std::pair(1u, 1u));

}

constexpr uint32_t kNone = 0xFFFFFFFFu;

std::string Slots(std::initializer_list<uint32_t> slots) {
  std::string s;
  for (uint32_t v : slots) s += Le32(v);
  return s;
}
// The header with `position`, then records of a key (high half in the upper
// 32 bits) and a link each.
std::string Ring(uint32_t position, std::initializer_list<std::pair<uint64_t, uint32_t>> records) {
  std::string s = Le32(0) + Le32(position) + std::string(128, '\0');
  for (auto [key, next] : records) s += Le32(uint32_t(key)) + Le32(uint32_t(key >> 32)) + Le32(next);
  return s;
}
class SeenTest : public ::testing::Test {
 protected:
  SeenOpenResult Open(uint32_t count, uint32_t slots) {
    return db_.SeenOpen(dir_.path().c_str(), dir_.path().c_str(), count, slots);
  }
  int Check(uint64_t key) { return db_.CheckSeen(uint32_t(key), uint32_t(key >> 32)); }
  void Add(uint64_t key) { db_.AddSeen(uint32_t(key), uint32_t(key >> 32)); }
  std::string Idx() const { return ReadFile(dir_.File("seen.idx")); }
  std::string Dat() const { return ReadFile(dir_.File("seen.dat")); }

  TempDir dir_;
  RelayBase base_;
  SeenDb db_{&base_};
};

// A ring of 5 records and 7 slots; the keys are chosen by their slot (key
// mod 7): A, B, E, G in 3, C in 5, F in 6 (with a high half), H in 1.
TEST_F(SeenTest, FilesHoldTheExactLayoutThroughWrapAndBrokenChain) {
  const uint64_t A = 3, B = 10, C = 5, E = 17, F = (1ull << 32) | 2, G = 24, H = 8;
  ASSERT_EQ(Open(5, 7), SeenOpenResult::kOk);
  EXPECT_EQ(Idx() + Dat(), std::string(28, '\xFF') + Ring(0, {{0, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 0}}));
  for (uint64_t key : {A, B, C}) Add(key);
  for (uint64_t key : {A, B, C}) EXPECT_EQ(Check(key), 1) << key;  // A one link behind B
  EXPECT_EQ(Check((7ull << 32) | 3), 0);                           // A's low half alone is not A
  Add(E);
  Add(F);  // fills record 4: the position wraps to 0
  EXPECT_EQ(Dat(), Ring(0, {{A, kNone}, {B, 0}, {C, kNone}, {E, 1}, {F, kNone}}));
  Add(G);  // overwrites A; B's record is the next to be overwritten: it counts as free
  for (uint64_t key : {G, E, F, A, B}) EXPECT_EQ(Check(key), key != A && key != B) << key;
  Add(H);  // overwrites B: E's link to it now leads to a newer record
  EXPECT_EQ(Check(B), 0);  // G -> E, then the broken link ends the walk
  const std::string files = Slots({kNone, 1, kNone, 0, kNone, 2, 4}) +
                            Ring(2, {{G, 3}, {H, kNone}, {C, kNone}, {E, 1}, {F, kNone}});
  EXPECT_EQ(Idx() + Dat(), files);

  // The next run finds the same database and goes on at the stored position.
  EXPECT_TRUE(db_.SeenFlush());
  ASSERT_EQ(Open(5, 7), SeenOpenResult::kOk);
  EXPECT_EQ(Idx() + Dat(), files);
  for (uint64_t key : {G, E, F, H, C}) EXPECT_EQ(Check(key), 1) << key;  // C: oldest, yet newest of its slot
  Add(12);  // slot 5: overwrites C, linking to its own record
  EXPECT_EQ(Check(C), 0);  // the walk ends at that link
  EXPECT_EQ(Dat(), Ring(3, {{G, 3}, {H, kNone}, {12, 2}, {E, 1}, {F, kNone}}));
}

// Files of a ring of 4 opened as a ring of 3: the stored position 3 starts
// again at 0, and a slot or a link naming record 3 counts as empty though the
// record is still in the file. A table of another size is rebuilt from the
// ring, oldest first, linking neither the record at the position nor a record
// never written.
TEST_F(SeenTest, ReopenedWithOtherSizesTheRingStaysWithinItsRecordsAndTheTableIsRebuilt) {
  dir_.Write("seen.dat", Ring(3, {{3, kNone}, {11, kNone}, {0, 0}, {10, kNone}}));
  dir_.Write("seen.idx", Slots({kNone, kNone, kNone, 3, kNone, kNone, kNone}));
  ASSERT_EQ(Open(3, 7), SeenOpenResult::kOk);
  EXPECT_EQ(Check(10), 0);
  Add(17);  // slot 3 too
  EXPECT_EQ(Dat(), Ring(1, {{17, 3}, {11, kNone}, {0, 0}, {10, kNone}}));
  EXPECT_EQ(Check(10), 0);
  EXPECT_EQ(Check(17), 1);
  ASSERT_EQ(Open(3, 5), SeenOpenResult::kOk);
  EXPECT_EQ(Idx() + Dat(), Slots({kNone, kNone, 0, kNone, kNone}) +
                               Ring(1, {{17, kNone}, {11, kNone}, {0, 0}, {10, kNone}}));
  EXPECT_EQ(Check(0), 0);
}

// One writer adding while readers look up without a lock, on one chain that
// wraps all the time: every lookup ends, and no key never added is found.
TEST_F(SeenTest, LookupsRacingWithAddsEnd) {
  ASSERT_EQ(Open(64, 1), SeenOpenResult::kOk);
  std::atomic<bool> stop{false};
  std::atomic<uint32_t> falseHits{0}, lookups{0};
  std::vector<std::thread> readers;
  for (uint64_t r = 1; r <= 3; r++) {
    readers.emplace_back([&, r] {
      while (!stop) falseHits += Check((r << 40) + lookups++ % 64);
    });
  }
  for (uint64_t i = 0; i < 200000; i++) Add(i);
  EXPECT_TRUE(WaitUntil([&] { return lookups > 1000; }));
  stop = true;
  for (auto& t : readers) t.join();
  EXPECT_EQ(falseHits.load(), 0u);
}

// The relay creates the database at start-up, sized by its configuration
// (ServiceProcess sees the failures).
TEST(SeenStartup, RelayCreatesTheFilesSizedByItsConfiguration) {
  RelayInstance relay("SeenDataCount = 100\nSeenTableSize = 37", "");
  ASSERT_TRUE(relay.WaitReady());
  EXPECT_EQ(ReadFile(relay.dir().File("history/seen.dat")), std::string(100 * 12 + 136, '\0'));
  EXPECT_EQ(ReadFile(relay.dir().File("history/seen.idx")), std::string(37 * 4, '\xFF'));
}

}  // namespace
