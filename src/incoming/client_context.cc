#include "incoming/client_context.h"

#include <cstring>
#include <mutex>
#include <new>
#include <set>
#include <sys/socket.h>
#include <unistd.h>

#include "incoming/article_reception.h"
#include "incoming/reply_buffer.h"

void TrackConnection(const _clientcontext* ctx) {
  std::lock_guard<std::mutex> lock(ctx->intake->trackedMu);
  ctx->intake->tracked.insert(ctx->sock);
}

void ShutDownConnections(Intake* intake) {
  std::lock_guard<std::mutex> lock(intake->trackedMu);
  for (int sock : intake->tracked) shutdown(sock, SHUT_RDWR);
}

_clientcontext* AllocClientContext() {
  _clientcontext* ctx = new (std::nothrow) _clientcontext();
  if (ctx == nullptr) return nullptr;
  memset(static_cast<ArticleIdentity*>(ctx), 0, sizeof(ArticleIdentity));
  if (!ctx->memory.Reserve(kLargeBufferSize + 1, kSmallBufferSize + 1)) {
    delete ctx;
    return nullptr;
  }
  ctx->buffer = ctx->memory.data();
  ctx->bufSize = kSmallBufferSize;
  ctx->buffer[0] = '\0';
  return ctx;
}

void AddContextToFreeList(_clientcontext* ctx) {
  if (ctx->sock >= 0 && ctx->intake != nullptr) {
    std::lock_guard<std::mutex> lock(ctx->intake->trackedMu);
    ctx->intake->tracked.erase(ctx->sock);
    close(ctx->sock);
  } else if (ctx->sock >= 0) {
    close(ctx->sock);
  }
  delete ctx;  // the buffer's range goes with it
}

void CloseConnection(_clientcontext* ctx) {
  // Articles received whole are stored, and replies chosen before the end
  // still go out, as they would have had each been sent at once; a failure
  // changes nothing now.
  StorePending(ctx);
  FlushReplies(ctx);
  if (ctx->incoming != nullptr) ctx->incoming->connected--;
  if (ctx->intake != nullptr) ctx->intake->connections--;
  AddContextToFreeList(ctx);
  throw ConnectionEnded{};
}
