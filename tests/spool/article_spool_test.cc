// Storing articles: the stored form and its history entry, the Date: and
// Path: rules with their log lines, duplicates and innoculation, when a
// spool file is closed and how the next is numbered, a failed write, and
// the shut-down.
#include <gtest/gtest.h>

#include <fstream>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <thread>

#include "base/log.h"
#include "distrib/distrib.h"
#include "spool/spool_dir.h"
#include "spool/spool_fixture.h"

namespace {

constexpr uint32_t kDay = 86400;

// The stored form back to back in one file, the history entry pointing at
// it, and each Date: and Path: rule at and just past its limit: the
// outcome, the exact log line, and for a refusal nothing written or seen.
TEST_F(SpoolTest, StoredFormAndTheDateAndPathRules) {
  Start("MaxArticleAge = 3\n");
  auto padded = [](const std::string& date, size_t length) {
    return Article("", date + " (" + std::string(length - date.size() - 3, 'c') + ")");
  };
  const std::string noDate = "peer.test:AddArticleToFile(): no ", old = "peer.test: AddArticleToFile(): article too old (";
  const std::string unparsed = "peer.test: Date: could not parse: ", epoch = "Thu, 01 Jan 1970 00:00:0";
  struct Case { std::string article; bool stored; std::string log; bool terminated = true; };
  const Case cases[] = {
      // Date: as the last line, ended by the CR LF before the "." line; Path:
      // further down, and a body line that looks like a header.
      {"Path: x!y\r\nNewsgroups: g\r\nDate: " + DateText(now - 60), true, ""},
      {"Date: " + DateText(now) + "\r\nNewsgroups: g\r\nPath: a!b\r\n\r\nPath: not this one", true, ""},
      {"Path: x!y\r\nNewsgroups: g\r\n\r\nBody.", false, noDate + "date line found"},
      {"Path: x!y\r\ndate: " + DateText(now) + "\r\n\r\nBody.", false, noDate + "date line found"},
      {"Path: x!y\r\nDate: " + DateText(now), false, noDate + "termination for date line", false},
      {padded(DateText(now), 80), false, ""},
      {padded(DateText(now - 4 * kDay), 79), false, old + "4 days old)"},
      {padded(DateText(now - 60), 79), true, ""},
      {Article("", DateText(now - 3 * kDay)), true, ""},
      {Article("", DateText(now - 3 * kDay - 1)), false, old + "3 days old)"},
      {Article("", DateText(now + 30 * kDay)), true, ""},
      {Article("", DateText(now - 315360000)), true, ""},  // ten years or more: taken for the future
      {Article("", DateText(now - 315360000 + 1)), false, old + "3649 days old)"},
      {Article("", "xyzzy plugh"), true, unparsed + "xyzzy plugh (accepted anyway)"},
      {Article("", epoch + "5 +0000"), true, unparsed + epoch + "5 +0000 (accepted anyway)"},
      {Article("", epoch + "6 +0000"), true, ""},
      {"Date: " + DateText(now) + "\r\nXPath: a\r\n\r\nBody.", false, "peer.test: AddArticleToFile(): no path line found"},
  };
  const uint64_t written = GetSpoolFigures().bytesWritten;
  std::string file;
  NewLog();
  for (size_t i = 0; i < std::size(cases); i++) {
    const Case& c = cases[i];
    const std::string id = std::to_string(i) + "@test";
    EXPECT_EQ(Store(id, c.article, c.terminated), c.stored) << i;
    EXPECT_EQ(NewLog(), c.log.empty() ? "" : c.log + "\n") << i;
    EXPECT_EQ(Seen(id), c.stored) << i;
    std::array<uint32_t, 3> place{now, uint32_t(file.size()), uint32_t(Stamped(c.article).size())};
    EXPECT_EQ(Place(id), c.stored ? place : decltype(place){}) << i;
    if (c.stored) file += Stamped(c.article);
  }
  EXPECT_EQ(ReadFile(SpoolPath(now)), file);
  EXPECT_EQ(file.compare(0, 22, "Path: relay.test!x!y\r\n"), 0);
  EXPECT_NE(file.find("\r\nPath: relay.test!a!b\r\n\r\nPath: not this one"), std::string::npos);
  EXPECT_EQ(GetSpoolFigures().bytesWritten - written, file.size());
}

// A copy stored meanwhile makes the offered one a duplicate: counted as
// refused, with the rejection that its reply adds back taken off first.
TEST_F(SpoolTest, DuplicatesAndInnoculationCountAsRefused) {
  Start();
  _distrib* test = BuildDistrib(3, "test.*");
  ASSERT_TRUE(Store("dup@test", Article("dup@test", DateText(now))));
  EXPECT_EQ(Entry("dup@test").feedFlags[0], 1u << 3);  // from the article's own groups
  DeleteDistrib(test);
  const std::string file = ReadFile(SpoolPath(now));
  rejected_ = 5;
  EXPECT_FALSE(Store("dup@test", Article("dup@test", DateText(now), "Another body.")));
  EXPECT_EQ(Counts(), std::pair(1u, 4u));
  // Innoculation marks a key seen; no reply follows, so only refusals count.
  uint32_t key[2];
  Key("inno@test", key);
  EXPECT_EQ(InnoculateHistory(key, Peer()), 1);
  EXPECT_EQ(InnoculateHistory(key, Peer()), 0);
  EXPECT_EQ(Counts(), std::pair(2u, 4u));
  EXPECT_FALSE(InHistory("inno@test"));
  EXPECT_FALSE(Store("inno@test", Article("inno@test", DateText(now))));
  EXPECT_EQ(Counts(), std::pair(3u, 3u));
  EXPECT_EQ(ReadFile(SpoolPath(now)), file);
  EXPECT_EQ(NewLog(), "");
}

// A file is closed before the first article that finds it over
// MaxArticleFileSize, or holding over 100 bytes and created over an hour
// ago. A new file takes the clock's second, or one past the last number
// when that is not behind the clock, so numbers never repeat or go back.
TEST_F(SpoolTest, WhenFilesAreClosedAndHowTheNextIsNumbered) {
  Start("MaxArticleFileSize = 1000\n");
  const uint32_t t = now, files = GetSpoolFigures().filesOnDisk;
  struct Step { uint32_t clock, size, file, offset; };  // clock and file from t
  const Step steps[] = {
      {0, 500, 0, 0},         {0, 500, 0, 500},
      {0, 250, 0, 1000},       // finds exactly 1000 bytes: not over
      {0, 250, 1, 0},          // finds 1250: a new file in the same second
      {3600, 250, 1, 250},     // created exactly an hour ago: not over
      {3601, 100, 3601, 0},    // over an hour: the clock names the new file
      {10801, 400, 3601, 100}, // 100 bytes are not over 100
      {0, 600, 3601, 500},     // a clock set back makes no file old
      {0, 100, 3602, 0},       // nor takes a number back
  };
  for (size_t i = 0; i < std::size(steps); i++) {
    now = t + steps[i].clock;
    const std::string id = std::to_string(i) + "@test";
    ASSERT_TRUE(Store(id, Sized(steps[i].size))) << i;
    EXPECT_EQ(Place(id), (std::array<uint32_t, 3>{t + steps[i].file, steps[i].offset, steps[i].size})) << i;
  }
  EXPECT_EQ(ReadFile(SpoolPath(t)).size(), 1250u);
  EXPECT_EQ(DescriptorsOn(SpoolPath(t)), 0);  // a closed file is let go
  EXPECT_EQ(GetSpoolFigures().filesOnDisk - files, 4u);
  // A restart begins a new file, numbered past the highest in the folder.
  dir_.Write("spool/" + std::to_string(t + 5000) + ".art", "precious");
  histclose();
  ASSERT_EQ(ArticleInit(), 1);
  ASSERT_TRUE(Store("restarted@test", Sized(1001)));
  EXPECT_EQ(Entry("restarted@test").spoolFile, t + 5001);
  // A file put there behind the relay's back is never truncated: the
  // creation fails and its number is spent.
  dir_.Write("spool/" + std::to_string(t + 5002) + ".art", "also precious");
  NewLog();
  EXPECT_EQ(AddArticleToFile(Request("clash@test", Sized(100))), StoreResult::kWriteFailed);
  EXPECT_EQ(NewLog(), "article: spool file " + std::to_string(t + 5002) +
                          ".art already exists, left alone\narticle: Write failed, out of disk space?\n");
  EXPECT_FALSE(Seen("clash@test"));
  ASSERT_TRUE(Store("after@test", Sized(100)));
  EXPECT_EQ(Entry("after@test").spoolFile, t + 5003);
  EXPECT_EQ(ReadFile(SpoolPath(t + 5000)), "precious");
  EXPECT_EQ(ReadFile(SpoolPath(t + 5002)), "also precious");
}

TEST_F(SpoolTest, FailedWriteLeavesNoTraceAndReleasesTheLock) {
  signal(SIGXFSZ, SIG_IGN);  // a write past the size limit then fails with EFBIG
  Start();
  ASSERT_TRUE(Store("w1@test", Sized(2000)));
  const std::string before = ReadFile(SpoolPath(now));
  rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  rlimit limit{2100, saved.rlim_max};  // the next article is cut short
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
  NewLog();
  StoreResult result = AddArticleToFile(Request("w2@test", Sized(500)));
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0);
  EXPECT_EQ(result, StoreResult::kWriteFailed);
  EXPECT_EQ(NewLog(), "article: Write failed, out of disk space?\n");
  EXPECT_FALSE(InHistory("w2@test"));
  EXPECT_FALSE(Seen("w2@test"));
  EXPECT_EQ(ReadFile(SpoolPath(now)), before);
  ASSERT_TRUE(Store("w3@test", Sized(500)));
  EXPECT_EQ(Entry("w3@test").spoolOffset, 2000u);
}

