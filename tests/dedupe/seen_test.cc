// The seen database on real mapped files: byte layout, chains, the ring's
// wrap, reopening, and start-up of the relay with it.
#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <random>
#include <thread>
#include <unistd.h>
#include <vector>

#include "base/config.h"
#include "base/log.h"
#include "base/stats.h"
#include "dedupe/seen.h"
#include "support/relay_instance.h"
#include "support/relay_process.h"
#include "support/temp_dir.h"

namespace {

constexpr uint32_t kNone = 0xFFFFFFFFu;

std::string Le32(uint32_t v) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; i++) s[i] = char((v >> (8 * i)) & 0xFF);
  return s;
}

std::string Header(uint32_t position) { return Le32(0) + Le32(position) + std::string(128, '\0'); }

struct Rec {
  uint32_t low, high, next;
};

std::string Records(const std::vector<Rec>& records) {
  std::string s;
  for (const Rec& r : records) s += Le32(r.low) + Le32(r.high) + Le32(r.next);
  return s;
}

std::string Slots(const std::vector<uint32_t>& slots) {
  std::string s;
  for (uint32_t v : slots) s += Le32(v);
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

TEST_F(SeenTest, NewDatabaseHasTheStatedSizesAndIsEmpty) {
  ASSERT_EQ(Open(0, 0), SeenOpenResult::kOk);  // 0 takes the defaults
  EXPECT_EQ(Idx(), std::string(55997 * 4, '\xFF'));
  EXPECT_EQ(Dat(), std::string(50000 * 12 + 136, '\0'));
  for (uint64_t key : {0ull, 1ull, 0x7FFFFFFFFFFFFFFFull, 55997ull}) EXPECT_EQ(Check(key), 0) << key;
  Add(0x0ACB7C618E463268ull);
  EXPECT_EQ(Check(0x0ACB7C618E463268ull), 1);
}

// Ring of 5 records, table of 7 slots. Keys are chosen by their slot
// (key mod 7); the expected bytes are written out record by record.
TEST_F(SeenTest, FilesHoldTheExactLayoutThroughWrapAndBrokenChain) {
  const uint64_t A = 3, B = 10, C = 5, E = 17, G = 24, H = 8;  // slots 3, 3, 5, 3, 3, 1
  const uint64_t F = (1ull << 32) | 2;                         // slot 6, high half set
  const uint64_t sameLowAsA = (7ull << 32) | 3;                // slot 3, low half of A
  ASSERT_EQ(Open(5, 7), SeenOpenResult::kOk);

  Add(A);
  Add(B);
  Add(C);
  EXPECT_EQ(Check(A), 1);  // one link behind B
  EXPECT_EQ(Check(B), 1);
  EXPECT_EQ(Check(C), 1);
  EXPECT_EQ(Check(sameLowAsA), 0);  // both halves are compared
  Add(E);
  Add(F);  // fills record 4: the position wraps to 0
  EXPECT_EQ(Dat(), Header(0) + Records({{3, 0, kNone}, {10, 0, 0}, {5, 0, kNone}, {17, 0, 1}, {2, 1, kNone}}));
  EXPECT_EQ(Check(F), 1);
  EXPECT_EQ(Check(E), 1);
  EXPECT_EQ(Check(B), 1);

  Add(G);  // overwrites A
  EXPECT_EQ(Check(A), 0);
  EXPECT_EQ(Check(G), 1);
  EXPECT_EQ(Check(E), 1);
  // B's record is now the next to be overwritten: it counts as free.
  EXPECT_EQ(Check(B), 0);

  Add(H);  // overwrites B; E's link to B now leads to a newer record
  uint32_t lookups = Read(stats.seenSearchCount), depth = Read(stats.seenDepth);
  EXPECT_EQ(Check(B), 0);  // G -> E, then the broken link ends the walk
  EXPECT_EQ(Read(stats.seenSearchCount) - lookups, 1u);
  EXPECT_EQ(Read(stats.seenDepth) - depth, 1u);
  EXPECT_EQ(Check(H), 1);
  EXPECT_EQ(Check(C), 1);

  std::string idx = Slots({kNone, 1, kNone, 0, kNone, 2, 4});
  std::string dat = Header(2) + Records({{24, 0, 3}, {8, 0, kNone}, {5, 0, kNone}, {17, 0, 1}, {2, 1, kNone}});
  EXPECT_EQ(Idx(), idx);
  EXPECT_EQ(Dat(), dat);

  // The next run finds the same database and goes on at the stored position.
  EXPECT_TRUE(SeenFlush());
  SeenClose();
  ASSERT_EQ(Open(5, 7), SeenOpenResult::kOk);
  EXPECT_EQ(Idx(), idx);
  EXPECT_EQ(Dat(), dat);
  for (uint64_t key : {G, E, F, H, C}) EXPECT_EQ(Check(key), 1) << key;
  for (uint64_t key : {A, B, sameLowAsA}) EXPECT_EQ(Check(key), 0) << key;
  const uint64_t I = 12;  // slot 5, overwrites C
  Add(I);
  EXPECT_EQ(Dat(), Header(3) + Records({{24, 0, 3}, {8, 0, kNone}, {12, 0, 2}, {17, 0, 1}, {2, 1, kNone}}));
  EXPECT_EQ(Idx(), Slots({kNone, 1, kNone, 0, kNone, 2, 4}));
  EXPECT_EQ(Check(C), 0);
  EXPECT_EQ(Check(I), 1);
}

TEST_F(SeenTest, AKeyIsForgottenAfterDataCountFurtherAdds) {
  const uint32_t n = 100;
  ASSERT_EQ(Open(n, 37), SeenOpenResult::kOk);
  Add(5000);
  for (uint32_t i = 1; i <= n - 2; i++) Add(1000000 + i);
  EXPECT_EQ(Check(5000), 1);
  // One more add makes its record the next to be overwritten, the one
  // after overwrites it.
  Add(2000000);
  Add(2000001);
  EXPECT_EQ(Check(5000), 0);
  EXPECT_EQ(Check(2000000), 1);
  EXPECT_EQ(Check(1000002), 1);
}

// Every key in one slot: after the wrap the links form a cycle through
// overwritten records, and only the validity rule ends the walk.
TEST_F(SeenTest, WalksEndOnCyclesOfStaleLinks) {
  ASSERT_EQ(Open(3, 1), SeenOpenResult::kOk);
  for (uint64_t key : {100, 101, 102, 103}) Add(key);  // record 0 now links to 2, 2 to 1, 1 to 0
  uint32_t depth = Read(stats.seenDepth);
  std::atomic<int> result{-1};
  std::thread lookup([&] { result = Check(999); });
  bool ended = WaitUntil([&] { return result.load() != -1; }, std::chrono::milliseconds(5000));
  if (!ended) {
    ADD_FAILURE() << "lookup does not end";
    _exit(1);  // the walk thread cannot be stopped
  }
  lookup.join();
  EXPECT_EQ(result.load(), 0);
  EXPECT_EQ(Read(stats.seenDepth) - depth, 1u);  // 103 -> 102, then 102 -> 101 is refused
  EXPECT_EQ(Check(102), 1);
  EXPECT_EQ(Check(101), 0);  // the record at the position counts as free

  // A long chain raises the deepest-lookup mark.
  TempDir other;
  ASSERT_EQ(SeenOpen(other.path().c_str(), other.path().c_str(), 8, 1), SeenOpenResult::kOk);
  for (uint64_t key = 1; key <= 7; key++) Add(key);
  ASSERT_EQ(Check(1), 1);
  EXPECT_GE(Read(stats.seenMaxDepth), 6u);
}

// Against a model of the ring: a key is found when it is among the last
// N - 1 adds, or it is the oldest record and still the newest of its slot.
TEST_F(SeenTest, AgreesWithAModelOverManyCollidingAdds) {
  const uint32_t n = 50, slots = 13;
  ASSERT_EQ(Open(n, slots), SeenOpenResult::kOk);
  std::mt19937_64 rng(7);
  std::deque<uint64_t> ring;  // newest first, at most n
  std::vector<uint64_t> everAdded;
  auto expected = [&](uint64_t key) {
    for (size_t i = 0; i < ring.size(); i++) {
      if (ring[i] != key) continue;
      if (i + 1 < n) return 1;
      for (size_t j = 0; j < i; j++) {
        if (ring[j] % slots == key % slots) return 0;
      }
      return 1;
    }
    return 0;
  };
  for (int step = 0; step < 4000; step++) {
    uint64_t key = rng() >> 1;
    Add(key);
    ring.push_front(key);
    if (ring.size() > n) ring.pop_back();
    everAdded.push_back(key);
    for (int probe = 0; probe < 4; probe++) {
      uint64_t k = everAdded[rng() % everAdded.size()];
      ASSERT_EQ(Check(k), expected(k)) << "step " << step;
    }
    ASSERT_EQ(Check(rng() >> 1), 0);
  }
}

TEST_F(SeenTest, ExistingFilesAreExtendedAndKeptNeverCut) {
  // A data file shorter than the ring: used as it stands, zeros after it.
  std::string shortDat = Header(1) + Records({{42, 0, kNone}});
  dir_.Write("seen.dat", shortDat);
  dir_.Write("seen.idx", Slots({0, kNone, kNone, kNone, kNone, kNone, kNone}));  // 42 mod 7 = 0
  ASSERT_EQ(Open(4, 7), SeenOpenResult::kOk);
  EXPECT_EQ(Dat(), shortDat + std::string(3 * 12, '\0'));
  EXPECT_EQ(Check(42), 1);
  Add(43);
  EXPECT_EQ(Dat().substr(4, 4), Le32(2));
  SeenClose();

  // A ring configured smaller than the files: nothing on disk is cut, and a
  // stored position beyond the smaller ring starts again at 0.
  std::string before = Dat();
  ASSERT_EQ(Open(1, 7), SeenOpenResult::kOk);
  Add(44);
  EXPECT_EQ(Dat().size(), before.size());
  EXPECT_EQ(Dat().substr(4, 4), Le32(0));
  EXPECT_EQ(Check(44), 1);
  EXPECT_EQ(Check(42), 0);
}

// A table of another size is rebuilt from the ring: the keys of the last
// N - 1 adds are found again, older ones are not. So is a table whose
// rebuild a killed start left unfinished (the stale mark is set).
TEST_F(SeenTest, TableOfAnotherSizeIsRebuiltFromTheRing) {
  ASSERT_TRUE(LoadConfigFile(dir_.Write("relay.conf", "LogDirectory = " + dir_.path() + "\n").c_str()));
  console_init();
  const uint32_t n = 50;
  ASSERT_EQ(Open(n, 13), SeenOpenResult::kOk);
  std::vector<uint64_t> keys;
  for (uint64_t i = 0; i < 80; i++) keys.push_back(0x1234567 * (i + 1));
  for (uint64_t k : keys) Add(k);
  SeenClose();
  auto expectRing = [&] {
    for (size_t i = 0; i < keys.size(); i++) EXPECT_EQ(Check(keys[i]), i + n - 1 >= keys.size() ? 1 : 0) << i;
  };
  for (uint32_t slots : {29u, 5u}) {
    ASSERT_EQ(Open(n, slots), SeenOpenResult::kOk);
    EXPECT_EQ(Idx().size(), slots * 4);
    expectRing();
    SeenClose();
  }
  LogLine(nullptr);
  std::string log = ReadFile(dir_.File("veltrane.log"));
  EXPECT_NE(log.find("seen: seen.idx holds 116 bytes where SeenTableSize 5 needs 20, rebuilding it"),
            std::string::npos);
  EXPECT_NE(log.find("seen: rebuilt the table of 5 slots from 49 keys of the ring"), std::string::npos);

  dir_.Write("seen.idx", std::string(20, '\0'));
  std::string dat = Dat();
  dat.replace(8, 4, Le32(1));
  dir_.Write("seen.dat", dat);
  ASSERT_EQ(Open(n, 5), SeenOpenResult::kOk);
  expectRing();
  EXPECT_EQ(Dat().substr(8, 4), Le32(0));
}

// A slot holding the ring size (left by a larger ring) is empty: the record
// it names lies past the ring, though still in the file and the mapped page.
TEST_F(SeenTest, SlotHoldingTheRingSizeIsEmpty) {
  ASSERT_EQ(Open(10, 7), SeenOpenResult::kOk);
  for (uint64_t key = 70; key < 80; key++) Add(key);  // 79 lands in record 9, slot 2
  SeenClose();
  ASSERT_EQ(Open(9, 7), SeenOpenResult::kOk);
  EXPECT_EQ(Idx().substr(2 * 4, 4), Le32(9));
  EXPECT_EQ(Check(79), 0);
  EXPECT_EQ(Check(78), 1);
}

TEST_F(SeenTest, OpenFailuresNameTheFile) {
  std::string missing = dir_.File("missing");
  EXPECT_EQ(SeenOpen(missing.c_str(), dir_.path().c_str(), 5, 7), SeenOpenResult::kTableOpenFailed);
  EXPECT_EQ(SeenOpen(nullptr, dir_.path().c_str(), 5, 7), SeenOpenResult::kTableOpenFailed);
  EXPECT_EQ(SeenOpen(dir_.path().c_str(), missing.c_str(), 5, 7), SeenOpenResult::kDataOpenFailed);
  EXPECT_EQ(SeenOpen(dir_.path().c_str(), nullptr, 5, 7), SeenOpenResult::kDataOpenFailed);
  // A device that cannot be extended or mapped, beside a database that
  // exists (a new one would replace it with a file of its own).
  ASSERT_EQ(Open(5, 7), SeenOpenResult::kOk);
  SeenClose();
  std::string devices = dir_.MakeDir("devices");
  ASSERT_EQ(symlink("/dev/null", (devices + "/seen.idx").c_str()), 0);
  ASSERT_EQ(symlink("/dev/null", (devices + "/seen.dat").c_str()), 0);
  EXPECT_EQ(SeenOpen(devices.c_str(), dir_.path().c_str(), 5, 7), SeenOpenResult::kTableMapFailed);
  EXPECT_EQ(SeenOpen(dir_.path().c_str(), devices.c_str(), 5, 7), SeenOpenResult::kDataMapFailed);
}

// One writer adding while readers look up: every lookup ends, and keys never
// added are never reported.
TEST_F(SeenTest, LookupsRacingWithAddsEnd) {
  ASSERT_EQ(Open(64, 1), SeenOpenResult::kOk);  // one long chain
  std::atomic<bool> stop{false};
  std::atomic<uint32_t> falseHits{0}, lookups{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 3; r++) {
    readers.emplace_back([&, r] {
      uint64_t key = (uint64_t(r + 1) << 40);  // never added
      while (!stop.load()) {
        if (Check(key + lookups.load() % 64) != 0) falseHits++;
        lookups++;
      }
    });
  }
  for (uint64_t i = 0; i < 200000; i++) Add(i);
  EXPECT_TRUE(WaitUntil([&] { return lookups.load() > 1000; }));
  stop = true;
  for (auto& t : readers) t.join();
  EXPECT_EQ(falseHits.load(), 0u);
}

// The relay opens the database at start-up, sized by its configuration, or
// stops with the reason.
TEST(SeenStartup, RelayCreatesTheFilesOrStopsWithTheReason) {
  {
    RelayInstance relay("SeenDataCount = 100\nSeenTableSize = 37", "");
    ASSERT_TRUE(relay.WaitReady());
    EXPECT_EQ(ReadFile(relay.dir().File("history/seen.dat")), std::string(100 * 12 + 136, '\0'));
    EXPECT_EQ(ReadFile(relay.dir().File("history/seen.idx")), std::string(37 * 4, '\xFF'));
  }
  TempDir dir;
  std::string logs = dir.MakeDir("logs"), table = dir.MakeDir("table"), data = dir.MakeDir("data");
  struct Case {
    std::string paths, message;
  } cases[] = {
      {"HistoryDataPath = " + data + "\n", "could not open table file\n"},
      {"HistoryTablePath = " + dir.File("nowhere") + "\nHistoryDataPath = " + data + "\n", "could not open table file\n"},
      {"HistoryTablePath = " + table + "\n", "could not open seen file\n"},
      {"HistoryTablePath = " + table + "\nHistoryDataPath = /dev/null/x\n", "could not open seen file\n"},
  };
  for (const Case& c : cases) {
    std::string config = dir.Write("relay.conf", "LogDirectory = " + logs + "\nUpdateIncomingEntries = 0\n" + c.paths);
    RelayProcess relay({"-debug"}, {"VELTRANE_CONFIG=" + config, "NOTIFY_SOCKET="});
    EXPECT_EQ(relay.WaitExit(), 1) << c.paths;
    EXPECT_EQ(relay.Output(), "Debugging Veltrane News Router.\n" + c.message) << c.paths;
  }
}

}  // namespace
