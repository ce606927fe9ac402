#include "incoming/article_reception.h"

#include <cstring>

#include "article/article_headers.h"
#include "incoming/input_buffer.h"
#include "incoming/nntp_server.h"
#include "spool/article_spool.h"

namespace {

constexpr uint32_t kTerminatorLength = 5;

int FindTerminator(const _clientcontext* ctx) {
  uint32_t start = ctx->scanPos <= ctx->bufLen ? ctx->scanPos : 0;
  const char* hit = FindArticleEnd(ctx->buffer + start, ctx->bufLen - start);
  return hit != nullptr ? int(hit - ctx->buffer) : -1;
}

// A full buffer grows once; a full grown buffer means the article is too
// large, and it is read on and discarded, unless the article ends inside
// the buffer: a peer that pipelines commands and articles behind it fills
// the buffer just as well, and that article fits. An article whose
// terminator takes the buffer's last byte still counts as too large.
void MakeRoom(_clientcontext* ctx) {
  if (ctx->bufLen != ctx->bufSize - 1) return;
  if (ctx->bufSize == kSmallBufferSize && ctx->memory.Grow()) {
    ctx->bufSize = kLargeBufferSize;
    ctx->releasePending = false;
    return;
  }
  int end = FindTerminator(ctx);
  bool endsInside = end >= 0 && uint32_t(end) + kTerminatorLength < ctx->bufLen;
  if (!endsInside) ctx->storeArticle = 0;
}

// While an article is discarded the buffer is emptied after every search,
// keeping only the last bytes a terminator split between reads could start
// in, so the terminator is still found and nothing behind it is lost.
// Returns the number of bytes dropped.
uint32_t DropSearchedBytes(_clientcontext* ctx) {
  uint32_t count = ctx->bufLen - (kTerminatorLength - 1);
  FixBuffer(ctx, count);
  return count;
}

StoreRequest RequestOf(_clientcontext* ctx) {
  StoreRequest article;
  article.text = ctx->buffer;
  article.length = ctx->articleLength;
  article.received = ctx->bufLen;
  article.articleId = ctx->articleId;
  article.idHash = ctx->idHash;
  article.idKey[0] = ctx->idKey[0];
  article.idKey[1] = ctx->idKey[1];
  article.peerName = ctx->peerName;
  article.peer = PeerCounters{&ctx->incoming->refused, &ctx->incoming->rejected};
  return article;
}

bool Failed(StoreResult result) { return result == StoreResult::kWriteFailed || result == StoreResult::kClosed; }

// Hands the received article to the spool; a spool file that cannot be
// written ends the connection.
bool Store(_clientcontext* ctx) {
  StoreResult result = ctx->intake->spool->AddArticleToFile(RequestOf(ctx));
  if (Failed(result)) CloseConnection(ctx);
  return result == StoreResult::kStored;
}

// Keeps the received article (takethis) for StorePending, which runs at
// once when the batch is full.
void Defer(_clientcontext* ctx) {
  const uint32_t i = ctx->pendingCount++;
  memcpy(ctx->pendingIds[i], ctx->articleId, sizeof ctx->pendingIds[i]);
  ctx->pending[i] = RequestOf(ctx);
  ctx->pending[i].articleId = ctx->pendingIds[i];
  if (ctx->pendingCount == kMaxStoreBatch) StorePending(ctx);
}

void Answer(_clientcontext* ctx, bool stored) {
  bool streaming = ctx->flags & kStreamingReply;
  if (stored) {
    Respond(ctx, streaming ? kReplyTransferOk : kReplyGotIt);
  } else {
    Respond(ctx, streaming ? kReplyTakethisRefuse : kReplyBadArticle);
  }
}

// A grown buffer goes back to 64 KiB after a large article (stored or
// discarded) unless what follows it still needs the room. The memory
// itself is given back once the connection waits for its peer (PostRead):
// a peer sending large articles back to back would otherwise fault the
// same megabyte in again for every article.
void ShrinkAfter(_clientcontext* ctx, uint64_t consumed) {
  if (ctx->bufSize == kLargeBufferSize && consumed >= kSmallBufferSize && ctx->bufLen + 1 < kSmallBufferSize) {
    StorePending(ctx);
    CompactBuffer(ctx);
    ctx->bufSize = kSmallBufferSize;
    ctx->releasePending = true;
  }
}

}  // namespace

void StorePending(_clientcontext* ctx) {
  const uint32_t count = ctx->pendingCount;
  if (count == 0) return;
  ctx->pendingCount = 0;
  StoreResult results[kMaxStoreBatch];
  ctx->intake->spool->AddArticlesToFile(ctx->pending, count, results);
  for (uint32_t i = 0; i < count; i++) {
    if (Failed(results[i])) CloseConnection(ctx);
    RespondFor(ctx, results[i] == StoreResult::kStored ? kReplyTransferOk : kReplyTakethisRefuse, ctx->pendingIds[i]);
  }
}

void nntp_readarticle(_clientcontext* ctx) {
  // Until bytes of a discarded article are dropped, the buffer starts with
  // the article's first byte: only then does a leading "." line mean an
  // empty article.
  bool atArticleStart = true;
  uint64_t dropped = 0;
  StartTransferClock(ctx);
  for (;;) {
    MakeRoom(ctx);
    ctx->buffer[ctx->bufLen] = '\0';
    if (atArticleStart && ctx->bufLen >= 3 && memcmp(ctx->buffer, ".\r\n", 3) == 0) {
      StorePending(ctx);
      Answer(ctx, false);
      FixBuffer(ctx, 3);
      StopTransferClock(ctx);
      return;
    }
    int end = FindTerminator(ctx);
    if (end < 0) {
      if (!ctx->storeArticle && ctx->bufLen >= kTerminatorLength) {
        dropped += DropSearchedBytes(ctx);
        atArticleStart = false;
      }
      PostRead(ctx);
      continue;
    }
    ctx->articleLength = uint32_t(end);
    if (ctx->storeArticle && (ctx->flags & kStreamingReply)) {
      Defer(ctx);
    } else {
      StorePending(ctx);
      bool stored = ctx->storeArticle && Store(ctx);
      Answer(ctx, stored);
    }
    uint32_t consumed = ctx->articleLength + kTerminatorLength;
    FixBuffer(ctx, consumed);
    ShrinkAfter(ctx, dropped + consumed);
    StopTransferClock(ctx);
    return;
  }
}
