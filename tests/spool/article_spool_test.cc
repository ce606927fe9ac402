// Storing articles on real files. A write that fails on a full disk is seen
// by the relay in tests/service.
#include <gtest/gtest.h>

#include <future>

#include "spool/spool_dir.h"
#include "spool/spool_fixture.h"

namespace {

constexpr uint32_t kDay = 86400;

// Each Date: and Path: rule at and just past its limit: the outcome, the
// log line, and for a refusal nothing written or seen.
TEST_F(SpoolTest, WhatIsStoredWhatIsRefusedAndHowItIsCounted) {
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
      {padded(DateText(now - 60), 79), true, ""},
      {Article("", DateText(now - 3 * kDay)), true, ""},
      {Article("", DateText(now - 3 * kDay - 1)), false, old + "3 days old)"},
      {Article("", DateText(now - 315360000)), true, ""},  // ten years or more: taken for the future
      {Article("", DateText(now - 315360000 + 1)), false, old + "3649 days old)"},
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
  EXPECT_EQ(file.compare(0, 22, "Path: relay.test!x!y\r\n"), 0);
  EXPECT_NE(file.find("\r\nPath: relay.test!a!b\r\n\r\nPath: not this one"), std::string::npos);
  EXPECT_EQ(GetSpoolFigures().bytesWritten - written, file.size());
  // A duplicate counts as refused, less the rejection its reply adds; a
  // repeated innoculation, answered by no reply, only counts as refused.
  rejected_ = 5;
  EXPECT_FALSE(Store("0@test", Article("0@test", DateText(now), "Another body.")));
  EXPECT_EQ(std::pair(refused_.load(), rejected_.load()), std::pair(1u, 4u));
  uint32_t key[2];
  Key("inno@test", key);
  EXPECT_EQ(InnoculateHistory(key, PeerCounters{&refused_, &rejected_}), 1);
  EXPECT_EQ(InnoculateHistory(key, PeerCounters{&refused_, &rejected_}), 0);
  EXPECT_EQ(std::pair(refused_.load(), rejected_.load()), std::pair(2u, 4u));
  EXPECT_FALSE(Store("inno@test", Article("inno@test", DateText(now))));
  EXPECT_EQ(std::pair(refused_.load(), rejected_.load()), std::pair(3u, 3u));
  EXPECT_EQ(Place("inno@test"), (std::array<uint32_t, 3>{}));
  EXPECT_EQ(ReadFile(SpoolPath(now)), file);
  EXPECT_EQ(NewLog(), "");
}

// A batch is stored as its articles would be one by one: the same checks
// (a second copy within the batch is seen), the same places, a new file
// where an article would have started one, and the same bytes.
TEST_F(SpoolTest, ABatchIsStoredAsItsArticlesWouldBeOneByOne) {
  Start("MaxArticleFileSize = 1500\n");
  const uint32_t t = now;
  const std::string b1 = Sized(1000), b2 = Sized(1000), b4 = Sized(600), noPath = Article("b3@test", DateText(now));
  const StoreRequest batch[] = {Request("b1@test", b1), Request("b2@test", b2), Request("b1@test", b1),
                                Request("b3@test", "X" + noPath), Request("b4@test", b4)};
  StoreResult results[5];
  articleSpool_.AddArticlesToFile(batch, 5, results);
  EXPECT_EQ(std::vector<StoreResult>(results, results + 5),
            (std::vector<StoreResult>{StoreResult::kStored, StoreResult::kStored, StoreResult::kRefused,
                                      StoreResult::kRefused, StoreResult::kStored}));
  EXPECT_EQ(refused_, 1u);  // the second copy
  EXPECT_EQ(NewLog(), "peer.test: AddArticleToFile(): no path line found\n");
  EXPECT_EQ(Place("b1@test"), (std::array<uint32_t, 3>{t, 0, 1000}));
  EXPECT_EQ(Place("b2@test"), (std::array<uint32_t, 3>{t, 1000, 1000}));
  EXPECT_EQ(Place("b4@test"), (std::array<uint32_t, 3>{t + 1, 0, 600}));  // 2000 bytes are over 1500
  EXPECT_EQ(ReadFile(SpoolPath(t)), Stamped(b1) + Stamped(b2));
  EXPECT_EQ(ReadFile(SpoolPath(t + 1)), Stamped(b4));
  EXPECT_TRUE(Seen("b4@test") && !Seen("b3@test"));
}

// A new file takes the clock's second, or one past the last number when
// that is not behind the clock: numbers never repeat or go back.
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
  // A restart numbers past the highest spool name in the folder; names that
  // only look like one, or overflow 32 bits, do not count.
  const std::string high = std::to_string(t + 6000);
  for (const std::string& name : {"0" + std::to_string(t + 5000) + ".art", std::to_string((1ull << 32) + t + 6000) +
                                  ".art", "x" + high + ".art", high + "x.art", high + ".art.bak", high + ".ART"}) {
    dir_.Write("spool/" + name, "");
  }
  history_.histclose();
  ASSERT_EQ(ArticleInit(), 1);
  ASSERT_TRUE(Store("restarted@test", Sized(1001)));
  EXPECT_EQ(Entry("restarted@test").spoolFile, t + 5001);
  // A file put there behind the relay's back is never truncated.
  dir_.Write("spool/" + std::to_string(t + 5002) + ".art", "precious");
  NewLog();
  EXPECT_FALSE(Store("clash@test", Sized(100)));
  EXPECT_EQ(NewLog(), "article: spool file " + std::to_string(t + 5002) +
                          ".art already exists, left alone\narticle: Write failed, out of disk space?\n");
  EXPECT_FALSE(Seen("clash@test"));
  EXPECT_EQ(ReadFile(SpoolPath(t + 5002)), "precious");
}

// Shut-down writes back what it can, closes everything, and locks
// insertions out: a later store is turned away without touching anything.
TEST_F(SpoolTest, CloseFilesWritesBackClosesAndLocksOut) {
  Start("MaxKeepFileCount = 0\n");
  ASSERT_TRUE(Store("last@test", Article("last@test", DateText(now))));
  NewLog();
  seen_.SeenClose();  // the seen database can no longer be written back
  CloseFiles();
  EXPECT_EQ(NewLog(), "seen: could not write the seen database to disk: Bad file descriptor\nbase: shutting down\n");
  base_.log.LogLine("after the end");
  EXPECT_EQ(NewLog(), "");
  const uint32_t flags[4] = {1, 0, 0, 0};
  EXPECT_EQ(history_.AddArticleToHistory("late@test", flags, 0, 10, 1), 0);  // the history is closed
  EXPECT_EQ(DescriptorsOn(SpoolPath(now)), 0);
  EXPECT_EQ(DirExpirePass(), std::vector<std::string>{std::to_string(now) + ".art"});
  EXPECT_EQ(Offer("l@test", Article("l@test", DateText(now))), StoreResult::kClosed);
  EXPECT_EQ(InnoculateHistory(std::array<uint32_t, 2>{1, 2}.data(), PeerCounters{&refused_, &rejected_}), 0);
  EXPECT_EQ(refused_, 0u);
  EXPECT_FALSE(FileExists(SpoolPath(now + 1)));
}

}  // namespace
