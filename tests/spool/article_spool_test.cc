// Storing articles: the stored form and its history entry, the Date: and
// Path: refusals with their log lines, duplicates, innoculation, and when
// a spool file is closed and how the next one is named.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <filesystem>
#include <map>
#include <sys/resource.h>
#include <thread>
#include <vector>
#include <string>

#include "dedupe/seen.h"
#include "distrib/distrib.h"
#include "history/history.h"
#include "spool/article_spool.h"
#include "spool/spool_dir.h"
#include "spool/spool_fixture.h"
#include "support/temp_dir.h"

namespace {

constexpr uint32_t kDay = 86400;

TEST_F(SpoolTest, StoredFormCarriesTheStampAndTheHistoryPointsAtIt) {
  Start();
  _distrib* wantsTest = BuildDistrib(3, "test.*");
  _distrib* wantsOther = BuildDistrib(40, "other.*");
  ASSERT_NE(wantsTest, nullptr);
  ASSERT_NE(wantsOther, nullptr);

  // Path: is the very first line and Date: the second header.
  std::string first = Article("first@test", DateText(now - 3600));
  ASSERT_EQ(first.compare(0, 11, "Path: x!y\r\n"), 0);
  // Path: further down, and a body line that looks like a header.
  std::string second = "Date: " + DateText(now - 60) +
                       "\r\nNewsgroups: other.group\r\nPath: a!b!c\r\nSubject: s\r\n\r\nPath: not this one";
  ASSERT_EQ(Store("first@test", first), 1);
  ASSERT_EQ(Store("second@test", second), 1);

  bool found1 = false, found2 = false;
  HistEntryHeader e1 = Entry("first@test", &found1);
  HistEntryHeader e2 = Entry("second@test", &found2);
  ASSERT_TRUE(found1);
  ASSERT_TRUE(found2);
  EXPECT_EQ(e1.spoolFile, now);
  EXPECT_EQ(e2.spoolFile, now);
  EXPECT_EQ(e1.spoolOffset, 0u);
  EXPECT_EQ(e1.length, first.size() + 11);
  EXPECT_EQ(e2.spoolOffset, e1.length);
  EXPECT_EQ(e2.length, second.size() + 11);

  std::string stored1 = SpoolBytes(e1.spoolFile, e1.spoolOffset, e1.length);
  std::string stored2 = "Date: " + DateText(now - 60) +
                        "\r\nNewsgroups: other.group\r\nPath: relay.test!a!b!c\r\nSubject: s\r\n\r\nPath: not this one";
  EXPECT_EQ(stored1.substr(0, 22), "Path: relay.test!x!y\r\n");
  EXPECT_EQ(stored1, Stamped(first));
  EXPECT_EQ(SpoolBytes(e2.spoolFile, e2.spoolOffset, e2.length), stored2);
  // Back to back, nothing else in the file.
  EXPECT_EQ(ReadFile(SpoolPath(now)), stored1 + stored2);

  // Feed flags were computed from the article's own groups.
  EXPECT_EQ(e1.feedFlags[0], 1u << 3);
  EXPECT_EQ(e1.feedFlags[1], 0u);
  EXPECT_EQ(e2.feedFlags[0], 0u);
  EXPECT_EQ(e2.feedFlags[1], 1u << 8);
  EXPECT_TRUE(Seen("first@test"));
  EXPECT_TRUE(Seen("second@test"));
  DeleteDistrib(wantsTest);
  DeleteDistrib(wantsOther);
}

TEST_F(SpoolTest, RefusalsLogTheirReasonAndWriteNothing) {
  Start();
  ASSERT_EQ(Store("anchor@test", Article("anchor@test", DateText(now))), 1);
  const std::string before = ReadFile(SpoolPath(now));

  struct Case {
    std::string id, article, logLine;
  };
  const std::string oldDate = DateText(now - 8 * kDay - 60);
  const Case cases[] = {
      {"nodate@test", "Path: x!y\r\nNewsgroups: test.group\r\n\r\nBody.",
       "peer.test:AddArticleToFile(): no date line found\n"},
      {"lower@test", "Path: x!y\r\ndate: " + DateText(now) + "\r\nNewsgroups: test.group\r\n\r\nBody.",
       "peer.test:AddArticleToFile(): no date line found\n"},
      {"old@test", Article("old@test", oldDate), "peer.test: AddArticleToFile(): article too old (8 days old)\n"},
      {"nopath@test", "Date: " + DateText(now) + "\r\nNewsgroups: test.group\r\nXPath: a\r\n\r\nno path here",
       "peer.test: AddArticleToFile(): no path line found\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    size_t logSize = Log().size();
    EXPECT_EQ(Store(c.id, c.article), 0);
    std::string added = Log().substr(logSize);
    EXPECT_EQ(added.size() >= c.logLine.size() ? added.substr(added.size() - c.logLine.size()) : added, c.logLine);
    EXPECT_EQ(std::count(added.begin(), added.end(), '\n'), 1);
    bool found = true;
    Entry(c.id, &found);
    EXPECT_FALSE(found);
    EXPECT_FALSE(Seen(c.id));
  }

  // A date line that the text ends in, with nothing after it to end it.
  size_t logSize = Log().size();
  std::string unended = "Path: x!y\r\nNewsgroups: test.group\r\nDate: " + DateText(now);
  EXPECT_EQ(Store("unended@test", unended, false), 0);
  EXPECT_NE(Log().find("peer.test:AddArticleToFile(): no termination for date line\n", logSize),
            std::string::npos);

  // Date values: 80 characters refuse without a log line; 79 are parsed (an
  // old date of 79 characters is refused as too old).
  auto padded = [](const std::string& date, size_t length) {
    std::string comment = " (" + std::string(length - date.size() - 3, 'c') + ")";
    return date + comment;
  };
  ASSERT_EQ(padded(oldDate, 79).size(), 79u);
  logSize = Log().size();
  EXPECT_EQ(Store("long80@test", Article("long80@test", padded(DateText(now), 80))), 0);
  EXPECT_EQ(Log().size(), logSize);
  EXPECT_EQ(Store("old79@test", Article("old79@test", padded(oldDate, 79))), 0);
  EXPECT_NE(Log().find("article too old (8 days old)", logSize), std::string::npos);

  EXPECT_EQ(ReadFile(SpoolPath(now)), before);

  // Accepted: 79 characters of a fresh date (parsed: no "could not parse"
  // line), a date in the future, an unreadable date, exactly MaxArticleAge
  // days, and ten years or more (taken for a date in the future).
  logSize = Log().size();
  EXPECT_EQ(Store("ok79@test", Article("ok79@test", padded(DateText(now - 60), 79))), 1);
  EXPECT_EQ(Store("future@test", Article("future@test", DateText(now + 30 * kDay))), 1);
  EXPECT_EQ(Store("sevendays@test", Article("sevendays@test", DateText(now - 7 * kDay))), 1);
  EXPECT_EQ(Store("tenyears@test", Article("tenyears@test", DateText(now - 315360000))), 1);
  EXPECT_EQ(Log().size(), logSize);
  EXPECT_EQ(Store("almostten@test", Article("almostten@test", DateText(now - 315360000 + 1))), 0);
  EXPECT_NE(Log().find("article too old (3649 days old)", logSize), std::string::npos);
  logSize = Log().size();
  EXPECT_EQ(Store("garbled@test", Article("garbled@test", "xyzzy plugh")), 1);
  EXPECT_NE(Log().find("peer.test: Date: could not parse: xyzzy plugh (accepted anyway)\n", logSize),
            std::string::npos);
  // A time of 5 seconds or less into 1970 counts as unreadable too.
  logSize = Log().size();
  EXPECT_EQ(Store("epoch@test", Article("epoch@test", "Thu, 01 Jan 1970 00:00:05 +0000")), 1);
  EXPECT_NE(Log().find("peer.test: Date: could not parse: Thu, 01 Jan 1970 00:00:05 +0000 (accepted anyway)\n",
                       logSize),
            std::string::npos);
  EXPECT_EQ(Store("epoch6@test", Article("epoch6@test", "Thu, 01 Jan 1970 00:00:06 +0000")), 1);
  EXPECT_EQ(Log().find("could not parse: Thu, 01 Jan 1970 00:00:06", logSize), std::string::npos);
  for (const char* id : {"epoch@test", "ok79@test", "future@test", "sevendays@test", "tenyears@test", "garbled@test"}) {
    bool found = false;
    HistEntryHeader e = Entry(id, &found);
    EXPECT_TRUE(found) << id;
    EXPECT_EQ(SpoolBytes(e.spoolFile, e.spoolOffset, 6 + 11), std::string("Path: ") + kStamp) << id;
  }
}

TEST_F(SpoolTest, AgeLimitFollowsMaxArticleAge) {
  Start("MaxArticleAge = 2\n");
  EXPECT_EQ(Store("two@test", Article("two@test", DateText(now - 2 * kDay))), 1);
  size_t logSize = Log().size();
  EXPECT_EQ(Store("three@test", Article("three@test", DateText(now - 3 * kDay))), 0);
  EXPECT_NE(Log().find("article too old (3 days old)", logSize), std::string::npos);
}

// A date line that is the article's last line ends at the CR LF that came
// before the "." line.
TEST_F(SpoolTest, DateAsLastHeaderLineOfABodilessArticle) {
  Start();
  std::string article = "Path: x!y\r\nNewsgroups: test.group\r\nDate: " + DateText(now - 60);
  EXPECT_EQ(Store("bodiless@test", article), 1);
  bool found = false;
  HistEntryHeader e = Entry("bodiless@test", &found);
  ASSERT_TRUE(found);
  EXPECT_EQ(SpoolBytes(e.spoolFile, e.spoolOffset, e.length), Stamped(article));
}

TEST_F(SpoolTest, DuplicatesAndInnoculationCountAsRefused) {
  Start();
  std::string article = Article("dup@test", DateText(now));
  ASSERT_EQ(Store("dup@test", article), 1);
  HistEntryHeader original = Entry("dup@test");
  std::string spool = ReadFile(SpoolPath(now));

  // The reception counts the rejection after a refusal; the spool moves one
  // from rejected to refused beforehand.
  peer_->rejected = 5;
  peer_->refused = 0;
  EXPECT_EQ(Store("dup@test", article), 0);
  EXPECT_EQ(peer_->refused.load(), 1u);
  EXPECT_EQ(peer_->rejected.load(), 4u);
  EXPECT_EQ(ReadFile(SpoolPath(now)), spool);
  EXPECT_EQ(Entry("dup@test").spoolOffset, original.spoolOffset);

  // Innoculation: no reply follows it, so only the refusal is counted.
  peer_->rejected = 3;
  peer_->refused = 0;
  EXPECT_EQ(InnoculateHistory(Key("inno@test").data(), Peer()), 1);
  EXPECT_TRUE(Seen("inno@test"));
  EXPECT_EQ(peer_->refused.load(), 0u);
  EXPECT_EQ(InnoculateHistory(Key("inno@test").data(), Peer()), 0);
  EXPECT_EQ(InnoculateHistory(Key("dup@test").data(), Peer()), 0);
  EXPECT_EQ(peer_->refused.load(), 2u);
  EXPECT_EQ(peer_->rejected.load(), 3u);
  bool found = true;
  Entry("inno@test", &found);
  EXPECT_FALSE(found);

  // An innoculated article that arrives after all is a duplicate.
  EXPECT_EQ(Store("inno@test", Article("inno@test", DateText(now))), 0);
  EXPECT_EQ(peer_->refused.load(), 3u);
  EXPECT_EQ(peer_->rejected.load(), 2u);
  EXPECT_EQ(ReadFile(SpoolPath(now)), spool);
}

TEST_F(SpoolTest, FileIsClosedBeforeTheFirstArticleThatFindsItOverTheLimit) {
  Start("MaxArticleFileSize = 1000\n");
  // 250 stored bytes each: the fifth article finds exactly 1000 bytes (not
  // more) and still goes in; the sixth finds 1250 and starts a new file.
  const uint32_t first = now;
  for (int i = 0; i < 7; i++) {
    std::string id = "a" + std::to_string(i) + "@test";
    ASSERT_EQ(Store(id, ArticleOfSize(DateText(now), 250)), 1);
    now++;
  }
  for (int i = 0; i < 7; i++) {
    HistEntryHeader e = Entry("a" + std::to_string(i) + "@test");
    EXPECT_EQ(e.length, 250u);
    EXPECT_EQ(e.spoolFile, i < 5 ? first : first + 5) << i;
    EXPECT_EQ(e.spoolOffset, uint32_t(i < 5 ? i : i - 5) * 250) << i;
  }
  EXPECT_EQ(ReadFile(SpoolPath(first)).size(), 1250u);
  EXPECT_EQ(ReadFile(SpoolPath(first + 5)).size(), 500u);
}

// A new file takes the current second, or one past the last number when
// that is not behind the clock: numbers never repeat and never go back.
TEST_F(SpoolTest, FileNumbersFollowTheClockAndNeverRepeat) {
  Start("MaxArticleFileSize = 0\n");
  const uint32_t first = now;
  auto storeOne = [this](const std::string& id) {
    EXPECT_EQ(Store(id, Article(id, DateText(now))), 1);
    return Entry(id).spoolFile;
  };
  // Three files within one second, then one second later: still past the
  // last number, not the clock's.
  EXPECT_EQ(storeOne("z0@test"), first);
  EXPECT_EQ(storeOne("z1@test"), first + 1);
  EXPECT_EQ(storeOne("z2@test"), first + 2);
  now = first + 1;
  EXPECT_EQ(storeOne("z3@test"), first + 3);
  // Once the clock is ahead again it names the file.
  now = first + 100;
  EXPECT_EQ(storeOne("z4@test"), first + 100);
  EXPECT_EQ(SpoolNames().size(), 5u);
  EXPECT_EQ(Entry("z3@test").spoolOffset, 0u);
}

TEST_F(SpoolTest, FileOlderThanAnHourIsClosedOnceItHoldsMoreThan100Bytes) {
  Start();
  const uint32_t first = now;
  // 100 bytes is not more than 100: an old file of 100 bytes stays current.
  ASSERT_EQ(Store("h0@test", ArticleOfSize(DateText(now), 100)), 1);
  now += 7200;
  ASSERT_EQ(Store("h1@test", ArticleOfSize(DateText(now), 200)), 1);
  EXPECT_EQ(Entry("h1@test").spoolFile, first);
  EXPECT_EQ(Entry("h1@test").spoolOffset, 100u);
  // Now 300 bytes and two hours old: the next article starts a new file.
  ASSERT_EQ(Store("h2@test", ArticleOfSize(DateText(now), 200)), 1);
  const uint32_t second = now;
  EXPECT_EQ(Entry("h2@test").spoolFile, second);
  EXPECT_EQ(Entry("h2@test").spoolOffset, 0u);

  // Exactly an hour is not more than an hour.
  now = second + 3600;
  ASSERT_EQ(Store("h3@test", ArticleOfSize(DateText(now), 200)), 1);
  EXPECT_EQ(Entry("h3@test").spoolFile, second);
  now = second + 3601;
  ASSERT_EQ(Store("h4@test", ArticleOfSize(DateText(now), 200)), 1);
  EXPECT_EQ(Entry("h4@test").spoolFile, second + 3601);
  EXPECT_EQ(ReadFile(SpoolPath(second)).size(), 400u);
}

// A start-up takes the number after the highest spool file name in the
// folder, so files already there are never truncated.
TEST_F(SpoolTest, NumbersContinueAfterTheHighestFileAndNeverTruncateOne) {
  Start();
  const uint32_t t = now;
  dir_.Write("spool/" + std::to_string(t) + ".art", "precious");
  dir_.Write("spool/" + std::to_string(t + 1) + ".art", "also precious");
  dir_.Write("spool/" + std::to_string(t + 5) + ".art.tmp", "not a spool file");
  histclose();
  ASSERT_EQ(ArticleInit(), 1);
  // Two articles of more than 100 bytes in a file numbered ahead of the
  // clock: the file is not an hour old, so both go into it.
  ASSERT_EQ(Store("c1@test", ArticleOfSize(DateText(now), 300)), 1);
  ASSERT_EQ(Store("c2@test", ArticleOfSize(DateText(now), 300)), 1);
  EXPECT_EQ(Entry("c1@test").spoolFile, t + 2);
  EXPECT_EQ(Entry("c2@test").spoolFile, t + 2);
  EXPECT_EQ(Entry("c2@test").spoolOffset, 300u);
  EXPECT_EQ(ReadFile(SpoolPath(t)), "precious");
  EXPECT_EQ(ReadFile(SpoolPath(t + 1)), "also precious");

}

// Expiry deletes files; the numbers it frees are never taken again, so
// every history entry whose file survives reads back its own article.
TEST_F(SpoolTest, NumbersFreedByExpiryAreNeverReused) {
  Start("MaxArticleFileSize = 0\nMaxKeepFileCount = 2\n");
  std::map<std::string, std::string> articles;
  auto storeSome = [&](int from, int to) {
    for (int i = from; i < to; i++) {
      std::string id = "e" + std::to_string(i) + "@test";
      articles[id] = Article(id, DateText(now), "Body " + std::to_string(i) + ".");
      ASSERT_EQ(Store(id, articles[id]), 1);
    }
  };
  storeSome(0, 6);
  ASSERT_EQ(DirExpirePass().size(), 4u);
  storeSome(6, 9);
  ASSERT_EQ(DirExpirePass().size(), 3u);
  histclose();
  ASSERT_EQ(ArticleInit(), 1);
  storeSome(9, 11);
  int surviving = 0;
  for (const auto& [id, article] : articles) {
    HistEntryHeader e = Entry(id);
    if (!FileExists(SpoolPath(e.spoolFile))) continue;
    surviving++;
    EXPECT_EQ(ReadFile(SpoolPath(e.spoolFile)), Stamped(article)) << id;
  }
  EXPECT_EQ(surviving, 4);
}

TEST_F(SpoolTest, FailedWriteIsReportedAndRecordsNothing) {
  signal(SIGXFSZ, SIG_IGN);  // a write past the size limit then fails with EFBIG
  Start();
  ASSERT_EQ(Store("w1@test", ArticleOfSize(DateText(now), 2000)), 1);
  const std::string before = ReadFile(SpoolPath(now));

  // The spool file may grow by 100 bytes only: the next article is cut off
  // part of the way.
  rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  rlimit limit = saved;
  limit.rlim_cur = before.size() + 100;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
  size_t logSize = Log().size();
  StoreResult result = AddArticleToFile(Request("w2@test", ArticleOfSize(DateText(now), 500)));
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0);
  EXPECT_EQ(result, StoreResult::kWriteFailed);
  EXPECT_NE(Log().find("article: Write failed, out of disk space?\n", logSize), std::string::npos);
  bool found = true;
  Entry("w2@test", &found);
  EXPECT_FALSE(found);
  EXPECT_FALSE(Seen("w2@test"));
  // No part of the failed article stays behind.
  EXPECT_EQ(ReadFile(SpoolPath(now)), before);

  // The lock was given back: the next article follows the first.
  ASSERT_EQ(Store("w3@test", ArticleOfSize(DateText(now), 500)), 1);
  EXPECT_EQ(Entry("w3@test").spoolOffset, 2000u);
  EXPECT_EQ(ReadFile(SpoolPath(now)).size(), 2500u);

  // A spool file that cannot be created fails the same way.
  now += 7200;
  std::filesystem::remove_all(spool_);
  logSize = Log().size();
  EXPECT_EQ(AddArticleToFile(Request("w4@test", Article("w4@test", DateText(now)))), StoreResult::kWriteFailed);
  EXPECT_NE(Log().find("article: Write failed, out of disk space?\n", logSize), std::string::npos);
  EXPECT_FALSE(Seen("w4@test"));
  ASSERT_TRUE(std::filesystem::create_directory(spool_));
  ASSERT_EQ(Store("w5@test", Article("w5@test", DateText(now))), 1);
  // The failed creation spent its number.
  EXPECT_EQ(Entry("w5@test").spoolFile, now + 1);
}

// Many connections store at once: every article is stored whole exactly
// once, a copy offered twice is stored once, and the history's order is
// the spool's order.
TEST_F(SpoolTest, ConcurrentStoresNeverInterleave) {
  Start();
  constexpr int kThreads = 4, kPerThread = 60;
  // Thread t offers its own articles and, every third one, the same
  // article as thread t + 1 ("s<t+1>-<i>").
  std::vector<std::vector<StoreRequest>> work(kThreads);
  std::map<std::string, std::string> articles;
  for (int t = 0; t < kThreads; t++) {
    for (int i = 0; i < kPerThread; i++) {
      bool shared = i % 3 == 0;
      std::string id = (shared ? "s" + std::to_string((t + 1) % kThreads) + "-" : "o" + std::to_string(t) + "-") +
                       std::to_string(i) + "@test";
      std::string article = Article(id, DateText(now), std::string(size_t(50 + 7 * i), char('a' + t)));
      if (shared) article = Article(id, DateText(now), std::string(size_t(50 + 7 * i), 's'));
      articles[id] = article;
      work[t].push_back(Request(id, article));
    }
  }
  // Shared ids "s<k>-<i>" are offered by threads k - 1 and k.
  for (int t = 0; t < kThreads; t++) {
    for (int i = 0; i < kPerThread; i += 3) {
      std::string id = "s" + std::to_string(t) + "-" + std::to_string(i) + "@test";
      work[t].push_back(Request(id, articles[id]));
    }
  }
  peer_->refused = 0;
  peer_->rejected = 1000;
  std::atomic<int> stored{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; t++) {
    threads.emplace_back([&, t] {
      for (const StoreRequest& r : work[t]) stored += AddArticleToFile(r) == StoreResult::kStored ? 1 : 0;
    });
  }
  for (std::thread& th : threads) th.join();

  EXPECT_EQ(stored.load(), int(articles.size()));
  const uint32_t duplicates = kThreads * ((kPerThread + 2) / 3);
  EXPECT_EQ(peer_->refused.load(), duplicates);
  EXPECT_EQ(peer_->rejected.load(), 1000 - duplicates);
  // Each entry with its place in the history's append order.
  std::vector<std::pair<uint32_t, HistEntryHeader>> entries;
  for (const auto& [id, article] : articles) {
    _histentry* e = FindArticle(id.c_str());
    ASSERT_NE(e, nullptr) << id;
    entries.emplace_back(e->position, e->header);
    DestroyEntry(e);
    const HistEntryHeader& h = entries.back().second;
    EXPECT_EQ(SpoolBytes(h.spoolFile, h.spoolOffset, h.length), Stamped(article)) << id;
  }
  // In append order, the entries tile the file with no gap and no overlap.
  std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  uint64_t end = 0;
  for (const auto& [position, e] : entries) {
    EXPECT_EQ(e.spoolFile, now);
    EXPECT_EQ(e.spoolOffset, end);
    end = uint64_t(e.spoolOffset) + e.length;
  }
  EXPECT_EQ(ReadFile(SpoolPath(now)).size(), end);
}

}  // namespace
