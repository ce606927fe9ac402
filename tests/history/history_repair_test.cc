// Repairs at start-up: a history whose process was killed (while creating
// the files, or in the middle of an expiry) and a table of another size
// must open as a whole database, with every entry found where it stands.
#include <csignal>
#include <string>
#include <vector>

#include "history/history_format.h"
#include "history_fixture.h"

namespace {

using namespace hist;

std::string Id(size_t i) { return "repair" + std::to_string(i) + "@example.org"; }

struct Written {
  std::string id;
  uint32_t offset;
};

// Appends entries, each recording its index in its spool fields, until the
// data is past `usedAbove`; returns them in order.
std::vector<Written> Fill(uint32_t usedAbove, uint32_t firstUsed = 160) {
  const uint32_t flags[4] = {5, 0, 0, 0};
  std::vector<Written> written;
  for (uint32_t used = firstUsed; used <= usedAbove;) {
    std::string id = Id(written.size());
    EXPECT_EQ(AddArticleToHistory(id.c_str(), flags, uint32_t(written.size()), 7, 9), 1);
    written.push_back({id, used});
    used += 49 + uint32_t(id.size());
  }
  return written;
}

// Every entry at or past `removedBelow` is found `shift` bytes lower with
// its own fields; the others are not found.
void ExpectFound(const std::vector<Written>& written, uint32_t removedBelow, uint32_t shift) {
  size_t wrong = 0;
  for (size_t i = 0; i < written.size(); i++) {
    _histentry* e = FindArticle(written[i].id.c_str());
    bool survives = written[i].offset >= removedBelow;
    bool right = survives ? e != nullptr && e->position == written[i].offset - shift && e->header.spoolOffset == i &&
                                e->header.length == 7 && e->header.spoolFile == 9
                          : e == nullptr;
    if (!right && wrong++ < 5) ADD_FAILURE() << written[i].id << (survives ? " lost" : " not removed");
    if (e != nullptr) DestroyEntry(e);
  }
  EXPECT_EQ(wrong, 0u);
}

TEST_F(HistoryTest, TableOfAnotherSizeIsRebuiltFromTheEntries) {
  Open({40000, 16, true});
  std::vector<Written> written = Fill(20000);
  Close();
  // More slots, then fewer: each time every entry is found again, and the
  // file takes the new size (so the next start needs no rebuild).
  uint32_t before = 16;
  for (uint32_t slots : {61u, 7u}) {
    Open({40000, slots, true});
    EXPECT_NE(Log().find("db: hist.idx holds " + std::to_string(before * 4) +
                         " bytes where HistoryTableSize " + std::to_string(slots) + " needs " +
                         std::to_string(slots * 4) + ", rebuilding it\n"),
              std::string::npos);
    EXPECT_NE(Log().find("db: rebuilt the table of " + std::to_string(slots) + " slots from " +
                         std::to_string(written.size()) + " entries (0 bytes passed over)\n"),
              std::string::npos);
    EXPECT_EQ(ReadFile(TablePath()).size(), slots * 4);
    ExpectFound(written, 0, 0);
    // Each entry names its new slot and links back within it.
    for (const Written& w : written) EXPECT_EQ(Word(DataPath(), w.offset + 8), SlotOf(w.id));
    Close();
    before = slots;
  }
}

// What a process killed while creating the files once left behind: a data
// file of full size whose header was never written.
TEST_F(HistoryTest, NeverInitialisedDataFileStartsANewDatabase) {
  dir_.Write("hist.dat", std::string(40000, '\0'));
  dir_.Write("hist.dat.new", "left by a killed start");
  Open({40000, 16, true});
  EXPECT_NE(Log().find("db: hist.dat was never initialised, starting a new history\n"), std::string::npos);
  EXPECT_EQ(Used(), 160u);
  EXPECT_EQ(Add("first@x"), 160u);
  EXPECT_EQ(Where("first@x"), 160u);
  EXPECT_FALSE(FileExists(DataPath() + ".new"));
}

// Where the expiry in the child is killed: at the first report whose
// bytes moved reach `killAt` (see SetExpireStepHook).
uint32_t killAt = 0;
void KillAtStep(uint32_t done, uint32_t) {
  if (done >= killAt) kill(getpid(), SIGKILL);
}

// A child process opens a full history and is killed at a chosen point of
// the expiry its next append runs; the next start must find every entry
// behind the cut at its new place, and nothing of the expiry left over.
TEST_F(HistoryTest, AnExpiryKilledAnywhereIsFinishedAtTheNextStart) {
  GTEST_FLAG_SET(death_test_style, "fast");
  const HistoryConfig config{8000000, 100003, true};
  const uint32_t cut = 1600000;
  Open(config);
  std::vector<Written> written = Fill(7920000);
  Close();
  const std::string data = ReadFile(DataPath()), table = ReadFile(TablePath());
  const uint32_t usedBefore = Used(), total = usedBefore - 160 - cut;
  // The record written, half of the data moved, all of it moved, the new
  // end stored: each leaves the record in the header.
  for (uint32_t point : {0u, total / 2, total, total + 1}) {
    dir_.Write("hist.dat", data);
    dir_.Write("hist.idx", table);
    killAt = point;
    EXPECT_EXIT(
        {
          Configure(config);
          histinit();
          SetExpireStepHook(KillAtStep);
          AddArticleToHistory("trigger@x", kNoSites, 0, 0, 0);
          _exit(0);
        },
        ::testing::KilledBySignal(SIGKILL), "")
        << point;
    EXPECT_EQ(Word(DataPath(), kExpireCutAt), cut) << point;
    Open(config);
    ExpectFound(written, 160 + cut, cut);
    EXPECT_EQ(Used(), usedBefore - cut);
    EXPECT_EQ(Word(DataPath(), kExpireCutAt), 0u);
    EXPECT_EQ(Word(DataPath(), kTableStaleAt), 0u);
    Close();
  }
  EXPECT_NE(Log().find("db: finished an expiry that was interrupted (0 of " + std::to_string(total)),
            std::string::npos);
}

}  // namespace
