// The seen database on real mapped files: the byte layout, chains through the
// ring's wrap, reopening (smaller, or with another table), open failures, a
// writer beside lock-free readers, and the relay creating it at start-up.
#include <gtest/gtest.h>

#include <thread>
#include <unistd.h>

#include "base/config.h"
#include "base/log.h"
#include "base/stats.h"
#include "dedupe/seen.h"
#include "support/relay_instance.h"
#include "support/relay_process.h"
#include "support/temp_dir.h"

namespace {

constexpr uint32_t kNone = 0xFFFFFFFFu;

std::string Le32(uint32_t v) { return std::string(reinterpret_cast<const char*>(&v), 4); }
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
int Check(uint64_t key) { return CheckSeen(uint32_t(key), uint32_t(key >> 32)); }
void Add(uint64_t key) { AddSeen(uint32_t(key), uint32_t(key >> 32)); }

class SeenTest : public ::testing::Test {
 protected:
  void TearDown() override { SeenClose(); }
  SeenOpenResult Open(uint32_t count, uint32_t slots) {
    return SeenOpen(dir_.path().c_str(), dir_.path().c_str(), count, slots);
  }
  std::string Idx() const { return ReadFile(dir_.File("seen.idx")); }
  std::string Dat() const { return ReadFile(dir_.File("seen.dat")); }

  TempDir dir_;
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
  uint32_t lookups = Read(stats.seenSearchCount), depth = Read(stats.seenDepth), deepest = Read(stats.seenMaxDepth);
  EXPECT_EQ(Check(B), 0);  // G -> E, then the broken link ends the walk
  EXPECT_EQ(Read(stats.seenSearchCount) - lookups, 1u);
  EXPECT_EQ(Read(stats.seenDepth) - depth, 1u);
  EXPECT_EQ(Read(stats.seenMaxDepth), std::max(deepest, 1u));
  const std::string files = Slots({kNone, 1, kNone, 0, kNone, 2, 4}) +
                            Ring(2, {{G, 3}, {H, kNone}, {C, kNone}, {E, 1}, {F, kNone}});
  EXPECT_EQ(Idx() + Dat(), files);

