// Article reception on a real socket pair: terminators split between reads,
// growing and shrinking the buffer, and what stays behind an article.
#include <gtest/gtest.h>

#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "base/config.h"
#include "incoming/article_reception.h"
#include "incoming/incoming_table.h"
#include "incoming/input_buffer.h"
#include "incoming/reply_buffer.h"
#include "support/relay_process.h"
#include "support/temp_dir.h"

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
    // A reception that misses its terminator ends by time-out, not hangs.
    connTimeout = 5;
  }
  void TearDown() override {
    if (ctx_ != nullptr) AddContextToFreeList(ctx_);
    close(peer_);
  }

  // Receives one article on a thread of its own; a reception that ends the
  // connection instead fails the test.
  std::thread Receive() {
    return std::thread([this] {
      try {
        nntp_readarticle(ctx_);
      } catch (const ConnectionEnded&) {
        ctx_ = nullptr;  // CloseConnection released it
        ADD_FAILURE() << "the connection ended during the reception";
      }
    });
  }

  void Send(const std::string& bytes) { ASSERT_EQ(write(peer_, bytes.data(), bytes.size()), ssize_t(bytes.size())); }
  // Sends `bytes` and waits until the relay's side has read all of them, so
  // that what is sent next arrives in a read of its own.
  void SendAndDrain(const std::string& bytes) {
    Send(bytes);
    ASSERT_TRUE(WaitUntil([&] {
      int queued = 0;
      return ioctl(peer_, SIOCOUTQ, &queued) == 0 && queued == 0;
    }));
  }
  // The reception only queues its reply; the connection thread sends it
  // before it next waits for the peer, which here the test does for it.
  std::string Reply() {
    if (ctx_ != nullptr) FlushReplies(ctx_);
    char buf[256];
    ssize_t n = read(peer_, buf, sizeof buf);
    return n > 0 ? std::string(buf, size_t(n)) : "";
  }
  std::string Left() const { return std::string(ctx_->buffer, ctx_->bufLen); }

  TempDir dir_;
  int peer_ = -1;
  _clientcontext* ctx_ = nullptr;
};

TEST_F(Reception, DiscardedArticleFindsATerminatorSplitBetweenReads) {
  ctx_->storeArticle = 0;
  std::thread reader = Receive();
  std::string line(78, 'x');
  line += "\r\n";
  std::string text;
  while (text.size() < 200000) text += line;
  SendAndDrain(text + "\r\n.");  // the terminator's first three bytes
  SendAndDrain("\r");
  Send("\nquit\r\n");
  reader.join();
  EXPECT_EQ(Reply(), "439 <t@x>\r\n");
  EXPECT_EQ(Left(), "quit\r\n");
}

TEST_F(Reception, DotLineInsideADiscardedArticleIsNotTakenForItsEnd) {
  ctx_->storeArticle = 0;
  std::thread reader = Receive();
  // A dot-stuffed line "..\r\n" whose first dot falls in one read.
  SendAndDrain("Subject: x\r\n\r\nbody\r\n.");
  SendAndDrain(".\r\nmore\r\n");
  Send(".\r\n");
  reader.join();
  EXPECT_EQ(Reply(), "439 <t@x>\r\n");
  EXPECT_EQ(Left(), "");
}

TEST_F(Reception, BufferGrowsForALargeArticleAndShrinksAfterIt) {
  ctx_->storeArticle = 0;
  std::string big(100000, 'a');
  std::thread reader = Receive();
  Send(big + "\r\n.\r\nnext\r\n");
  reader.join();
  EXPECT_EQ(Reply(), "439 <t@x>\r\n");
  EXPECT_EQ(ctx_->bufSize, kSmallBufferSize);
  EXPECT_EQ(Left(), "next\r\n");
  // The memory goes back once the connection waits for its peer.
  EXPECT_TRUE(ctx_->memory.grown());
  FixBuffer(ctx_, ctx_->bufLen);
  std::thread idle = Receive();
  EXPECT_TRUE(WaitUntil([&] { return !ctx_->memory.grown(); }));
  Send("idle\r\n.\r\n");
  idle.join();
  EXPECT_EQ(Reply(), "439 <t@x>\r\n");

  // Text and terminator of exactly 65535 bytes fill the small buffer: it
  // grows, and stays grown, since shrinking starts at 65536.
  FixBuffer(ctx_, ctx_->bufLen);
  ctx_->flags = 0;
  std::thread second = Receive();
  Send(std::string(65530, 'b') + "\r\n.\r\n");
  second.join();
  EXPECT_EQ(Reply(), "437 Bad Article\r\n");
  EXPECT_EQ(ctx_->bufSize, kLargeBufferSize);
}

TEST_F(Reception, EmptyArticleIsRefusedInEitherMode) {
  ctx_->storeArticle = 1;
  Send(".\r\n.\r\n");
  nntp_readarticle(ctx_);
  EXPECT_EQ(Reply(), "439 <t@x>\r\n");
  ctx_->flags = 0;
  nntp_readarticle(ctx_);
  EXPECT_EQ(Reply(), "437 Bad Article\r\n");
  EXPECT_EQ(_incoming[254].rejected, 2u);
}

}  // namespace
