#include "incoming/client_context.h"

#include <cstring>
#include <mutex>
#include <new>
#include <set>
#include <sys/socket.h>
#include <unistd.h>

#include "incoming/reply_buffer.h"

std::atomic<uint32_t> TotalConnected{0};

namespace {

// A socket is shut down only while it is here, so never after its
// descriptor was closed and perhaps given to another file.
std::mutex trackedMu;
std::set<int> tracked;

}  // namespace

void TrackConnection(const _clientcontext* ctx) {
  std::lock_guard<std::mutex> lock(trackedMu);
  tracked.insert(ctx->sock);
}

void ShutDownConnections() {
  std::lock_guard<std::mutex> lock(trackedMu);
  for (int sock : tracked) shutdown(sock, SHUT_RDWR);
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
  if (ctx->sock >= 0) {
    std::lock_guard<std::mutex> lock(trackedMu);
    tracked.erase(ctx->sock);
    close(ctx->sock);
  }
  delete ctx;  // the buffer's range goes with it
}

void CloseConnection(_clientcontext* ctx) {
  // Replies chosen before the end still go out, as they would have had
  // each been sent at once; a failure changes nothing now.
  FlushReplies(ctx);
  if (ctx->incoming != nullptr) ctx->incoming->connected--;
  TotalConnected--;
  AddContextToFreeList(ctx);
  throw ConnectionEnded{};
}
