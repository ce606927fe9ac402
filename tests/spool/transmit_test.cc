// Sending stored articles straight from their spool files, and the spool
// expiry. Over TCP, and larger than socket buffers: tests/feeds.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <sys/socket.h>
#include <fcntl.h>

#include "spool/open_spool_files.h"
#include "spool/spool_dir.h"
#include "spool/spool_fixture.h"

namespace {

using Names = std::vector<std::string>;

class TransmitTest : public SpoolTest {
 protected:
  // t1 and t2 in the first spool file, t3 in the current one.
  void SetUp() override {
    Start("MaxKeepFileCount = 0\nMaxArticleFileSize = 20000000\n");
    first_ = now;
    for (const char* id : {"t1@test", "t2@test", "t3@test"}) {
      now += id[1] == '3' ? 3601 : 0;
      ASSERT_TRUE(Store(id, Article(id, DateText(now), id)));
    }
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    out_ = fds[0];
    in_ = fds[1];
    timeval limit{2, 0};
    setsockopt(in_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  }
  void TearDown() override {
    close(out_);
    close(in_);
    SpoolTest::TearDown();
  }
  // TransmitArticle for the entry of `id`, with the feeders' head and tail
  // unless `bare`: what the other end got, or "failed" with error_ set.
  std::string Send(const std::string& id, SpoolFileCache* cache, bool bare = false) {
    _histentry* e = history_.FindArticle(id.c_str());
    const std::string head = "takethis <" + id + ">\r\n";
    std::string got(e->header.length + (bare ? 0 : head.size() + strlen(kTail)), '\0');
    int ok = TransmitArticle(e, cache, out_, bare ? nullptr : head.c_str(), bare ? nullptr : kTail, &error_);
    History::DestroyEntry(e);
    ssize_t n = ok == 1 ? recv(in_, got.data(), got.size(), MSG_WAITALL) : 0;  // in_ waits 2 s at most
    return ok == 1 ? got.substr(0, size_t(std::max<ssize_t>(n, 0))) : "failed";
  }
  std::string Sent(const std::string& id, bool bare = false) {
    const std::string stored = Stamped(Article(id, DateText(id[1] == '3' ? now : first_), id));
    return bare ? stored : "takethis <" + id + ">\r\n" + stored + kTail;
  }
  static constexpr const char* kTail = "\r\n.\r\n";
  uint32_t first_ = 0;
  int out_ = -1, in_ = -1, error_ = -1;
};

// Without a cache each file is opened and closed again; the socket is left
// blocking. The cache keeps one file open, even one deleted, until the
// number changes. Expiry spares the file it holds, the current spool file
// and pinned files, each until it is let go. A file that cannot be opened
// gives 436 and empties the cache; a shut socket is a logged failure.
TEST_F(TransmitTest, HeadStoredBytesAndTailCacheExpiry436AndFailedSends) {
  const std::string first = SpoolPath(first_), firstName = std::to_string(first_) + ".art";
  dir_.Write("spool/1090.art", "");
  dir_.Write("spool/1091.art", "");
  for (const char* id : {"t1@test", "t3@test"}) EXPECT_EQ(Send(id, nullptr), Sent(id));
  EXPECT_EQ(Send("t2@test", nullptr, true), Sent("t2@test", true));
  EXPECT_EQ(DescriptorsOn(first), 0);
  EXPECT_EQ(fcntl(out_, F_GETFL) & O_NONBLOCK, 0);
  SpoolFileCache cache;
  EXPECT_EQ(Send("t1@test", &cache), Sent("t1@test"));
  PinSpoolFile(1090);
  PinSpoolFile(1090);
  EXPECT_EQ(DirExpirePass(), Names{"1091.art"});
  UnpinSpoolFile(1090);
  EXPECT_EQ(DirExpirePass(), Names{});
  UnpinSpoolFile(1090);
  EXPECT_EQ(DirExpirePass(), Names{"1090.art"});
  ASSERT_EQ(unlink(first.c_str()), 0);
  EXPECT_EQ(Send("t2@test", &cache), Sent("t2@test"));
  EXPECT_EQ(Send("t3@test", &cache), Sent("t3@test"));
  EXPECT_EQ(DescriptorsOn(first + " (deleted)"), 0);
  EXPECT_EQ(DescriptorsOn(SpoolPath(now)), 2);
  EXPECT_EQ(Send("t1@test", &cache), "failed");
  EXPECT_EQ(error_, 436);
  EXPECT_EQ(cache.fd, -1);
  EXPECT_EQ(DescriptorsOn(SpoolPath(now)), 1);
  dir_.Write("spool/" + firstName, "");  // its number is let go: expiry takes a file of it
  EXPECT_EQ(DirExpirePass(), Names{firstName});
  EXPECT_EQ(Send("t3@test", &cache), Sent("t3@test"));
  CloseCachedSpoolFile(&cache);
  EXPECT_EQ(cache.fd, -1);
  EXPECT_EQ(DescriptorsOn(SpoolPath(now)), 1);

  signal(SIGPIPE, SIG_IGN);  // as the relay does at start-up
  NewLog();
  shutdown(out_, SHUT_WR);
  EXPECT_EQ(Send("t3@test", nullptr, true), "failed");
  EXPECT_EQ(error_, 0);
  EXPECT_EQ(NewLog(), "Error in TransmitArticle (direct), 32\n\n");
}

// A batch goes out in order, each article after its head and before a
// terminator: small ones from the file's mapping, a large one by sendfile,
// across two spool files; one whose file is gone is left out entirely.
TEST_F(TransmitTest, ABatchSendsHeadsBytesAndTerminatorsInOrder) {
  const std::string big = Sized(kSendfileFrom + 100);
  ASSERT_TRUE(Store("big@test", big));
  std::vector<_histentry> entries;
  for (const char* id : {"t1@test", "t1@test", "big@test", "t3@test"}) {
    _histentry* e = history_.FindArticle(id);
    entries.push_back(*e);
    History::DestroyEntry(e);
  }
  entries[1].header.spoolFile = 7;  // no such file
  const std::string heads[] = {"takethis <t1@test>\r\n", "takethis <gone@test>\r\n", "takethis <big@test>\r\n",
                               "takethis <t3@test>\r\n"};
  Transmission batch[4];
  for (int i = 0; i < 4; i++) batch[i] = Transmission{&entries[i], heads[i].data(), heads[i].size()};
  SpoolFileCache cache;
  TransmitResult results[4];
  ASSERT_TRUE(articleSpool_.TransmitArticles(batch, 4, &cache, out_, results));
  EXPECT_EQ(std::vector<TransmitResult>(results, results + 4),
            (std::vector<TransmitResult>{TransmitResult::kSent, TransmitResult::kGone, TransmitResult::kSent,
                                         TransmitResult::kSent}));
  const std::string expected = Sent("t1@test") + heads[2] + Stamped(big) + kTail + Sent("t3@test");
  std::string got(expected.size(), '\0');
  EXPECT_EQ(recv(in_, got.data(), got.size(), MSG_WAITALL), ssize_t(expected.size()));
  EXPECT_EQ(got, expected);
  EXPECT_EQ(DescriptorsOn(SpoolPath(now)), 2);  // the cache holds the last file, mapped or not
  // Articles stored since, past what was read of the file: three just past
  // are read together and nothing after them (it may not be written for
  // good); one megabytes past maps the file anew; an entry that says its
  // article runs past the file's end fails the batch.
  for (const char* id : {"late@test", "later@test", "latest@test", "huge@test", "after@test"}) {
    ASSERT_TRUE(Store(id, id[0] == 'h' ? Sized(5 << 20) : Article(id, DateText(now), id)));
  }
  const std::pair<std::vector<std::string>, uint32_t> rows[] = {
      {{"late@test", "later@test", "latest@test"}, 0}, {{"after@test"}, 0}, {{"after@test"}, 100}};
  for (const auto& [ids, lengthPast] : rows) {
    std::vector<Transmission> again{batch[3]};
    std::vector<_histentry*> lates;
    std::deque<std::string> lateHeads;  // their texts stay where they are
    std::string more = Sent("t3@test");
    size_t length = 0;
    for (const std::string& id : ids) {
      _histentry* late = lates.emplace_back(history_.FindArticle(id.c_str()));
      late->header.length += lengthPast;
      length += late->header.length;
      const std::string& head = lateHeads.emplace_back("takethis <" + id + ">\r\n");
      again.push_back(Transmission{late, head.data(), head.size()});
      more += head + Stamped(Article(id, DateText(now), id)) + kTail;
    }
    bool sent = articleSpool_.TransmitArticles(again.data(), uint32_t(again.size()), &cache, out_, results);
    for (_histentry* late : lates) History::DestroyEntry(late);
    EXPECT_EQ(sent, lengthPast == 0) << ids[0];
    if (!sent) break;
    EXPECT_EQ(cache.mapped != 0, ids[0] == "after@test") << ids[0];  // mapped only when megabytes past
    EXPECT_EQ(ids.size() == 3 ? cache.staged : length, length);  // the three staged, nothing past them
    got.assign(more.size(), '\0');
    EXPECT_EQ(recv(in_, got.data(), got.size(), MSG_WAITALL), ssize_t(more.size()));
    EXPECT_EQ(got, more);
  }
  EXPECT_EQ(errno, EIO);
  CloseCachedSpoolFile(&cache);
  EXPECT_EQ(cache.map, nullptr);
}

// Only names "<number>.art" are expiry's, the oldest first.
TEST_F(SpoolTest, ExpiryKeepsTheNewestNamesAndTouchesNothingElse) {
  Start("MaxKeepFileCount = 5\n");
  // Made out of order, so that the listing's order is not the names' order.
  for (const char* name : {"1004.art", "1000.art", "1007.art", "1002.art", "1006.art", "1001.art", "1005.art",
                           "1003.art", "1000.ART", "1000.art.bak", "notes.txt", "x.artx"}) {
    dir_.Write(std::string("spool/") + name, "x");
  }
  EXPECT_EQ(DirExpirePass(), (Names{"1000.art", "1001.art", "1002.art"}));
  EXPECT_EQ(GetSpoolFigures().filesOnDisk, 5u);
  EXPECT_EQ(DirUpdate(), (Names{"1003.art", "1004.art", "1005.art", "1006.art", "1007.art"}));
  EXPECT_EQ(DescriptorsOn(spool_), 0);
  std::filesystem::remove_all(spool_);
  EXPECT_EQ(DirExpirePass(), Names{});
}

}  // namespace
