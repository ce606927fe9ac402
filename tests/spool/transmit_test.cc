// Sending stored articles straight from their spool files over a loopback
// TCP connection: order of head, text and tail, the caller's file cache,
// a deleted spool file, a large article through small socket buffers, and
// a peer that has gone.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <climits>
#include <csignal>
#include <map>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "history/history.h"
#include "spool/article_spool.h"
#include "spool/spool_fixture.h"
#include "support/temp_dir.h"

namespace {

// A connected pair of loopback TCP sockets: `out` sends, `in` receives.
struct Connection {
  int out = -1;
  int in = -1;

  explicit Connection(int bufferSize = 0) {
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    EXPECT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    EXPECT_EQ(listen(listener, 1), 0);
    EXPECT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    out = socket(AF_INET, SOCK_STREAM, 0);
    if (bufferSize > 0) setsockopt(out, SOL_SOCKET, SO_SNDBUF, &bufferSize, sizeof bufferSize);
    EXPECT_EQ(connect(out, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    in = accept(listener, nullptr, nullptr);
    if (bufferSize > 0) setsockopt(in, SOL_SOCKET, SO_RCVBUF, &bufferSize, sizeof bufferSize);
    close(listener);
  }
  ~Connection() {
    if (out >= 0) close(out);
    if (in >= 0) close(in);
  }

  // Reads until `count` bytes have arrived or nothing comes for two seconds.
  std::string Receive(size_t count) const {
    std::string text;
    char chunk[65536];
    while (text.size() < count) {
      pollfd p{in, POLLIN, 0};
      if (poll(&p, 1, 2000) <= 0) break;
      ssize_t n = read(in, chunk, sizeof chunk);
      if (n <= 0) break;
      text.append(chunk, size_t(n));
    }
    return text;
  }
  // True when nothing more is waiting to be read.
  bool Drained() const {
    pollfd p{in, POLLIN, 0};
    return poll(&p, 1, 0) == 0;
  }
};

// The file a descriptor of this process refers to.
std::string FilePathOf(int fd) {
  char link[PATH_MAX];
  ssize_t n = readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), link, sizeof link - 1);
  return n > 0 ? std::string(link, size_t(n)) : "";
}

int DescriptorsOn(const std::string& path) {
  int count = 0;
  for (int fd = 0; fd < 1024; fd++) count += FilePathOf(fd) == path;
  return count;
}

class TransmitTest : public SpoolTest {
 protected:
  // Three articles: two in the first spool file, one in the next.
  void StoreThree() {
    Start();
    first_ = now;
    ASSERT_EQ(Store("t1@test", Article("t1@test", DateText(now), "One.")), 1);
    ASSERT_EQ(Store("t2@test", Article("t2@test", DateText(now), "Two.")), 1);
    now += 3601;
    second_ = now;
    ASSERT_EQ(Store("t3@test", Article("t3@test", DateText(now), "Three.")), 1);
    ASSERT_EQ(Entry("t3@test").spoolFile, second_);
  }
  std::string StoredText(const std::string& id) const {
    HistEntryHeader e = Entry(id);
    return SpoolBytes(e.spoolFile, e.spoolOffset, e.length);
  }
  // What a feeder sends for `id`.
  static std::string Head(const std::string& id) { return "takethis <" + id + ">\r\n"; }
  static constexpr const char* kTail = "\r\n.\r\n";

