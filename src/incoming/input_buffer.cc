#include "incoming/input_buffer.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/time.h>
#include <sys/socket.h>

#include "base/log.h"
#include "incoming/article_reception.h"
#include "platform/ticks.h"
#include "incoming/reply_buffer.h"


namespace {

// Resume a search 5 bytes before the end of what was searched, so that a
// terminator or line end split between two reads is still found.
void MoveScanPosition(_clientcontext* ctx) {
  if (ctx->bufLen < ctx->scanPos) {
    ctx->scanPos = 0;
  } else if (ctx->bufLen - ctx->scanPos > 5) {
    ctx->scanPos = ctx->bufLen - 5;
  }
}

// The read waits inside recv, bounded by the socket's receive time-out, so
// that a read costs one call whether or not the bytes are there yet. The
// time-out is set again whenever the intake's has changed since.
void ApplyReadTimeout(_clientcontext* ctx) {
  const uint32_t connTimeout = ctx->intake->readTimeout;
  if (ctx->readTimeoutSet && ctx->readTimeout == connTimeout) return;
  // A zero time-out means "wait forever" to the socket; the smallest
  // positive one stands for "do not wait".
  timeval tv{time_t(connTimeout), connTimeout == 0 ? 1 : 0};
  setsockopt(ctx->sock, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  ctx->readTimeout = connTimeout;
  ctx->readTimeoutSet = true;
}

ssize_t Receive(_clientcontext* ctx, int flags) {
  ssize_t n;
  do {
    n = recv(ctx->sock, ctx->buffer + ctx->bufLen, ctx->bufSize - ctx->bufLen - 1, flags);
  } while (n < 0 && errno == EINTR);
  return n;
}

// A buffer shrunk after a large article keeps its memory while the peer
// keeps sending, also a lock-step peer that waits for each reply; once the
// peer has been silent for a moment, the grown part is given back.
constexpr int kReleaseAfterSilenceMs = 1000;

ssize_t ReceiveReleasingWhenIdle(_clientcontext* ctx) {
  if (ctx->releasePending) {
    pollfd p{ctx->sock, POLLIN, 0};
    int r;
    do {
      r = poll(&p, 1, kReleaseAfterSilenceMs);
    } while (r < 0 && errno == EINTR);
    if (r == 0) {
      ctx->memory.Shrink();
      ctx->releasePending = false;
    }
  }
  return Receive(ctx, 0);
}

}  // namespace

void StartTransferClock(_clientcontext* ctx) {
  if (ctx->transferTimed) return;
  ctx->transferTimed = true;
  ctx->transferDeadline = GetTickCount() + ctx->intake->transferTimeout * 1000;
}

int PostRead(_clientcontext* ctx) {
  // The peer may be waiting for these before it sends more.
  StorePending(ctx);
  if (!FlushReplies(ctx)) CloseConnection(ctx);
  CompactBuffer(ctx);
  MoveScanPosition(ctx);
  ApplyReadTimeout(ctx);
  ssize_t n = ReceiveReleasingWhenIdle(ctx);
  const bool timedOut = n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
  // A transfer past its deadline is that, also when the read timed out
  // meanwhile: the peer was given its transfer time and used it up.
  const bool transferOver = ctx->transferTimed && int32_t(GetTickCount() - ctx->transferDeadline) > 0;
  if (transferOver && (timedOut || n > 0)) {
    ctx->intake->base->log.LogLinef("transfer timeout for connection %s", ctx->peerName);
    CloseConnection(ctx);
  }
  if (timedOut) {
    ctx->intake->base->log.LogLinef("read timeout for connection %s", ctx->peerName);
    CloseConnection(ctx);
  }
  if (n <= 0) CloseConnection(ctx);
  ctx->bufLen += uint32_t(n);
  ctx->buffer[ctx->bufLen] = '\0';
  return 1;
}

uint32_t FixBuffer(_clientcontext* ctx, uint32_t count) {
  // Even an emptied buffer keeps its place: the bytes before it may hold
  // articles still to be stored.
  count = std::min(count, ctx->bufLen);
  ctx->bufLen -= count;
  ctx->bufStart += count;
  ctx->buffer = ctx->memory.data() + ctx->bufStart;
  ctx->buffer[ctx->bufLen] = '\0';
  ctx->scanPos = 0;
  return ctx->bufLen;
}

void CompactBuffer(_clientcontext* ctx) {
  if (ctx->bufStart == 0) return;
  memmove(ctx->memory.data(), ctx->buffer, size_t(ctx->bufLen) + 1);
  ctx->bufStart = 0;
  ctx->buffer = ctx->memory.data();
}