  // The next run finds the same database and goes on at the stored position.
  EXPECT_TRUE(SeenFlush());
  ASSERT_EQ(Open(5, 7), SeenOpenResult::kOk);
  EXPECT_EQ(Idx() + Dat(), files);
  for (uint64_t key : {G, E, F, H, C}) EXPECT_EQ(Check(key), 1) << key;  // C: oldest, yet newest of its slot
  Add(12);  // slot 5: overwrites C, linking to its own record
  EXPECT_EQ(Check(C), 0);  // the walk ends at that link
  EXPECT_EQ(Check(E), 0);  // E's record is next to be overwritten: G's link to it ends the walk
  Add(15);
  Add(13);  // slot 6: overwrites F, linking to its own record, and the position wraps
  EXPECT_EQ(Dat(), Ring(0, {{G, 3}, {H, kNone}, {12, 2}, {15, 1}, {13, 4}}));
  EXPECT_EQ(Check(F), 0);
  for (uint64_t key : {12, 13, 15}) EXPECT_EQ(Check(key), 1) << key;
  EXPECT_TRUE(GetSeenFigures().records == 5 && GetSeenFigures().position == 0);
  SeenClose();
  EXPECT_TRUE(GetSeenFigures().records == 0 && GetSeenFigures().position == 0);
}

// Files of a ring of 4 opened as a ring of 3: the stored position 3 starts
// again at 0, and a slot or a link naming record 3 counts as empty though the
// record is still in the file. A rebuild links neither the record at the
// position nor a record never written.
TEST_F(SeenTest, ARingReopenedSmallerStaysWithinItsRecords) {
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

// A table of another size is rebuilt from the ring, oldest first: the keys of
// the last N - 1 adds are found again along their chains, older ones are not.
TEST_F(SeenTest, TableOfAnotherSizeIsRebuiltFromTheRing) {
  ASSERT_TRUE(LoadConfigFile(dir_.Write("relay.conf", "LogDirectory = " + dir_.path() + "\n").c_str()));
  console_init();
  ASSERT_EQ(Open(50, 13), SeenOpenResult::kOk);
  for (uint64_t i = 1; i <= 80; i++) Add(i * 0x123456789ull);
  ASSERT_EQ(Open(50, 5), SeenOpenResult::kOk);
  EXPECT_EQ(Idx().size(), 20u);
  EXPECT_EQ(Dat().substr(8, 4), Le32(0));  // no stale mark left
  for (uint64_t i = 1; i <= 80; i++) EXPECT_EQ(Check(i * 0x123456789ull), i > 31) << i;
  LogLine(nullptr);
  const std::string log = ReadFile(dir_.File("veltrane.log"));
  EXPECT_NE(log.find("seen: seen.idx holds 52 bytes where SeenTableSize 5 needs 20, rebuilding it"), log.npos);
  EXPECT_NE(log.find("seen: rebuilt the table of 5 slots from 49 keys of the ring"), log.npos);
}

TEST_F(SeenTest, OpenFailuresNameTheFile) {
  const std::string missing = dir_.File("missing"), here = dir_.path();
  EXPECT_EQ(SeenOpen(missing.c_str(), here.c_str(), 5, 7), SeenOpenResult::kTableOpenFailed);
  EXPECT_EQ(SeenOpen(nullptr, here.c_str(), 5, 7), SeenOpenResult::kTableOpenFailed);
  EXPECT_EQ(SeenOpen(here.c_str(), missing.c_str(), 5, 7), SeenOpenResult::kDataOpenFailed);
  EXPECT_EQ(SeenOpen(here.c_str(), nullptr, 5, 7), SeenOpenResult::kDataOpenFailed);
  // Devices that cannot be extended or mapped, beside a database that exists
  // (here of the default sizes, which 0 asks for).
  ASSERT_EQ(Open(0, 0), SeenOpenResult::kOk);
  EXPECT_EQ(Idx() + Dat(), std::string(55997 * 4, '\xFF') + std::string(50000 * 12 + 136, '\0'));
  const std::string devices = dir_.MakeDir("devices");
  ASSERT_EQ(symlink("/dev/null", (devices + "/seen.idx").c_str()), 0);
  ASSERT_EQ(symlink("/dev/null", (devices + "/seen.dat").c_str()), 0);
  EXPECT_EQ(SeenOpen(devices.c_str(), here.c_str(), 0, 0), SeenOpenResult::kTableMapFailed);
  EXPECT_EQ(GetSeenFigures().records, 0u);  // nothing left open
  EXPECT_EQ(SeenOpen(here.c_str(), devices.c_str(), 0, 0), SeenOpenResult::kDataMapFailed);
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

// The relay opens the database at start-up, sized by its configuration, or
// stops with the reason.
TEST(SeenStartup, RelayCreatesTheFilesOrStopsWithTheReason) {
  RelayInstance relay("SeenDataCount = 100\nSeenTableSize = 37", "");
  ASSERT_TRUE(relay.WaitReady());
  EXPECT_EQ(ReadFile(relay.dir().File("history/seen.dat")), std::string(100 * 12 + 136, '\0'));
  EXPECT_EQ(ReadFile(relay.dir().File("history/seen.idx")), std::string(37 * 4, '\xFF'));
  const std::string& dir = relay.dir().path();
  for (auto [paths, message] : {std::pair{"HistoryDataPath = " + dir, "could not open table file\n"},
                                {"HistoryTablePath = " + dir + "\nHistoryDataPath = /dev/null/x",
                                 "could not open seen file\n"}}) {
    const std::string text = "LogDirectory = " + dir + "\nUpdateIncomingEntries = 0\n" + paths + "\n";
    RelayProcess bad({"-debug"}, {"VELTRANE_CONFIG=" + relay.dir().Write("bad.conf", text), "NOTIFY_SOCKET="});
    EXPECT_EQ(bad.WaitExit(), 1) << paths;
    EXPECT_EQ(bad.Output(), "Debugging Veltrane News Router.\n" + std::string(message)) << paths;
  }
}

}  // namespace
