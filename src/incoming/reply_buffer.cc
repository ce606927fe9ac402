#include "incoming/reply_buffer.h"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>

namespace {

bool SendAll(int sock, const char* data, size_t length) {
  while (length > 0) {
    ssize_t n = send(sock, data, length, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    length -= size_t(n);
  }
  return true;
}

}  // namespace

bool FlushReplies(_clientcontext* ctx) {
  uint32_t length = ctx->replyLen;
  ctx->replyLen = 0;
  return length == 0 || SendAll(ctx->sock, ctx->replyBuf, length);
}

bool QueueReply(_clientcontext* ctx, const char* text, size_t length) {
  if (ctx->replyLen + length > sizeof ctx->replyBuf) {
    if (!FlushReplies(ctx)) return false;
    if (length > sizeof ctx->replyBuf) return SendAll(ctx->sock, text, length);
  }
  memcpy(ctx->replyBuf + ctx->replyLen, text, length);
  ctx->replyLen += uint32_t(length);
  return true;
}
