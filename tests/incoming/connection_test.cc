// A connection's pieces in this process on a socket pair: article reception
// across reads, the buffer growing and shrinking, the reply queue at its
// bound; and the listener's socket set-up in a child process.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "base/config.h"
#include "incoming/article_reception.h"
#include "incoming/input_buffer.h"
#include "incoming/listener.h"
#include "incoming/reply_buffer.h"
#include "support/nntp_client.h"
#include "support/relay_instance.h"

namespace {

class Reception : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(LoadConfigFile(dir_.Write("relay.conf", "UpdateIncomingEntries = 0\n").c_str()));
    IncomingInit();
    ASSERT_EQ(AddIncoming("192.0.2.1"), 1);
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    peer_ = fds[1];
    ctx_ = AllocClientContext();
    ctx_->sock = fds[0];
    ctx_->incoming = &_incoming[254];
    ctx_->flags = kStreamingReply;
    strcpy(ctx_->articleId, "t@x");
    connTimeout = 5;  // a reception that misses its terminator fails, not hangs
  }
  void TearDown() override {
    if (ctx_ != nullptr) AddContextToFreeList(ctx_);
    close(peer_);
  }
  // Receives one article on a thread of its own; Join() fails the test when
  // the reception ended the connection instead (and released the context).
  std::thread Receive() {
    return std::thread([this] {
      try {
        nntp_readarticle(ctx_);
      } catch (const ConnectionEnded&) {
        ctx_ = nullptr;
      }
    });
  }
  bool Join(std::thread& reader) {
    reader.join();
    return ctx_ != nullptr;
  }
  void Send(const std::string& bytes) { ASSERT_EQ(write(peer_, bytes.data(), bytes.size()), ssize_t(bytes.size())); }
  // Sends and waits until the relay's side has read it all, so that what
  // comes next arrives in a read of its own.
  void SendAndDrain(const std::string& bytes) {
    Send(bytes);
    ASSERT_TRUE(WaitUntil([&] {
      int queued = 0;
      return ioctl(peer_, SIOCOUTQ, &queued) == 0 && queued == 0;
    }));
  }
  // What has reached the peer so far, without waiting.
  std::string Arrived() {
    std::string out;
    char buf[65536];
    for (ssize_t n; (n = recv(peer_, buf, sizeof buf, MSG_DONTWAIT)) > 0;) out.append(buf, size_t(n));
    return out;
  }
  // The reception only queues its reply; the thread flushes before it waits.
  std::string Reply() { return FlushReplies(ctx_) ? Arrived() : "(send failed)"; }
  std::string Left() const { return std::string(ctx_->buffer, ctx_->bufLen); }

  TempDir dir_;
  int peer_ = -1;
  _clientcontext* ctx_ = nullptr;
};

TEST_F(Reception, DiscardedArticlesEndAtTheirTerminatorHoweverItIsSplit) {
  std::string text;
  while (text.size() < 200000) text += std::string(78, 'x') + "\r\n";
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{text + "\r\n.", "\r", "\nquit\r\n"}, "quit\r\n"},
      {{"ab\r\n.", "\r\nquit\r\n"}, "quit\r\n"},  // five bytes searched first
      {{"Subject: x\r\n\r\nbody\r\n.", ".\r\nmore\r\n", ".\r\n"}, ""},  // a dot-stuffed line split after its dot
  };
  for (const auto& [chunks, left] : cases) {
    std::thread reader = Receive();
    for (size_t i = 0; i + 1 < chunks.size(); i++) SendAndDrain(chunks[i]);
    Send(chunks.back());
    ASSERT_TRUE(Join(reader)) << left;
    EXPECT_EQ(Reply(), "439 <t@x>\r\n");
    EXPECT_EQ(Left(), left);
    FixBuffer(ctx_, ctx_->bufLen);
  }
}

