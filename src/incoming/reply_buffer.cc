#include "incoming/reply_buffer.h"

#include <cerrno>
#include <cstring>

#include "platform/io.h"

namespace {

// A reply waits for room at most as long as the socket's send time-out.
bool SendAll(int sock, const char* data, size_t length) { return SendWithin(sock, data, length, kNoDeadline); }

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
