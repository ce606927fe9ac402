#include "incoming/input_buffer.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>

#include "service/log.h"

uint32_t connTimeout = 300;

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

bool WaitReadable(int sock, uint32_t seconds) {
  pollfd p{sock, POLLIN, 0};
  for (;;) {
    int r = poll(&p, 1, int(seconds * 1000));
    if (r < 0 && errno == EINTR) continue;
    return r > 0;
  }
}

}  // namespace

int PostRead(_clientcontext* ctx) {
  MoveScanPosition(ctx);
  if (!WaitReadable(ctx->sock, connTimeout)) {
    LogLinef("read timeout for connection %s", ctx->peerName);
    CloseConnection(ctx);
  }
  ssize_t n;
  do {
    n = recv(ctx->sock, ctx->buffer + ctx->bufLen, ctx->bufSize - ctx->bufLen - 1, 0);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) CloseConnection(ctx);
  ctx->bufLen += uint32_t(n);
  ctx->buffer[ctx->bufLen] = '\0';
  return 1;
}

uint32_t FixBuffer(_clientcontext* ctx, uint32_t count) {
  if (count >= ctx->bufLen) {
    ctx->bufLen = 0;
  } else {
    ctx->bufLen -= count;
    memmove(ctx->buffer, ctx->buffer + count, ctx->bufLen);
  }
  ctx->buffer[ctx->bufLen] = '\0';
  ctx->scanPos = 0;
  return ctx->bufLen;
}
