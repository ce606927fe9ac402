// A connection's pieces in this process: the reception buffer growing and
// shrinking on a socket pair, and the listener's set-up in a child process.
#include <gtest/gtest.h>

#include <fcntl.h>
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

TEST(Reception, BufferGrowsForALargeArticleAndShrinksAfterIt) {
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  _incomingentry counts{};
  _clientcontext* ctx = AllocClientContext();
  ctx->sock = fds[0];
  ctx->incoming = &counts;
  ctx->flags = kStreamingReply;
  strcpy(ctx->articleId, "t@x");
  connTimeout = 5;  // a reception that misses its terminator fails, not hangs
  auto send = [&](const std::string& bytes) {
    ASSERT_EQ(write(fds[1], bytes.data(), bytes.size()), ssize_t(bytes.size()));
  };
  // One article, sent before, and the reply that it queued, flushed.
  auto receive = [&] {
    std::string out(256, '\0');
    nntp_readarticle(ctx);
    if (!FlushReplies(ctx)) return std::string("(send failed)");
    return out.substr(0, size_t(std::max<ssize_t>(recv(fds[1], out.data(), out.size(), MSG_DONTWAIT), 0)));
  };
  send(std::string(100000, 'a') + "\r\n.\r\nnext\r\n");
  ASSERT_EQ(receive(), "439 <t@x>\r\n");
  EXPECT_EQ(ctx->bufSize, kSmallBufferSize);
  EXPECT_EQ(std::string(ctx->buffer, ctx->bufLen), "next\r\n");
  // Text and terminator of 65535 bytes fill the small buffer (sent before
  // the first read), which grows; shrinking starts at 65536.
  ctx->flags = 0;
  for (uint32_t total : {65535u, 65536u}) {
    FixBuffer(ctx, ctx->bufLen);
    send(std::string(total - 5, 'b') + "\r\n.\r\n");
    ASSERT_EQ(receive(), "437 Bad Article\r\n") << total;
    EXPECT_EQ(ctx->bufSize, total == 65535 ? kLargeBufferSize : kSmallBufferSize) << total;
  }
  AddContextToFreeList(ctx);
  close(fds[1]);
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