  uint32_t first_ = 0, second_ = 0;
};

TEST_F(TransmitTest, HeadTextAndTailArriveInOrderWithoutACache) {
  StoreThree();
  Connection c;
  std::string expected;
  for (const char* id : {"t1@test", "t3@test", "t2@test"}) {
    _histentry* e = FindArticle(id);
    ASSERT_NE(e, nullptr);
    int error = -1;
    EXPECT_EQ(TransmitArticle(e, nullptr, c.out, Head(id).c_str(), kTail, &error), 1) << id;
    EXPECT_EQ(error, 0);
    EXPECT_EQ(DescriptorsOn(SpoolPath(first_)), 0);  // closed again
    DestroyEntry(e);
    expected += Head(id) + StoredText(id) + kTail;
  }
  EXPECT_EQ(StoredText("t2@test"), Stamped(Article("t2@test", DateText(first_), "Two.")));
  EXPECT_EQ(DescriptorsOn(SpoolPath(first_)), 0);
  EXPECT_EQ(DescriptorsOn(SpoolPath(second_)), 1);  // the spool's own
  EXPECT_EQ(c.Receive(expected.size()), expected);

  // No head and no tail: the stored bytes alone.
  _histentry* e = FindArticle("t2@test");
  ASSERT_NE(e, nullptr);
  int error = -1;
  EXPECT_EQ(TransmitArticle(e, nullptr, c.out, nullptr, nullptr, &error), 1);
  DestroyEntry(e);
  EXPECT_EQ(c.Receive(StoredText("t2@test").size()), StoredText("t2@test"));
  EXPECT_TRUE(c.Drained());
}

TEST_F(TransmitTest, CacheIsKeptWithinAFileAndReopenedForAnother) {
  StoreThree();
  Connection c;
  SpoolFileCache cache;
  std::string expected;
  std::map<std::string, std::string> stored;
  for (const char* id : {"t1@test", "t2@test", "t3@test"}) stored[id] = StoredText(id);
  auto send = [&](const char* id) {
    _histentry* e = FindArticle(id);
    ASSERT_NE(e, nullptr);
    int error = -1;
    EXPECT_EQ(TransmitArticle(e, &cache, c.out, Head(id).c_str(), kTail, &error), 1) << id;
    EXPECT_EQ(error, 0);
    // The entry goes away while the caller keeps the file.
    DestroyEntry(e);
    expected += Head(id) + stored[id] + kTail;
  };

  send("t1@test");
  ASSERT_GE(cache.fd, 0);
  const int firstHandle = cache.fd;
  EXPECT_EQ(cache.number, first_);
  EXPECT_EQ(FilePathOf(cache.fd), SpoolPath(first_));
  send("t2@test");
  EXPECT_EQ(cache.fd, firstHandle);
  // The cached handle is used as it is: the file is not opened again, so
  // even a file deleted meanwhile can still be sent from.
  ASSERT_EQ(unlink(SpoolPath(first_).c_str()), 0);
  send("t2@test");
  EXPECT_EQ(cache.fd, firstHandle);
  // Another file number: the old handle is closed, the new file opened.
  send("t3@test");
  EXPECT_EQ(cache.number, second_);
  EXPECT_EQ(FilePathOf(cache.fd), SpoolPath(second_));
  EXPECT_EQ(DescriptorsOn(SpoolPath(first_) + " (deleted)"), 0);
  EXPECT_EQ(DescriptorsOn(SpoolPath(second_)), 2);  // the cache and the spool's own
  EXPECT_EQ(c.Receive(expected.size()), expected);

  // Back to the first file, which is gone now.
  _histentry* e = FindArticle("t1@test");
  ASSERT_NE(e, nullptr);
  int error = 0;
  EXPECT_EQ(TransmitArticle(e, &cache, c.out, Head("t1@test").c_str(), kTail, &error), 0);
  EXPECT_EQ(error, 436);
  EXPECT_EQ(cache.fd, -1);
  EXPECT_EQ(DescriptorsOn(SpoolPath(second_)), 1);
  DestroyEntry(e);
  expected.clear();
  send("t3@test");
  EXPECT_GE(cache.fd, 0);
  EXPECT_EQ(c.Receive(expected.size()), expected);
  CloseCachedSpoolFile(&cache);
  EXPECT_EQ(cache.fd, -1);
  EXPECT_EQ(DescriptorsOn(SpoolPath(second_)), 1);
  EXPECT_TRUE(c.Drained());
}

// A feeder keeps its cache beside its cursor slot: the handle stays open
// from one article to the next within a file.
TEST_F(TransmitTest, CacheBesideACursorSlot) {
  StoreThree();
  Connection c;
  _histentry slot{};
  SpoolFileCache cache;
  std::string expected;
  int handle = -1;
  for (const char* id : {"t1@test", "t2@test", "t3@test"}) {
    slot.header = Entry(id);
    int error = -1;
    EXPECT_EQ(TransmitArticle(&slot, &cache, c.out, nullptr, kTail, &error), 1);
    EXPECT_EQ(cache.number, slot.header.spoolFile);
    EXPECT_EQ(FilePathOf(cache.fd), SpoolPath(slot.header.spoolFile));
    if (handle < 0) handle = cache.fd;
    if (slot.header.spoolFile == first_) {
      EXPECT_EQ(cache.fd, handle);
    }
    expected += StoredText(id) + kTail;
  }
  EXPECT_EQ(c.Receive(expected.size()), expected);
  EXPECT_EQ(DescriptorsOn(SpoolPath(first_)), 0);
  CloseCachedSpoolFile(&cache);
  EXPECT_EQ(cache.fd, -1);
  EXPECT_EQ(DescriptorsOn(SpoolPath(second_)), 1);
}

TEST_F(TransmitTest, DeletedSpoolFileGives436) {
  StoreThree();
  Connection c;
  ASSERT_EQ(unlink(SpoolPath(first_).c_str()), 0);
  // Still in the history.
  _histentry* e = FindArticle("t1@test");
  ASSERT_NE(e, nullptr);

  int error = 0;
  EXPECT_EQ(TransmitArticle(e, nullptr, c.out, Head("t1@test").c_str(), kTail, &error), 0);
  EXPECT_EQ(error, 436);

  // A cache holding the other file gives it up and is marked empty.
  SpoolFileCache cache;
  _histentry* other = FindArticle("t3@test");
  ASSERT_NE(other, nullptr);
  EXPECT_EQ(TransmitArticle(other, &cache, c.out, nullptr, nullptr, &error), 1);
  EXPECT_EQ(error, 0);
  const int held = cache.fd;
  ASSERT_GE(held, 0);
  EXPECT_EQ(TransmitArticle(e, &cache, c.out, Head("t1@test").c_str(), kTail, &error), 0);
  EXPECT_EQ(error, 436);
  EXPECT_EQ(cache.fd, -1);
  EXPECT_EQ(FilePathOf(held), "");
  // A later success clears the error code.
  EXPECT_EQ(TransmitArticle(other, &cache, c.out, nullptr, nullptr, &error), 1);
  EXPECT_EQ(error, 0);
  CloseCachedSpoolFile(&cache);
  DestroyEntry(e);
  DestroyEntry(other);

  // Only the two copies of the third article went out.
  std::string third = StoredText("t3@test");
  EXPECT_EQ(c.Receive(2 * third.size()), third + third);
  EXPECT_TRUE(c.Drained());
}

TEST_F(TransmitTest, LargeArticleThroughSmallSocketBuffers) {
  Start();
  std::string body;
  for (int i = 0; body.size() < 600000; i++) body += "line " + std::to_string(i) + " of a long article\r\n";
  std::string article = Article("big@test", DateText(now), body + "end");
  ASSERT_EQ(Store("small@test", Article("small@test", DateText(now))), 1);
  ASSERT_EQ(Store("big@test", article), 1);
  ASSERT_NE(Entry("big@test").spoolOffset, 0u);

  Connection c(32768);
  std::string head = "takethis <big@test>\r\n";
  std::string expected = head + Stamped(article) + kTail;
  std::string received;
  std::thread reader([&] { received = c.Receive(expected.size()); });
  _histentry* e = FindArticle("big@test");
  ASSERT_NE(e, nullptr);
  int error = -1;
  EXPECT_EQ(TransmitArticle(e, nullptr, c.out, head.c_str(), kTail, &error), 1);
  DestroyEntry(e);
  reader.join();
  EXPECT_EQ(received.size(), expected.size());
  EXPECT_TRUE(received == expected);
}

TEST_F(TransmitTest, PeerThatHasGoneIsLoggedAsAFailedSend) {
  signal(SIGPIPE, SIG_IGN);  // as the relay does at start-up
  StoreThree();
  Connection c;
  close(c.in);
  c.in = -1;
  _histentry* e = FindArticle("t1@test");
  ASSERT_NE(e, nullptr);
  int error = -1;
  size_t logSize = Log().size();
  // The first send may still be taken by the kernel; the peer's reset
  // makes a later one fail.
  int result = 1;
  for (int i = 0; i < 50 && result == 1; i++) {
    result = TransmitArticle(e, nullptr, c.out, Head("t1@test").c_str(), kTail, &error);
    if (result == 1) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(result, 0);
  EXPECT_EQ(error, 0);
  EXPECT_NE(Log().find("Error in TransmitArticle (direct), ", logSize), std::string::npos);
  DestroyEntry(e);
}

}  // namespace