TEST_F(Reception, BufferGrowsForALargeArticleAndShrinksAfterIt) {
  std::thread reader = Receive();
  Send(std::string(100000, 'a') + "\r\n.\r\nnext\r\n");
  ASSERT_TRUE(Join(reader));
  EXPECT_EQ(Reply(), "439 <t@x>\r\n");
  EXPECT_EQ(ctx_->bufSize, kSmallBufferSize);
  EXPECT_EQ(Left(), "next\r\n");
  // The memory goes back once the connection has waited for its peer a while.
  EXPECT_TRUE(ctx_->memory.grown());
  FixBuffer(ctx_, ctx_->bufLen);
  reader = Receive();
  EXPECT_TRUE(WaitUntil([&] { return !ctx_->memory.grown(); }));
  Send("idle\r\n.\r\n");
  ASSERT_TRUE(Join(reader));
  EXPECT_EQ(Reply(), "439 <t@x>\r\n");
  // Text and terminator of 65535 bytes fill the small buffer (sent before
  // the first read), which grows; shrinking starts at 65536.
  ctx_->flags = 0;
  for (uint32_t total : {65535u, 65536u}) {
    FixBuffer(ctx_, ctx_->bufLen);
    Send(std::string(total - 5, 'b') + "\r\n.\r\n");
    reader = Receive();
    ASSERT_TRUE(Join(reader)) << total;
    EXPECT_EQ(Reply(), "437 Bad Article\r\n");
    EXPECT_EQ(ctx_->bufSize, total == 65535 ? kLargeBufferSize : kSmallBufferSize) << total;
  }
}

// Replies wait in the context's 8 KiB until the thread flushes them, a
// reply that would not fit sends what waits first, and a reply larger than
// the whole buffer goes out at once.
TEST_F(Reception, RepliesWaitInEightKiBAndLargerOnesGoOutAtOnce) {
  const std::string a(1, 'a'), b(8191, 'b'), c(1, 'c'), d(8192, 'd'), e(8193, 'e');
  for (const auto& [reply, sent] : std::vector<std::pair<std::string, std::string>>{
           {a, ""}, {b, ""}, {c, a + b}, {d, c}, {e, d + e}, {"", ""}}) {  // "": flush
    EXPECT_TRUE(reply.empty() ? FlushReplies(ctx_) : QueueReply(ctx_, reply.data(), reply.size()));
    EXPECT_EQ(Arrived(), sent) << reply.size();
  }
  EXPECT_TRUE(QueueReply(ctx_, "f", 1));
  close(peer_);
  peer_ = -1;
  EXPECT_FALSE(FlushReplies(ctx_));
  EXPECT_EQ(ctx_->replyLen, 0u);
  EXPECT_TRUE(FlushReplies(ctx_));  // nothing left to fail
}

// The listener in a child process: exits 0 once it listens on loopback,
// 1 when DoConnections gives up.
[[noreturn]] void Listen(const std::string& address, bool onDescriptorZero) {
  uint16_t port = FreeLoopbackPort();
  {
    TempDir dir;
    std::string config = "ListenAddress = " + address + "\nListenPort = " + std::to_string(port) + "\n";
    if (!LoadConfigFile(dir.Write("l.conf", config).c_str())) _exit(3);
  }
  if (onDescriptorZero) close(0);
  std::thread([] { _exit(DoConnections() == 0 ? 1 : 4); }).detach();
  // Only look for the socket once it exists: the look opens a file.
  WaitUntil([&] { return !onDescriptorZero || fcntl(0, F_GETFD) != -1; });
  _exit(WaitUntil([&] { return LoopbackPortListening(port); }, 5000ms) ? 0 : 2);
}

TEST(ListenerSetUp, ABadListenAddressStopsItAndDescriptorZeroIsASocketLikeAnyOther) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(Listen("127.0.0.256", false), testing::ExitedWithCode(1), "");
  EXPECT_EXIT(Listen("127.0.0.1", true), testing::ExitedWithCode(0), "");
}

}  // namespace
