// The reception buffer of a connection growing and shrinking, on a socket
// pair in this process.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include "incoming/article_reception.h"
#include "incoming/input_buffer.h"
#include "incoming/reply_buffer.h"

namespace {

TEST(Reception, BufferGrowsForALargeArticleAndShrinksAfterIt) {
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  _incomingentry counts{};
  RelayBase base;  // its log is never opened: nothing is written
  Intake intake;
  intake.base = &base;
  intake.readTimeout = 5;  // a reception that misses its terminator fails, not hangs
  _clientcontext* ctx = AllocClientContext();
  ctx->sock = fds[0];
  ctx->incoming = &counts;
  ctx->intake = &intake;
  ctx->flags = kStreamingReply;
  strcpy(ctx->articleId, "t@x");
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

}  // namespace
