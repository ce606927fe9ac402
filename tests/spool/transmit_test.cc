// Sending stored articles straight from their spool files over loopback
// TCP with small socket buffers: head, stored bytes and tail in order, the
// socket left as found, the sender's file cache, 436 and failed sends.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <map>
#include <netinet/tcp.h>
#include <poll.h>
#include <thread>

#include "spool/spool_fixture.h"

namespace {

class TransmitTest : public SpoolTest {
 protected:
  // t1 and t2 in the first spool file, t3 and a large article in the next;
  // `out_` sends to `in_`.
  void SetUp() override {
    Start();
    Keep("t1@test", "One.");
    Keep("t2@test", "Two.");
    second_ = now += 3601;
    Keep("t3@test", "Three.");
    std::string body;
    for (int i = 0; body.size() < 600000; i++) body += "line " + std::to_string(i) + " of a long article\r\n";
    Keep("big@test", body);
    int listener = socket(AF_INET, SOCK_STREAM, 0), buffer = 32768;
    sockaddr_in addr{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t len = sizeof addr;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), len), 0);
    ASSERT_EQ(listen(listener, 1) | getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    out_ = socket(AF_INET, SOCK_STREAM, 0);
    setsockopt(out_, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
    ASSERT_EQ(connect(out_, reinterpret_cast<sockaddr*>(&addr), len), 0);
    in_ = accept(listener, nullptr, nullptr);
    setsockopt(in_, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    close(listener);
  }
  void TearDown() override {
    close(out_);
    close(in_);
    SpoolTest::TearDown();
  }
  void Keep(const std::string& id, const std::string& body) {
    ASSERT_TRUE(Store(id, Article(id, DateText(now), body)));
    stored_[id] = Stamped(Article(id, DateText(now), body));
  }
  // TransmitArticle for the entry of `id`, with the feeders' head and tail
  // unless `bare`.
  int Transmit(const std::string& id, SpoolFileCache* cache, bool bare = false, bool senderCorks = false) {
    _histentry* e = FindArticle(id.c_str());
    EXPECT_NE(e, nullptr) << id;
    const std::string head = "takethis <" + id + ">\r\n";
    error_ = -1;
    int ok = TransmitArticle(e, cache, out_, bare ? nullptr : head.c_str(), bare ? nullptr : kTail, &error_,
                             senderCorks);
    DestroyEntry(e);
    return ok;
  }
  // Transmit succeeds, and a reader gets the head, stored bytes and tail.
  void Send(const std::string& id, SpoolFileCache* cache, bool bare = false, bool senderCorks = false) {
    const std::string expected = (bare ? "" : "takethis <" + id + ">\r\n") + stored_[id] + (bare ? "" : kTail);
    std::string received;
    std::thread reader([&] {
      char chunk[65536];
      pollfd p{in_, POLLIN, 0};
      for (ssize_t n = 1; n > 0 && received.size() < expected.size() && poll(&p, 1, 2000) > 0;) {
        if ((n = read(in_, chunk, sizeof chunk)) > 0) received.append(chunk, size_t(n));
      }
    });
    EXPECT_EQ(Transmit(id, cache, bare, senderCorks), 1) << id;
    EXPECT_EQ(error_, 0);
    reader.join();
    EXPECT_TRUE(received == expected) << id << ": " << received.size() << " bytes of " << expected.size();
  }
  int Corked() const {
    int on = -1;
    socklen_t len = sizeof on;
    getsockopt(out_, IPPROTO_TCP, TCP_CORK, &on, &len);
    return on;
  }
  static constexpr const char* kTail = "\r\n.\r\n";
  uint32_t second_ = 0;
  int out_ = -1, in_ = -1, error_ = -1;
  std::map<std::string, std::string> stored_;
};

// Without a cache each file is opened and closed again, and the socket is
// left as it was found: blocking and not corked. A sender that corks a
// non-blocking socket itself keeps its cork as it is.
TEST_F(TransmitTest, HeadStoredBytesAndTailInOrder) {
  for (const char* id : {"t1@test", "t3@test", "big@test", "t2@test"}) Send(id, nullptr);
  Send("t2@test", nullptr, true);
  EXPECT_EQ(DescriptorsOn(SpoolPath(second_ - 3601)), 0);
  EXPECT_EQ(fcntl(out_, F_GETFL) & O_NONBLOCK, 0);
  EXPECT_EQ(Corked(), 0);
  fcntl(out_, F_SETFL, O_NONBLOCK);
  Send("big@test", nullptr, false, true);
  EXPECT_EQ(Corked(), 0);
  int on = 1;
  setsockopt(out_, IPPROTO_TCP, TCP_CORK, &on, sizeof on);
  EXPECT_EQ(Transmit("t1@test", nullptr, true, true), 1);
  EXPECT_EQ(Corked(), 1);
}

// The cache keeps one file open from article to article, even one deleted
// meanwhile, and changes file only when the number does. A file that
// cannot be opened gives 436 and empties the cache; a file shorter than
// its entry and a socket shut for writing are logged failures.
TEST_F(TransmitTest, CacheAnd436AndFailedSends) {
  const std::string first = SpoolPath(second_ - 3601);
  SpoolFileCache cache;
  Send("t1@test", &cache);
  const int held = cache.fd;
  EXPECT_EQ(DescriptorsOn(first), 1);
  ASSERT_EQ(unlink(first.c_str()), 0);
  Send("t2@test", &cache);
  EXPECT_EQ(cache.fd, held);
  Send("t3@test", &cache);
  EXPECT_EQ(cache.number, second_);
  EXPECT_EQ(DescriptorsOn(first + " (deleted)"), 0);
  EXPECT_EQ(DescriptorsOn(SpoolPath(second_)), 2);
  EXPECT_EQ(Transmit("t1@test", &cache), 0);
  EXPECT_EQ(error_, 436);
  EXPECT_EQ(cache.fd, -1);
  EXPECT_EQ(DescriptorsOn(SpoolPath(second_)), 1);
  EXPECT_EQ(Transmit("t1@test", nullptr), 0);
  EXPECT_EQ(error_, 436);
  Send("t3@test", &cache);
  CloseCachedSpoolFile(&cache);
  EXPECT_EQ(cache.fd, -1);
  EXPECT_EQ(DescriptorsOn(SpoolPath(second_)), 1);

  signal(SIGPIPE, SIG_IGN);  // as the relay does at start-up
  ASSERT_EQ(truncate(SpoolPath(second_).c_str(), Entry("big@test").spoolOffset + 100), 0);
  NewLog();
  EXPECT_EQ(Transmit("big@test", nullptr, true), 0);
  EXPECT_EQ(error_, 0);
  EXPECT_EQ(NewLog(), "Error in TransmitArticle (direct), 5\n\n");
  shutdown(out_, SHUT_WR);
  EXPECT_EQ(Transmit("t3@test", nullptr, true), 0);
  EXPECT_EQ(error_, 0);
  EXPECT_EQ(NewLog(), "Error in TransmitArticle (direct), 32\n\n");
}

}  // namespace
