// The history database: file layout, lookups, repairs, expiry, close.
#include <chrono>
#include <cstring>
#include <future>
#include <set>
#include <sys/stat.h>
#include <thread>
#include <vector>

#include "base/stats.h"
#include "history/history.h"
#include "history_fixture.h"

namespace {

using namespace std::chrono_literals;

// Two identifiers in one slot and one in another, for a table of `slots`.
struct CollidingIds {
  std::string first, second, other;
};
CollidingIds FindCollision(uint32_t slots) {
  crcinit();
  auto slotOf = [&](const std::string& s) { return hash(s.data(), int32_t(s.size())) % slots; };
  CollidingIds ids{"msg0@example.com", "", ""};
  for (int i = 1; ids.second.empty() || ids.other.empty(); i++) {
    std::string s = "msg" + std::to_string(i) + "@example.com";
    if (slotOf(s) == slotOf(ids.first)) {
      if (ids.second.empty()) ids.second = s;
    } else if (ids.other.empty()) {
      ids.other = s;
    }
  }
  return ids;
}

uint64_t FileSize(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? uint64_t(st.st_size) : 0;
}

TEST_F(HistoryTest, NewDatabaseLaysOutEntriesAndChainsACollision) {
  uint32_t inserts = Read(stats.dbInsertOps), searches = Read(stats.dbSearchOps),
           depth = Read(stats.dbDepth);
  Open();
  EXPECT_EQ(FileSize(DataPath()), 40000u);
  EXPECT_EQ(FileSize(TablePath()), 64u);
  EXPECT_EQ(Used(), 160u);
  EXPECT_EQ(Read(stats.dwHistBytesUsed), 160u);
  for (uint32_t s = 0; s < 16; s++) EXPECT_EQ(SlotValue(s), 0u);
  EXPECT_EQ(ReadFile(DataPath()).substr(4, 156), std::string(156, '\0'));

  CollidingIds ids = FindCollision(16);
  const uint32_t flags[4] = {1, 2, 0x00C00003, 0x80000000};
  ASSERT_EQ(Add(ids.first, flags, 1234, 5678, 42), 160u);
  uint32_t firstSize = 48 + uint32_t(ids.first.size()) + 1;
  uint32_t second = Add(ids.second, flags, 99, 7, 43);
  ASSERT_EQ(second, 160 + firstSize);
  uint32_t third = Add(ids.other, kNoSites);
  uint32_t secondSize = 48 + uint32_t(ids.second.size()) + 1;
  ASSERT_EQ(third, second + secondSize);
  uint32_t end = third + 48 + uint32_t(ids.other.size()) + 1;

  std::string data = ReadFile(DataPath());
  auto word = [&](uint32_t off) {
    uint32_t v;
    memcpy(&v, data.data() + off, 4);
    return v;
  };
  EXPECT_EQ(word(0), end);
  EXPECT_EQ(Read(stats.dwHistBytesUsed), end);
  // First entry, field by field.
  uint32_t slot = SlotOf(ids.first);
  EXPECT_EQ(word(160), 0xFFFFFFFFu);
  EXPECT_EQ(word(164), firstSize);
  EXPECT_EQ(word(168), slot);
  EXPECT_EQ(word(172), 0u);
  EXPECT_EQ(word(176), 0u);
  EXPECT_EQ(word(180), 1u);
  EXPECT_EQ(word(184), 2u);
  EXPECT_EQ(word(188), 0x00C00003u);
  EXPECT_EQ(word(192), 0x80000000u);
  EXPECT_EQ(word(196), 5678u);
  EXPECT_EQ(word(200), 1234u);
  EXPECT_EQ(word(204), 42u);
  EXPECT_EQ(data.substr(208, ids.first.size() + 1), ids.first + '\0');
  // The second shares the slot: previous is the distance back to the first.
  EXPECT_EQ(word(second + 8), slot);
  EXPECT_EQ(word(second + 12), second - 160);
  EXPECT_EQ(word(second + 36), 7u);
  EXPECT_EQ(word(second + 44), 43u);
  EXPECT_EQ(word(third + 12), 0u);
  EXPECT_EQ(word(third + 20), 0u);
  // The table leads to the newest entry of each slot and nowhere else.
  for (uint32_t s = 0; s < 16; s++) {
    uint32_t expect = s == slot ? second : s == SlotOf(ids.other) ? third : 0;
    EXPECT_EQ(SlotValue(s), expect) << "slot " << s;
  }
  EXPECT_EQ(Read(stats.dbInsertOps) - inserts, 3u);

  // The older entry of the chain is one link away; the newer none.
  uint32_t maxDepthBefore = Read(stats.dbMaxDepth);
  _histentry* e = FindArticle(ids.first.c_str());
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->position, 160u);
  EXPECT_EQ(e->header.size, firstSize);
  EXPECT_EQ(e->header.length, 1234u);
  EXPECT_EQ(e->header.feedFlags[3], 0x80000000u);
  EXPECT_EQ(Read(stats.dbDepth) - depth, 1u);
  EXPECT_GE(Read(stats.dbMaxDepth), std::max(maxDepthBefore, 1u));
  DestroyEntry(e);
  EXPECT_EQ(Where(ids.second), second);
  EXPECT_EQ(Read(stats.dbDepth) - depth, 1u);
  // Exact comparison: another case, a prefix or an unknown text misses.
  std::string upper = ids.first;
  upper[0] = 'M';
  EXPECT_EQ(Where(upper), 0u);
  EXPECT_EQ(Where(ids.first.substr(0, ids.first.size() - 1)), 0u);
  EXPECT_EQ(Read(stats.dbSearchOps) - searches, 4u);

