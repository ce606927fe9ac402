// The precommit cache: one winner per identifier hash, ageing with unsigned
// ticks, the capped free list, and the cleaner thread in real time.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "article/article_id.h"
#include "base/config.h"
#include "dedupe/precommit.h"
#include "platform/ticks.h"
#include "support/relay_process.h"
#include "support/temp_dir.h"

namespace {

std::atomic<uint32_t> fakeNow{0};
uint32_t FakeClock() { return fakeNow.load(); }

class PrecommitTest : public ::testing::Test {
 protected:
  void TearDown() override {
    PrecommitShutdown();
    SetPrecommitClock(nullptr);
  }
  // Starts a cache on the test's own clock, set to `now`.
  void StartAt(uint32_t now, uint32_t buckets, uint32_t maxAge) {
    fakeNow = now;
    SetPrecommitClock(FakeClock);
    PrecommitStart(buckets, maxAge);
  }
  // Moves the clock and runs the cleaner's pass (the thread may run it too).
  void CleanAt(uint32_t now) {
    fakeNow = now;
    PrecommitClean();
  }
};

TEST_F(PrecommitTest, OfManyThreadsAddingOneHashExactlyOneWins) {
  PrecommitStart(263, 600000);
  const int kThreads = 8;
  const uint32_t kHashes = 20000;
  std::unique_ptr<std::atomic<uint32_t>[]> wins(new std::atomic<uint32_t>[kHashes]());
  std::atomic<int> ready{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; t++) {
    threads.emplace_back([&] {
      ready++;
      while (ready.load() < kThreads) {
      }
      for (uint32_t h = 0; h < kHashes; h++) wins[h] += uint32_t(AddPrecommit(h * 2654435761u));
    });
  }
  for (auto& t : threads) t.join();
  uint32_t wrong = 0;
  for (uint32_t h = 0; h < kHashes; h++) wrong += wins[h].load() != 1;
  EXPECT_EQ(wrong, 0u);
  EXPECT_EQ(GetPrecommitCounts().live, kHashes);
}

TEST_F(PrecommitTest, SameIdentifierHashIsADuplicateUntilItAgesOut) {
  crcinit();
  StartAt(1000, 263, 30000);
  ArticleIdentity plain, topBit;
  ASSERT_EQ(GetArticleID(&plain, "ihave <aac@x>\r\n", 15), 1);
  ASSERT_EQ(GetArticleID(&topBit, "ihave <a\xE1" "c@x>\r\n", 15), 1);
  ASSERT_EQ(plain.idHash, topBit.idHash);

  EXPECT_EQ(AddPrecommit(plain), 1);
  fakeNow = 11000;  // 10 s later, the article stored meanwhile: still held
  EXPECT_EQ(AddPrecommit(plain), 0);
  EXPECT_EQ(AddPrecommit(topBit), 0);  // another Message-ID with the same hash
  EXPECT_EQ(AddPrecommit(plain.idHash + 1), 1);

  CleanAt(31000);  // exactly MaxPrecommitAge old: kept
  EXPECT_EQ(AddPrecommit(plain), 0);
  CleanAt(31001);  // older: gone
  EXPECT_EQ(AddPrecommit(plain), 1);
  EXPECT_EQ(GetPrecommitCounts().live, 2u);  // hash + 1 (added at 11000) and the new one
}

TEST_F(PrecommitTest, AgesAreRightAcrossTheWrapOfTheTickCount) {
  StartAt(0xFFFFFF00u, 7, 1000);
  EXPECT_EQ(AddPrecommit(42), 1);
  fakeNow = 0xFFFFFFF0u;
  EXPECT_EQ(AddPrecommit(49), 1);  // same bucket, newer
  CleanAt(0xFFFFFFF0u);            // 240 ms old, its deadline already past the wrap
  EXPECT_EQ(AddPrecommit(42), 0);
  CleanAt(0x000000F0u);  // 496 and 256 ms old
  EXPECT_EQ(AddPrecommit(42), 0);
  CleanAt(0x000002E9u);  // 1001 ms after the first, 761 after the second
  EXPECT_EQ(AddPrecommit(42), 1);
  EXPECT_EQ(AddPrecommit(49), 0);
  CleanAt(0x00000400u);
  EXPECT_EQ(AddPrecommit(49), 1);
}

TEST_F(PrecommitTest, AtMostElevenEntriesStayOnTheFreeList) {
  StartAt(5000, 13, 100);
  for (uint32_t h = 0; h < 100; h++) ASSERT_EQ(AddPrecommit(h), 1);
  EXPECT_EQ(GetPrecommitCounts().live, 100u);
  CleanAt(5101);
  PrecommitCounts c = GetPrecommitCounts();
  EXPECT_EQ(c.live, 0u);
  EXPECT_EQ(c.free, 11u);
  for (uint32_t h = 0; h < 5; h++) ASSERT_EQ(AddPrecommit(h), 1);
  c = GetPrecommitCounts();
  EXPECT_EQ(c.live, 5u);
  EXPECT_EQ(c.free, 6u);
  for (uint32_t h = 5; h < 25; h++) ASSERT_EQ(AddPrecommit(h), 1);
  c = GetPrecommitCounts();
  EXPECT_EQ(c.live, 25u);
  EXPECT_EQ(c.free, 0u);
}

// Random offers and clock steps over few buckets and few hashes, against a
// map of hash to tick: every answer and the entry count must agree, so the
// bucket and age lists stay intact through every kind of unlink.
TEST_F(PrecommitTest, AgreesWithAModelOfLiveEntries) {
  const uint32_t maxAge = 50;
  StartAt(0xFFFFF000u, 3, maxAge);
  std::mt19937 rng(11);
  std::map<uint32_t, uint32_t> model;
  uint32_t now = fakeNow;
  for (int step = 0; step < 20000; step++) {
    if (rng() % 4 == 0) {
      now += rng() % 20;
      CleanAt(now);
      for (auto it = model.begin(); it != model.end();) {
        it = now - it->second > maxAge ? model.erase(it) : std::next(it);
      }
    }
    uint32_t h = rng() % 40;
    int expected = model.count(h) ? 0 : 1;
    if (expected) model[h] = now;
    ASSERT_EQ(AddPrecommit(h), expected) << "step " << step;
    ASSERT_EQ(GetPrecommitCounts().live, model.size()) << "step " << step;
  }
}

TEST_F(PrecommitTest, TheCleanerThreadAgesEntriesOutWithinASecond) {
  const uint32_t maxAge = 300;
  PrecommitStart(263, maxAge);
  uint32_t t0 = GetTickCount();
  ASSERT_EQ(AddPrecommit(7), 1);
  // Polling re-adds the hash the first time it is gone.
  ASSERT_TRUE(WaitUntil([] { return AddPrecommit(7) == 1; }, std::chrono::milliseconds(5000)));
  uint32_t age = GetTickCount() - t0;
  EXPECT_GT(age, maxAge);
  EXPECT_LE(age, maxAge + 1000 + 700);  // the pass interval plus scheduling slack
}

TEST_F(PrecommitTest, InitReadsItsTwoKeys) {
  TempDir dir;
  ASSERT_TRUE(LoadConfigFile(dir.Write("relay.conf", "PrecommitHashSize = 0\nMaxPrecommitAge = 5000\n").c_str()));
  fakeNow = 100;
  SetPrecommitClock(FakeClock);
  ASSERT_EQ(PrecommitInit(), 1);
  EXPECT_EQ(AddPrecommit(263), 1);  // 0 buckets count as the default
  EXPECT_EQ(AddPrecommit(0), 1);
  CleanAt(5100);
  EXPECT_EQ(AddPrecommit(263), 0);
  CleanAt(5101);
  EXPECT_EQ(AddPrecommit(263), 1);
  EXPECT_EQ(AddPrecommit(0), 1);
}

}  // namespace
