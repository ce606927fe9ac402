// The precommit cache: one winner per identifier hash, ageing on unsigned
// ticks (the test's own clock), the capped free list, and the cleaner thread
// in real time.
#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

#include "base/config.h"
#include "dedupe/precommit.h"
#include "platform/ticks.h"
#include "support/relay_process.h"
#include "support/temp_dir.h"

namespace {

// The test's own clock; the cleaner thread may run its passes too.
std::atomic<uint32_t> fakeNow{0};
uint32_t FakeClock() { return fakeNow.load(); }
void CleanAt(uint32_t now) {
  fakeNow = now;
  PrecommitClean();
}
std::pair<uint32_t, uint32_t> LiveAndFree() { return {GetPrecommitCounts().live, GetPrecommitCounts().free}; }

class PrecommitTest : public ::testing::Test {
 protected:
  void SetUp() override { SetPrecommitClock(FakeClock); }
  void TearDown() override {
    PrecommitShutdown();
    SetPrecommitClock(nullptr);
  }
};

TEST_F(PrecommitTest, OfManyThreadsAddingOneHashExactlyOneWins) {
  PrecommitStart(263, 600000);
  constexpr uint32_t kHashes = 20000;
  std::unique_ptr<std::atomic<uint32_t>[]> wins(new std::atomic<uint32_t>[kHashes]());
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; t++) {
    threads.emplace_back([&] {
      for (uint32_t h = 0; h < kHashes; h++) wins[h] += AddPrecommit(h * 2654435761u);
    });
  }
  for (auto& t : threads) t.join();
  uint32_t wrong = 0;
  for (uint32_t h = 0; h < kHashes; h++) wrong += wins[h] != 1;
  EXPECT_EQ(wrong, 0u);
  EXPECT_EQ(GetPrecommitCounts().live, kHashes);
}

// An identifier hash is turned away until its entry is more than
// MaxPrecommitAge old, right across the wrap of the tick count.
TEST_F(PrecommitTest, AHashIsADuplicateUntilItAgesOut) {
  const uint32_t t0 = fakeNow = 0xFFFFF000u;
  PrecommitStart(7, 30000);
  EXPECT_EQ(AddPrecommit(42), 1);
  fakeNow = t0 + 10000;  // 10 s later, past the wrap: still held
  EXPECT_EQ(AddPrecommit(42), 0);
  EXPECT_EQ(AddPrecommit(49), 1);  // same bucket, newer
  CleanAt(t0 + 30000);  // exactly MaxPrecommitAge old: kept
  EXPECT_EQ(AddPrecommit(42), 0);
  CleanAt(t0 + 30001);  // older: gone, the newer one kept
  EXPECT_EQ(AddPrecommit(42), 1);
  EXPECT_EQ(AddPrecommit(49), 0);
  EXPECT_EQ(LiveAndFree(), std::pair(2u, 0u));
  CleanAt(t0 + 40001);
  EXPECT_EQ(LiveAndFree(), std::pair(1u, 1u));
}

TEST_F(PrecommitTest, TheCleanerThreadAgesEntriesOutWithinASecond) {
  SetPrecommitClock(nullptr);  // real time
  PrecommitStart(263, 300);
  uint32_t t0 = GetTickCount();
  ASSERT_EQ(AddPrecommit(7), 1);
  // Polling adds the hash again the first time it is gone.
  ASSERT_TRUE(WaitUntil([] { return AddPrecommit(7) == 1; }, std::chrono::milliseconds(5000)));
  uint32_t age = GetTickCount() - t0;
  EXPECT_GT(age, 300u);
  EXPECT_LE(age, 300u + 1000 + 700);  // the pass interval plus scheduling slack
}

// Init reads its two keys (0 buckets count as 263) and starts afresh; after
// a burst ages out, at most 11 entries stay on the free list.
TEST_F(PrecommitTest, InitReadsItsTwoKeysAndFreeListHoldsEleven) {
  fakeNow = 100;
  PrecommitStart(7, 10);
  ASSERT_EQ(AddPrecommit(263), 1);
  TempDir dir;
  ASSERT_TRUE(LoadConfigFile(dir.Write("relay.conf", "PrecommitHashSize = 0\nMaxPrecommitAge = 5000\n").c_str()));
  ASSERT_EQ(PrecommitInit(), 1);
  EXPECT_EQ(LiveAndFree(), std::pair(0u, 0u));
  for (uint32_t h = 0; h < 100; h++) ASSERT_EQ(AddPrecommit(h * 263), 1);
  CleanAt(5100);
  EXPECT_EQ(AddPrecommit(263), 0);
  CleanAt(5101);
  EXPECT_EQ(LiveAndFree(), std::pair(0u, 11u));
  for (uint32_t h = 0; h < 5; h++) ASSERT_EQ(AddPrecommit(h), 1);
  EXPECT_EQ(LiveAndFree(), std::pair(5u, 6u));
  for (uint32_t h = 5; h < 25; h++) ASSERT_EQ(AddPrecommit(h), 1);
  EXPECT_EQ(LiveAndFree(), std::pair(25u, 0u));
}

}  // namespace