  // The database survives a close and a fresh open.
  Close();
  Open();
  EXPECT_EQ(Used(), end);
  EXPECT_EQ(Where(ids.first), 160u);
  EXPECT_EQ(Where(ids.other), third);
}

TEST_F(HistoryTest, OldDataBesideNewTableAndNewDataBesideOldTable) {
  Open();
  uint32_t a = Add("old-a@x");
  Add("old-b@x");
  Close();
  // A missing table beside an old data file is rebuilt from the entries.
  ASSERT_EQ(unlink(TablePath().c_str()), 0);
  Open();
  EXPECT_NE(Log().find("db: hist.idx holds 0 bytes where HistoryTableSize 16 needs 64, rebuilding it\n"),
            std::string::npos);
  EXPECT_EQ(Where("old-a@x"), a);
  _histentry c = Cursor(0, 'f', a);
  ASSERT_EQ(HistGetNextEntry(&c, 5000), 1);
  EXPECT_STREQ(c.identifier, "old-a@x");
  ASSERT_EQ(HistGetNextEntry(&c, 5000), 1);
  EXPECT_STREQ(c.identifier, "old-b@x");
  uint32_t fresh = Add("new@x");
  EXPECT_EQ(Where("new@x"), fresh);
  Close();
  // An empty data file beside an old table: a new database, table cleared.
  ASSERT_EQ(truncate(DataPath().c_str(), 0), 0);
  Open();
  EXPECT_EQ(Used(), 160u);
  for (uint32_t s = 0; s < 16; s++) EXPECT_EQ(SlotValue(s), 0u);
  EXPECT_EQ(Where("new@x"), 0u);
}

TEST_F(HistoryTest, DamagedSlotsArePrunedWithTheirLogLines) {
  Open({40000, 16, true});
  CollidingIds ids = FindCollision(16);
  uint32_t first = Add(ids.first);
  uint32_t other = Add(ids.other);
  uint32_t slot = SlotOf(ids.first);

  // Beyond used.
  PutWord(TablePath(), slot * 4, 30000);
  EXPECT_EQ(Where(ids.first), 0u);
  EXPECT_EQ(SlotValue(slot), 0u);
  EXPECT_NE(Log().find(": db: tried to get an unused entry, pruning\n\n"), std::string::npos);

  // Inside an entry rather than at its start.
  PutWord(TablePath(), slot * 4, first + 3);
  EXPECT_EQ(Where(ids.first), 0u);
  EXPECT_EQ(SlotValue(slot), 0u);
  EXPECT_NE(Log().find(": db: database corrupted, pruning a branch\n\n"), std::string::npos);

  // Another slot's entry.
  PutWord(TablePath(), slot * 4, other);
  std::string log = Log();
  EXPECT_EQ(Where(ids.first), 0u);
  EXPECT_EQ(SlotValue(slot), 0u);
  EXPECT_NE(Log().find("db: database corrupted, pruning a branch", log.size()), std::string::npos);

  // An append into a slot that leads beyond the data starts a new chain.
  PutWord(TablePath(), slot * 4, 39000);
  uint32_t second = Add(ids.second);
  EXPECT_EQ(Word(DataPath(), second + 12), 0u);
  EXPECT_EQ(SlotValue(slot), second);
  EXPECT_EQ(Where(ids.second), second);
  EXPECT_NE(Log().find(": db: invalid next entry, pruning...\n\n"), std::string::npos);
  // The repaired slot works on.
  EXPECT_EQ(Where(ids.other), other);
}