// Shut-down locks insertions out for good, so it runs in a child: the spool
// file, the seen keys and the history go to disk (a failure is logged and
// the rest goes on), then the log and the spool file are closed.
TEST_F(SpoolTest, CloseFilesWritesBackClosesAndLocksOut) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  Start("MaxKeepFileCount = 0\n");
  ASSERT_TRUE(Store("last@test", Article("last@test", DateText(now))));
  const std::string file = std::to_string(now) + ".art";
  auto shutDown = [&] {
    std::string failed;
    auto check = [&](bool ok, const char* what) { failed += ok ? "" : std::string(what) + "\n"; };
    NewLog();
    SeenClose();  // the seen database can no longer be written back
    CloseFiles();
    check(NewLog() == "seen: could not write the seen database to disk: Bad file descriptor\nbase: shutting down\n",
          "log lines");
    LogLine("after the end");
    check(NewLog().empty(), "log written after it was closed");
    const uint32_t flags[4] = {1, 0, 0, 0};
    check(AddArticleToHistory("late@test", flags, 0, 10, 1) == 0, "history open");
    check(DescriptorsOn(spool_ + "/" + file) == 0, "spool file open");
    check(DirExpirePass() == std::vector<std::string>{file}, "spool file in use");
    // A store now waits for the lock for good: its thread goes to sleep.
    std::atomic<int> tid{0};
    std::atomic<bool> done{false};
    std::thread([&] {
      tid = int(syscall(SYS_gettid));
      done = Store("later@test", Article("later@test", DateText(now))) >= 0;
    }).detach();
    std::string pid, name, state;
    for (int i = 0; i < 100000 && !done && state != "S"; i++) {
      std::ifstream("/proc/self/task/" + std::to_string(tid) + "/stat") >> pid >> name >> state;
    }
    check(!done, "a store went through after the shut-down");
    fputs(failed.c_str(), stderr);
    _exit(failed.empty() ? 0 : 1);
  };
  EXPECT_EXIT(shutDown(), testing::ExitedWithCode(0), "^$");
}

}  // namespace
