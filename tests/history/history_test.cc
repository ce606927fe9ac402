// The history database and its cursor, on real mapped files.
#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <future>
#include <thread>
#include <unistd.h>
#include <vector>

#include "article/article_id.h"
#include "base/relay_base.h"
#include "history/history_cursor.h"
#include "history/history_format.h"
#include "support/relay_process.h"
#include "support/temp_dir.h"

namespace {

// The relay base and the history the tests try; the history is opened and
// closed again by each test.
RelayBase& Base() {
  static RelayBase base;
  return base;
}
History& Hist() {
  static History history(&Base());
  return history;
}

constexpr uint32_t kAll[4] = {~0u, ~0u, ~0u, ~0u}, kNone[4] = {0, 0, 0, 0};
constexpr auto npos = std::string::npos;

// Reads the word at `at` of a file, or first writes `put` there.
uint32_t Word(const std::string& path, uint32_t at, int64_t put = -1) {
  uint32_t v = uint32_t(put);
  int fd = open(path.c_str(), put < 0 ? O_RDONLY : O_WRONLY);
  EXPECT_EQ(put < 0 ? pread(fd, &v, 4, at) : pwrite(fd, &v, 4, at), 4) << path << " @" << at;
  close(fd);
  return v;
}
uint32_t Used() { return Read(Base().stats.dwHistBytesUsed); }
uint32_t Add(const std::string& id, const uint32_t* flags = kAll, uint32_t length = 100, uint32_t spoolOffset = 0,
             uint32_t spoolFile = 1) {
  uint32_t at = Used();
  return Hist().AddArticleToHistory(id.c_str(), flags, spoolOffset, length, spoolFile) == 1 ? at : 0;
}
uint32_t Where(const std::string& id) {
  std::unique_ptr<_histentry, int (*)(_histentry*)> e(Hist().FindArticle(id.c_str()), History::DestroyEntry);
  return e != nullptr ? e->position : 0;
}
_histentry Cursor(uint32_t bit, char feedType = 'f', uint32_t position = 0) {
  return {.position = position, .distribution = {1u << (bit % 32), bit / 32}, .expireSerial = Hist().HistExpireSerial(),
          .feedType = feedType};
}
std::string Next(_histentry* c) { return HistGetNextEntry(Hist(), c, 5000) == 1 ? c->identifier : "-"; }
std::string Numbered(size_t i) { return "e" + std::to_string(100000 + i) + "@example.org"; }
// How many of Numbered(0...) are not where an expiry of `cut` bytes leaves
// them: the entries before the cut gone, the rest `cut` bytes lower.
size_t Misplaced(const std::vector<uint32_t>& at, uint32_t cut) {
  size_t wrong = 0;
  for (size_t i = 0; i < at.size(); i++) wrong += Where(Numbered(i)) != (at[i] < 160 + cut ? 0 : at[i] - cut);
  return wrong;
}

class HistoryTest : public ::testing::Test {
 protected:
  void Configure(uint32_t dataSize, uint32_t tableSize, const std::string& first = "") {
    const std::string& d = dir_.path();
    tableSize_ = tableSize;
    const std::string text = first + "LogDirectory = " + d + "\nHistoryTablePath = " + d + "\nHistoryDataPath = " + d +
                             "\nHistoryDataSize = " + std::to_string(dataSize) +
                             "\nHistoryTableSize = " + std::to_string(tableSize) + "\n";
    ASSERT_TRUE(Base().config.LoadConfigFile(dir_.Write("relay.conf", text).c_str()));
  }
  void Open(uint32_t dataSize = 40000, uint32_t tableSize = 16, const std::string& first = "") {
    Configure(dataSize, tableSize, first);
    Base().log.console_init(Base().config);
    ASSERT_EQ(Hist().histinit(), 1);
  }
  void TearDown() override { Hist().histclose(); Base().log.LogLine(nullptr); }
  uint32_t SlotOf(const std::string& id) const { return hash(id.data(), int32_t(id.size())) % tableSize_; }
  std::string NewLog() {
    std::string all = ReadFile(dir_.File("veltrane.log"));
    return all.substr(std::exchange(logSeen_, all.size()));
  }
  void FillTo(uint32_t target) {
    for (uint32_t gap; (gap = target - Used()) != 0;) {
      ASSERT_GE(gap, 49u);
      ASSERT_NE(Add(std::string((gap <= 303 ? gap : std::min(303u, gap - 49)) - 49, 'z'), kNone), 0u);
    }
  }