TEST_F(HistoryTest, OverlongIdentifierIsRefusedAndLeavesUsedAlone) {
  Open();
  std::string longest(254, 'x');
  EXPECT_EQ(Add(longest), 160u);
  uint32_t used = Used();
  EXPECT_EQ(AddArticleToHistory(std::string(255, 'y').c_str(), kAllSites, 0, 1, 1), 0);
  EXPECT_EQ(Used(), used);
  EXPECT_NE(Log().find("exception occured in AddArticleToHistory()"), std::string::npos);
  EXPECT_EQ(Where(longest), 160u);
}

std::string Numbered(int i) {
  char id[32];
  snprintf(id, sizeof id, "e%05d@example.org", i);
  return id;
}

// Expiry with a data size of 40003 bytes: the mark is 39602.97 bytes and
// the cut 8000 (40003 x 0.2, truncated).
TEST_F(HistoryTest, ExpiryCutsTheOldestFifthAndMovesTheRestDown) {
  Open({40003, 64, true});
  const uint32_t cut = 8000;
  std::vector<uint32_t> offset;
  // Fill up to the last append before the mark.
  while (Used() <= 39602) offset.push_back(Add(Numbered(int(offset.size()))));
  const uint32_t serial = HistExpireSerial();
  uint32_t usedBefore = Used();

  // Cursors positioned before the expiry: one at a surviving entry, one at
  // an entry in the removed fifth, one waiting at the end.
  size_t survivor = 0;
  while (offset[survivor] < 160 + cut + 1000) survivor++;
  _histentry keeps = Cursor(1, 'f', Where(Numbered(int(survivor))));
  ASSERT_EQ(HistGetNextEntry(&keeps, 200000), 1);
  _histentry loses = Cursor(2, 'f', Where(Numbered(3)));
  ASSERT_EQ(HistGetNextEntry(&loses, 200000), 1);
  _histentry waits = Cursor(3);
  ASSERT_EQ(HistGetNextEntry(&waits, 200000), 0);
  ASSERT_EQ(waits.position, usedBefore);
  std::string before = ReadFile(DataPath());

  uint32_t t0 = uint32_t(time(nullptr));
  std::string trigger = Numbered(int(offset.size()));
  Add(trigger);  // runs the expiry, then appends
  uint32_t t1 = uint32_t(time(nullptr));
  EXPECT_EQ(HistExpireSerial(), serial + 1);
  EXPECT_EQ(Where(trigger), usedBefore - cut);
  EXPECT_EQ(Used(), usedBefore - cut + 48 + uint32_t(trigger.size()) + 1);

  // The bytes behind the cut moved down to 160 unchanged.
  std::string after = ReadFile(DataPath());
  EXPECT_TRUE(after.compare(160, usedBefore - 160 - cut, before, 160 + cut, usedBefore - 160 - cut) == 0);

  // Survivors are found at their old offset minus the cut, the rest not.
  std::vector<uint32_t> newest(64, 0);
  for (size_t i = 0; i < offset.size(); i++) {
    std::string id = Numbered(int(i));
    bool survives = offset[i] >= 160 + cut;
    EXPECT_EQ(Where(id), survives ? offset[i] - cut : 0u) << id;
    uint32_t slot = SlotOf(id);
    newest[slot] = survives ? offset[i] - cut : 0;  // offsets ascend: the last one wins
  }
  newest[SlotOf(trigger)] = usedBefore - cut;
  // Each slot leads to its newest surviving entry or is empty.
  for (uint32_t s = 0; s < 64; s++) EXPECT_EQ(SlotValue(s), newest[s]) << "slot " << s;

  // The time of the expiry is on record.
  std::string stamp = ReadFile(dir_.File("sites/last-expire"));
  ASSERT_FALSE(stamp.empty());
  EXPECT_EQ(stamp.back(), '\n');
  uint32_t when = uint32_t(std::stoul(stamp));
  EXPECT_GE(when, t0);
  EXPECT_LE(when, t1);

  // One expiry between steps: positions move back by the cut.
  ASSERT_EQ(HistGetNextEntry(&keeps, 200000), 1);
  EXPECT_STREQ(keeps.identifier, Numbered(int(survivor + 1)).c_str());
  EXPECT_EQ(keeps.position, offset[survivor + 1] - cut);
  EXPECT_EQ(keeps.expireSerial, serial + 1);
  // A position whose entry was cut away restarts at the end.
  EXPECT_EQ(HistGetNextEntry(&loses, 200000), 0);
  EXPECT_EQ(loses.position, Used());
  ASSERT_EQ(HistGetNextEntry(&waits, 200000), 1);
  EXPECT_STREQ(waits.identifier, trigger.c_str());

  // Two more expiries without a step: the cursor restarts at the end.
  int next = int(offset.size()) + 1;
  while (HistExpireSerial() < serial + 3) Add(Numbered(next++));
  EXPECT_EQ(HistGetNextEntry(&keeps, 200000), 0);
  EXPECT_EQ(keeps.position, Used());
  Add("after@example.org");
  ASSERT_EQ(HistGetNextEntry(&keeps, 200000), 1);
  EXPECT_STREQ(keeps.identifier, "after@example.org");
}

TEST_F(HistoryTest, LastExpireFileGoesBesideTheDataWithoutSiteRecordPath) {
  Open({40000, 64, false});
  const uint32_t serial = HistExpireSerial();
  for (int i = 0; HistExpireSerial() == serial; i++) Add(Numbered(i));
  EXPECT_FALSE(ReadFile(dir_.File("last-expire")).empty());
}

TEST_F(HistoryTest, AfterCloseAppendsFailAndReadersWaitForTheNextOpen) {
  Open();
  ASSERT_EQ(Add("kept@x"), 160u);
  Close();
  EXPECT_EQ(AddArticleToHistory("late@x", kAllSites, 0, 1, 1), 0);
  auto lookup = std::async(std::launch::async, [] { return Where("kept@x"); });
  _histentry c = Cursor(0);
  auto step = std::async(std::launch::async, [&c] { return HistGetNextEntry(&c, 5000); });
  EXPECT_EQ(lookup.wait_for(300ms), std::future_status::timeout);
  EXPECT_EQ(step.wait_for(0ms), std::future_status::timeout);
  Open();
  EXPECT_EQ(lookup.get(), 160u);
  EXPECT_EQ(step.get(), 0);
  EXPECT_EQ(c.position, Used());
}

// Start-up refusals print on standard output and end the process with 1;
// the death tests send standard output to standard error to match it.
class HistoryStartupDeathTest : public HistoryTest {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
  void OpenExpectingExit(const HistoryConfig& config, const std::string& first, const char* message) {
    Configure(config, first);
    EXPECT_EXIT(
        {
          dup2(2, 1);
          histinit();
        },
        ::testing::ExitedWithCode(1), message);
  }
};

TEST_F(HistoryStartupDeathTest, UnusableSizesAndPathsEndTheProcess) {
  OpenExpectingExit({30299, 16, true}, "",
                    "HistoryDataSize 30299 is too small: its last hundredth must hold an entry of 303 bytes");
  OpenExpectingExit({40000, 0, true}, "", "HistoryTableSize must be at least 1");
  OpenExpectingExit({40000, 16, true}, "HistoryTablePath = " + dir_.File("missing") + "\n",
                    "could not open table file");
  OpenExpectingExit({40000, 16, true}, "HistoryDataPath = " + dir_.File("missing") + "\n",
                    "could not open history file");
  // A data file whose end lies beyond the configured size.
  Open({40000, 16, true});
  Close();
  PutWord(DataPath(), 0, 35000);
  OpenExpectingExit({30300, 16, true}, "", "history file ends at 35000, outside HistoryDataSize 30300");
  PutWord(DataPath(), 0, 160);
  Open({30300, 16, true});
  EXPECT_EQ(Add("fits@x"), 160u);
}

}  // namespace