  TempDir dir_;
  const std::string dat_ = dir_.File("hist.dat"), idx_ = dir_.File("hist.idx");
  uint32_t tableSize_ = 16;
  size_t logSeen_ = 0;
};

TEST_F(HistoryTest, NewDatabaseLaysOutEntriesAndKeepsThemOverAReopen) {
  Open();
  const uint32_t flags[4] = {1, 2, 0x00C00003, 0x80000000};
  ASSERT_EQ(Add("first@x", flags, 1234, 5678, 42), 160u);
  ASSERT_EQ(Add("second@example.com", kNone, 99, 7, 43), 216u);
  // Slots only now: a database that had not set up the hash would differ.
  auto entry = [&](const std::string& id, const uint32_t* f, uint32_t off, uint32_t len, uint32_t file) {
    std::string s = Le32(~0u) + Le32(48 + id.size() + 1) + Le32(SlotOf(id)) + Le32(0) + Le32(0);
    for (int w = 0; w < 4; w++) s += Le32(f[w]);
    return s + Le32(off) + Le32(len) + Le32(file) + id + '\0';
  };
  EXPECT_EQ(ReadFile(dat_), Le32(283) + std::string(156, '\0') + entry("first@x", flags, 5678, 1234, 42) +
                                entry("second@example.com", kNone, 7, 99, 43) + std::string(40000 - 283, '\0'));
  std::string table(64, '\0');
  table.replace(SlotOf("first@x") * 4, 4, Le32(160));
  table.replace(SlotOf("second@example.com") * 4, 4, Le32(216));
  EXPECT_EQ(ReadFile(idx_), table);

  // Closed: appends fail, and readers wait until the database is open again,
  // as it was: nothing to repair, and no file left open by the reopening.
  Hist().histclose();
  const size_t files = OpenDescriptors();
  EXPECT_EQ(Add("late@x"), 0u);
  auto lookup = std::async(std::launch::async, [] { return Where("first@x"); });
  EXPECT_EQ(lookup.wait_for(100ms), std::future_status::timeout);
  Open();
  EXPECT_EQ(lookup.get(), 160u);
  EXPECT_EQ(NewLog().find("db: "), npos);
  Hist().histclose();
  EXPECT_EQ(OpenDescriptors(), files);
}

// 40000 bytes: an append at exactly 99% (39600) does not expire, the next
// one does and cuts 8000 bytes.
TEST_F(HistoryTest, ExpiryPastTheMarkCutsTheOldestFifthAndCursorsFollow) {
  Open(40000, 100003, "SiteRecordPath = " + dir_.MakeDir("sites") + "\n");
  const uint32_t cut = 8000, serial = Hist().HistExpireSerial();
  std::vector<uint32_t> at;
  while (Used() < 4000) at.push_back(Add(Numbered(at.size())));
  FillTo(160 + cut);
  const uint32_t edge = Add("edge@x");  // the first byte kept
  const size_t afterEdge = at.size();
  while (Used() < 39000) at.push_back(Add(Numbered(at.size())));
  FillTo(39600);
  ASSERT_EQ(Word(idx_, SlotOf("edge@x") * 4), edge);  // alone in its slot: the table pass must keep it
  _histentry keeps = Cursor(1, 'f', edge), loses = Cursor(2, 'f', at[3]), waits = Cursor(3);
  EXPECT_EQ(Next(&keeps), "edge@x");
  Add("at-mark@x");
  EXPECT_EQ(Hist().HistExpireSerial(), serial);
  EXPECT_EQ(Next(&waits), "-");
  Add("trigger@x");
  EXPECT_EQ(Hist().HistExpireSerial(), serial + 1);
  EXPECT_EQ(Where("trigger@x"), 39658 - cut);
  EXPECT_EQ(Word(dat_, 4) | Word(dat_, 16), 0u);  // no expiry record, no stale mark left
  EXPECT_EQ(Misplaced(at, cut), 0u);

  // One expiry between steps moves a position back by the cut (one at the
  // cut too); one whose entry was cut away goes on from the oldest entry.
  EXPECT_EQ(Next(&keeps), Numbered(afterEdge));
  EXPECT_EQ(keeps.position, at[afterEdge] - cut);
  EXPECT_EQ(Next(&loses), "edge@x");
  EXPECT_EQ(Next(&waits), "trigger@x");
}

// Start-up refusals print on standard output and end the process with 1.
TEST_F(HistoryTest, UnusableSizesAndPathsEndTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto refused = [&](uint32_t dataSize, uint32_t tableSize, const std::string& first, const char* message) {
    Configure(dataSize, tableSize, first);
    EXPECT_EXIT((dup2(2, 1), Hist().histinit()), ::testing::ExitedWithCode(1), message);
  };
  refused(30299, 16, "", "HistoryDataSize 30299 is too small: its last hundredth must hold an entry of 303 bytes");
  refused(40000, 0, "", "HistoryTableSize must be at least 1");
  refused(40000, 16, "HistoryTablePath = " + dir_.File("none") + "\n", "could not open table file");
  refused(40000, 16, "HistoryDataPath = " + dir_.File("none") + "\n", "could not open history file");
  Open();
  Hist().histclose();
  const std::string devices = dir_.MakeDir("devices");
  ASSERT_EQ(symlink("/dev/null", (devices + "/hist.idx").c_str()), 0);
  refused(40000, 16, "HistoryTablePath = " + devices + "\n", "could not map table file");
  Word(dat_, 0, 30301);
  refused(30300, 16, "", "history file ends at 30301, outside HistoryDataSize 30300");
  Word(dat_, 0, 30300);  // ends exactly at the smallest usable size
  Open(30300, 16);
}

// Where the child's expiry is killed: at the first step report whose bytes
// moved reach it (see SetExpireStepHook).
uint32_t killAt = 0;
void KillAtStep(uint32_t done, uint32_t) {
  if (done >= killAt) kill(getpid(), SIGKILL);
}

// A child is killed in an expiry: its record just written, two cuts moved,
// all moved, the new end stored. The next start finishes the expiry and
// rebuilds the table, passing over the tail of the entry the cut went through.
// A start also rebuilds a table of another size, drops an expiry record that
// no expiry could leave, and starts afresh from a data file whose header was
// never written (a start killed while creating it).
TEST_F(HistoryTest, AnExpiryKilledAnywhereIsFinishedAtTheNextStart) {
  GTEST_FLAG_SET(death_test_style, "fast");
  const uint32_t cut = 8000;
  Open();
  std::vector<uint32_t> at;
  while (Used() <= 39600) at.push_back(Add(Numbered(at.size())));
  Hist().histclose();
  const std::string data = ReadFile(dat_), table = ReadFile(idx_);
  const uint32_t usedBefore = Used(), total = usedBefore - 160 - cut;
  size_t kept = 0;
  while (at[kept] < 160 + cut) kept++;
  auto rebuilt = [&](int slots) {
    return "db: rebuilt the table of " + std::to_string(slots) + " slots from " + std::to_string(at.size() - kept) +
           " entries (" + std::to_string(at[kept] - 160 - cut) + " bytes passed over)\n";
  };
  for (uint32_t point : {0u, 2 * cut, total, total + 1}) {
    dir_.Write("hist.dat", data);
    dir_.Write("hist.idx", table);
    killAt = point;
    EXPECT_EXIT((Configure(40000, 16), Hist().histinit(), Hist().SetExpireStepHook(KillAtStep), Add("trigger@x"), _exit(0)),
                ::testing::KilledBySignal(SIGKILL), "")
        << point;
    Open();
    const std::string log = NewLog();
    EXPECT_NE(log.find("db: finished an expiry that was interrupted (" + std::to_string(std::min(point, total)) +
                       " of " + std::to_string(total) + " bytes had moved)\n"),
              npos)
        << point;
    EXPECT_NE(log.find(rebuilt(16)), npos) << point;
    EXPECT_EQ(Word(dat_, 4) | Word(dat_, 16), 0u);
    EXPECT_EQ(Misplaced(at, cut), 0u) << point;
    Hist().histclose();
  }
  // An expiry record whose cut is longer than the history.
  for (auto [offset, word] : {std::pair{4u, 50000u}, {8u, 0u}, {12u, Used()}}) Word(dat_, offset, word);
  Open(40000, 7);
  const std::string log = NewLog();
  EXPECT_NE(log.find("db: hist.idx holds 64 bytes where HistoryTableSize 7 needs 28, rebuilding it\n"), npos);
  EXPECT_NE(log.find("db: expiry record (cut 50000, moved 0, used " + std::to_string(Used()) +
                     ") does not fit the history, ignored\n"), npos);
  EXPECT_NE(log.find(rebuilt(7)), npos);
  EXPECT_EQ(ReadFile(idx_).size(), 28u);
  EXPECT_EQ(Word(dat_, 4), 0u);
  EXPECT_EQ(Misplaced(at, cut), 0u);
  Hist().histclose();
  ASSERT_EQ(unlink(idx_.c_str()), 0);
  Word(dat_, 0, 0);
  Open();
  EXPECT_NE(NewLog().find("db: hist.dat was never initialised, starting a new history\n"), npos);
  EXPECT_EQ(Used(), 160u);
}

TEST_F(HistoryTest, CursorsTakeEachWantedEntryOnceInArrivalOrder) {
  Open(40000, 1);  // one slot: every entry is on one chain
  _histentry c = Cursor(37);  // word 1, bit 5; without a position it waits at the end
  EXPECT_EQ(Next(&c), "-");
  EXPECT_EQ(c.position, 160u);
  const uint32_t mine[4] = {0, 1u << 5, 0, 0}, allButMine[4] = {~0u, ~(1u << 5), ~0u, ~0u};
  const std::string longest(254, 'L');
  const uint32_t first = Add("first@x", kAll, 777, 12, 9);  // at 160, the first byte of data
  Add("not-mine@x", allButMine);
  Add(longest, mine);
  const uint32_t last = Add("", mine);  // the smallest entry, 49 bytes, ends the data
  EXPECT_EQ(Add(std::string(255, 'y')), 0u);
  EXPECT_NE(NewLog().find("exception occured in AddArticleToHistory()"), npos);
  // Misses walk the whole chain: identifiers compare exactly.
  for (auto [id, at] : {std::pair{"", last}, {"FIRST@x", 0u}, {"first@", 0u}, {"first@xy", 0u}}) {
    EXPECT_EQ(Where(id), at) << id;
  }
  EXPECT_EQ(Next(&c), "first@x");
  EXPECT_TRUE(c.position == first && c.header.length == 777 && c.header.spoolOffset == 12 && c.header.spoolFile == 9);
  for (const std::string& id : {longest, std::string(), std::string("-")}) EXPECT_EQ(Next(&c), id);
  EXPECT_EQ(c.position, Used());  // a fruitless step leaves the cursor at the end
  _histentry* e = Hist().FindArticle("first@x");  // only this site's bit was cleared
  EXPECT_EQ(std::vector<uint32_t>(e->header.feedFlags, e->header.feedFlags + 4),
            (std::vector<uint32_t>{~0u, 0xFFFFFFDFu, ~0u, ~0u}));
  History::DestroyEntry(e);
  // An append before the wait of a feeder that found nothing wakes it (the
  // feeds tests see one made during the wait), but only when its site wants
  // the entry; a wake-up of all wakes it whatever came.
  std::thread([&] { Add("not-mine-either@x", allButMine); }).join();
  EXPECT_EQ(WaitNextHistoryEntry(Hist(), c, 50), 0);
  std::thread([&] { Add("between@x", mine); }).join();
  EXPECT_EQ(WaitNextHistoryEntry(Hist(), c, 10000), 1);
  EXPECT_EQ(Next(&c), "between@x");
  EXPECT_EQ(Next(&c), "-");
  std::thread([] { WakeHistoryWaiters(Hist()); }).join();
  EXPECT_EQ(WaitNextHistoryEntry(Hist(), c, 10000), 1);
}

TEST_F(HistoryTest, FeedTypesSelectByLengthAndLag) {
  Open();
  std::vector<uint32_t> at;
  for (uint32_t length : {0, 4095, 4096, 10239, 10240, 51199, 51200, 255999, 256000, 511999, 512000}) {
    at.push_back(Add("x@x", kAll, length));
  }
  for (auto [type, want] : {std::pair{'f', "11111111111"}, {'?', "11111111111"}, {'n', "11110000000"},
                            {'N', "11000000000"}, {'S', "11110000000"}, {'s', "11111100000"},
                            {'M', "11111111000"}, {'m', "11111111110"}, {'b', "00000011111"},
                            {'B', "00000000001"}, {'L', "11110000000"}, {'l', "11111100000"}}) {
    _histentry c = Cursor(0, type);
    std::string got;
    for (uint32_t entry : at) got += HistCheckDistVsEntry(Hist(), entry, &c, 5000, Used()) ? '1' : '0';
    EXPECT_EQ(got, want) << type;
  }
  // One byte past its lag limit 'L' or 'l' drops its place; any type passes
  // over an entry one byte past MaxBacklog x 98 behind the end, keeping it.
  for (auto [type, limit] : {std::pair{'L', 9800u}, {'l', 98000u}, {'f', 490000u}}) {
    _histentry c = Cursor(0, type, at[0]);
    EXPECT_EQ(HistCheckDistVsEntry(Hist(), at[0], &c, 5000, at[0] + limit), 1) << type;
    EXPECT_EQ(HistCheckDistVsEntry(Hist(), at[0], &c, 5000, at[0] + limit + 1), 0) << type;
    EXPECT_EQ(c.position, type == 'f' ? at[0] : 0u) << type;
  }
}

// Two appenders and two feeders for each of three sites (two sharing a flag
// byte; each feeder with a cursor of its own, looking entries up as it goes)
// at once, through expiries: every entry flagged for a site goes to exactly
// one of its feeders unless the cut took it first, and lookups find the right
// entries.
TEST_F(HistoryTest, FeedersAppendersAndLookupsAtOnceThroughExpiries) {
  Open(1000000, 4096);  // about 70 bytes an entry: 18000 run into expiries
  constexpr uint32_t kEntries = 18000, kBits[3] = {0, 1, 127};
  const uint32_t serial = Hist().HistExpireSerial();
  auto flagged = [](uint32_t i, uint32_t bit) { return ((i * 2654435761u ^ bit * 40503u) * 0x2C1B3C6Du) >> 31; };
  std::atomic<uint32_t> next{0}, appended{0};
  std::atomic<bool> done{false};
  std::atomic<int> faults{0};
  std::atomic<int64_t> caughtUp[6] = {-1, -1, -1, -1, -1, -1};  // appends made before a feeder's last fruitless step
  // Appends wait while a feeder lags 1000 entries (70 kB, far less than a
  // cut) behind, so that no expiry takes entries from under it.
  auto keptUp = [&](int64_t i) { return std::all_of(caughtUp, caughtUp + 6, [i](auto& f) { return f + 1000 >= i; }); };
  std::unique_ptr<std::atomic<uint8_t>[]> taken(new std::atomic<uint8_t>[3 * kEntries]());
  std::vector<std::thread> threads, appenders;
  for (int f = 0; f < 6; f++) {
    threads.emplace_back([&, f, site = f / 2] {
      for (_histentry c = Cursor(kBits[site]);;) {
        int64_t seen = appended;
        bool finished = done;
        if (HistGetNextEntry(Hist(), &c, 200000) == 1) {
          uint32_t i = c.header.spoolOffset;
          faults += i >= kEntries || Numbered(i) != c.identifier || !flagged(i, kBits[site]) ||
                    taken[site * kEntries + i]++ != 0;
          _histentry* e = Hist().FindArticle(Numbered((i + f * 7) % kEntries).c_str());  // a lookup beside it all
          faults += e != nullptr && e->header.spoolOffset != (i + f * 7) % kEntries;
          History::DestroyEntry(e);
          continue;
        }
        caughtUp[f] = seen;
        if (finished) return;
        WaitNextHistoryEntry(Hist(), c, 50);
      }
    });
  }
  EXPECT_TRUE(WaitUntil([&] { return keptUp(1000); }));  // every cursor sits at the end
  for (int a = 0; a < 2; a++) {
    appenders.emplace_back([&] {
      for (uint32_t i; (i = next++) < kEntries; appended++) {
        faults += !WaitUntil([&] { return keptUp(i); }, 60s);
        uint32_t flags[4] = {};
        for (uint32_t bit : kBits) flags[bit / 32] |= flagged(i, bit) << (bit % 32);
        faults += Add(Numbered(i), flags, i % 7000 + 1, i) == 0;
      }
    });
  }
  for (auto& t : appenders) t.join();
  done = true;
  for (auto& t : threads) t.join();
  EXPECT_EQ(faults, 0);
  EXPECT_GE(Hist().HistExpireSerial() - serial, 1u);
  uint32_t lost = 0;
  for (uint32_t i = 0; i < kEntries; i++) {
    for (int s = 0; s < 3; s++) lost += flagged(i, kBits[s]) && !taken[s * kEntries + i] && Where(Numbered(i)) != 0;
  }
  EXPECT_EQ(lost, 0u);
}

}  // namespace
