#include "incoming/nntp_server.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <strings.h>
#include <sys/socket.h>

#include "article/article_headers.h"
#include "base/relay_base.h"
#include "dedupe/precommit.h"
#include "dedupe/seen.h"
#include "incoming/article_reception.h"
#include "incoming/input_buffer.h"
#include "incoming/reply_buffer.h"
#include "spool/article_spool.h"

namespace {

// More than this many bytes without a line end is not NNTP.
constexpr uint32_t kMaxLineWithoutEnd = 275;

enum class Command {
  kCheck, kTakethis, kIhave, kInnoculate, kModeStream, kModeReader, kQuit, kStatistics, kArticle, kOther
};

struct CommandWord {
  const char* text;  // compared over its whole length, without regard to case
  Command command;
};

// Order matters: the first match wins.
constexpr CommandWord kCommands[] = {
    {"check ", Command::kCheck},         {"takethis ", Command::kTakethis},
    {"ihave ", Command::kIhave},         {"innoculate", Command::kInnoculate},
    {"mode strea", Command::kModeStream}, {"mode reade", Command::kModeReader},
    {"quit", Command::kQuit},            {"ssp", Command::kStatistics},
    {"article", Command::kArticle},
};

Command ParseCommand(const char* line) {
  for (const CommandWord& w : kCommands) {
    if (strncasecmp(line, w.text, strlen(w.text)) == 0) return w.command;
  }
  return Command::kOther;
}

// Finds the CR LF that ends the command line at the front of the buffer,
// resuming 2 bytes before scanPos; -1 when there is none yet. The search
// runs by length: a NUL a peer sent is a byte of the line like any other,
// and must not hide its end.
int FindLineEnd(const _clientcontext* ctx) {
  uint32_t start = ctx->scanPos > 2 ? ctx->scanPos - 2 : 0;
  if (start > ctx->bufLen) start = 0;
  const char* crlf = FindBytes(ctx->buffer + start, ctx->bufLen - start, "\r\n", 2);
  return crlf != nullptr ? int(crlf - ctx->buffer) : -1;
}

// Parses the Message-ID of the command line at the front of the buffer.
bool ParseId(_clientcontext* ctx, uint32_t lineLength) {
  // The line's LF (behind the NUL put on its CR) ends the identifier.
  return GetArticleID(ctx, ctx->buffer, lineLength + 2) == 1;
}

void HandleCheck(_clientcontext* ctx, uint32_t lineLength) {
  Bump(ctx->intake->base->stats.check);
  if (!ParseId(ctx, lineLength)) {
    Respond(ctx, kReplyTakethisRefuse);
  } else if (ctx->intake->seen->CheckSeen(ctx->idKey[0], ctx->idKey[1])) {
    Respond(ctx, kReplyCheckRefuse);
  } else if (ctx->intake->precommit->AddPrecommit(ctx->idHash)) {
    Respond(ctx, kReplyCheckAccept);
  } else {
    Respond(ctx, kReplyCheckLater);
  }
}

// The article follows the line at once; a takethis whose Message-ID does
// not parse still has its article read, and is refused.
void HandleTakethis(_clientcontext* ctx, uint32_t lineLength) {
  bool parsed = ParseId(ctx, lineLength);
  ctx->intake->precommit->AddPrecommit(ctx->idHash);
  ctx->flags |= kStreamingReply;
  ctx->storeArticle = parsed ? 1 : 0;
  FixBuffer(ctx, lineLength + 2);
  nntp_readarticle(ctx);
  Bump(ctx->intake->base->stats.takethis);
}

// The ihave exchange is lock-step: nothing the peer sent behind the
// command line belongs to it. The command line is gone when this returns;
// bytes that came behind the article stay for the next command.
void nntp_ihave(_clientcontext* ctx, uint32_t lineLength) {
  ctx->flags &= ~kStreamingReply;
  if (!ParseId(ctx, lineLength)) {
    Respond(ctx, kReplyInvalidId);
    FixBuffer(ctx, lineLength + 2);
    return;
  }
  FixBuffer(ctx, ctx->bufLen);
  if (ctx->intake->seen->CheckSeen(ctx->idKey[0], ctx->idKey[1])) {
    Respond(ctx, kReplyAlreadyGot);
  } else if (ctx->intake->precommit->AddPrecommit(ctx->idHash)) {
    ctx->storeArticle = 1;
    Respond(ctx, kReplySendIt);
    nntp_readarticle(ctx);
  } else {
    Respond(ctx, kReplyIhaveLater);
  }
}

void HandleInnoculate(_clientcontext* ctx, uint32_t lineLength) {
  if (!ParseId(ctx, lineLength)) {
    Respond(ctx, kReplyTakethisRefuse);
    return;
  }
  ctx->intake->spool->InnoculateHistory(ctx->idKey, PeerCounters{&ctx->incoming->refused, &ctx->incoming->rejected});
}

void HandleModeStream(_clientcontext* ctx) {
  Respond(ctx, ctx->incoming->streaming ? kReplyStreamOk : kReplyInvalidCommand);
}

// Handles one command line (NUL-terminated at its CR). Returns false when
// the command removed its line from the buffer itself.
bool HandleCommand(_clientcontext* ctx, uint32_t lineLength) {
  const Command command = ParseCommand(ctx->buffer);
  // Whatever else the peer asks sees those articles stored and answered.
  if (command != Command::kTakethis) StorePending(ctx);
  switch (command) {
    case Command::kCheck:
      HandleCheck(ctx, lineLength);
      return true;
    case Command::kTakethis:
      HandleTakethis(ctx, lineLength);
      return false;
    case Command::kIhave:
      nntp_ihave(ctx, lineLength);
      Bump(ctx->intake->base->stats.ihave);
      return false;
    case Command::kInnoculate:
      HandleInnoculate(ctx, lineLength);
      return true;
    case Command::kModeStream:
      HandleModeStream(ctx);
      return true;
    case Command::kModeReader:
      CloseConnection(ctx);
    case Command::kQuit:
      Respond(ctx, kReplyGoodbye);
      CloseConnection(ctx);
    case Command::kStatistics:
      Respond(ctx, kReplyStatistics);
      return true;
    case Command::kArticle:
    case Command::kOther:
      Respond(ctx, kReplyInvalidCommand);
      return true;
  }
  return true;
}

[[noreturn]] void CommandLoop(_clientcontext* ctx) {
  for (;;) {
    ctx->buffer[ctx->bufLen] = '\0';
    if (ctx->bufLen == 0) PostRead(ctx);
    int end = FindLineEnd(ctx);
    if (end < 0) {
      if (ctx->bufLen > kMaxLineWithoutEnd) {
        ctx->intake->base->log.LogLinef("main: garbage on connection from %s\n", ctx->peerName);
        CloseConnection(ctx);
      }
      StartTransferClock(ctx);
      PostRead(ctx);
      continue;
    }
    StopTransferClock(ctx);
    ctx->buffer[end] = '\0';
    if (HandleCommand(ctx, uint32_t(end))) FixBuffer(ctx, uint32_t(end) + 2);
  }
}

// The fixed text of one reply, or nullptr for the replies that carry the
// Message-ID; counters are raised here, before the reply is sent.
const char* CountReply(_clientcontext* ctx, int code) {
  _incomingentry* peer = ctx->incoming;
  switch (code) {
    case kReplyInvalidId: return "400 Invalid articleid\r\n";
    case kReplySendIt: return "335 Send it\r\n";
    case kReplyAlreadyGot:
      Bump(ctx->intake->base->stats.ihave_refuse);
      peer->refused++;
      return "435 Already got it\r\n";
    case kReplyGotIt:
      Bump(ctx->intake->base->stats.ihave_accept);
      peer->accepts++;
      return "235 Got it\r\n";
    case kReplyStreamOk: return "203 StreamOK\r\n";
    case kReplyCheckRefuse:
      Bump(ctx->intake->base->stats.check_refuse);
      peer->refused++;
      return nullptr;
    case kReplyTransferOk:
      Bump(ctx->intake->base->stats.takethis_transferok);
      peer->accepts++;
      return nullptr;
    case kReplyGoodbye: return "205 Goodbye\r\n";
    case kReplyCheckAccept:
      Bump(ctx->intake->base->stats.check_accept);
      return nullptr;
    // Another connection is receiving the article. Its transfer may still
    // fail, so the peer is asked to offer it again later, not told that
    // it is unwanted.
    case kReplyCheckLater:
      Bump(ctx->intake->base->stats.precommit_saves);
      peer->precommit_saves++;
      return nullptr;
    case kReplyIhaveLater:
      Bump(ctx->intake->base->stats.precommit_saves);
      peer->precommit_saves++;
      return "436 Transfer not possible; try again later\r\n";
    case kReplyBadArticle:
      Bump(ctx->intake->base->stats.ihave_reject);
      peer->rejected++;
      return "437 Bad Article\r\n";
    case kReplyTakethisRefuse:
      Bump(ctx->intake->base->stats.takethis_refuse);
      peer->rejected++;
      return nullptr;
    default: return "500 invalid command\r\n";
  }
}

// The status of a reply that carries the Message-ID.
const char* IdReplyStatus(int code) {
  switch (code) {
    case kReplyCheckRefuse: return "438";
    case kReplyTransferOk: return "239";
    case kReplyCheckAccept: return "238";
    case kReplyCheckLater: return "431";
    default: return "439";
  }
}

}  // namespace

int Respond(_clientcontext* ctx, int code) { return RespondFor(ctx, code, ctx->articleId); }

int RespondFor(_clientcontext* ctx, int code, const char* articleId) {
  bool sent;
  if (code == kReplyStatistics) {
    const RelayBase& base = *ctx->intake->base;
    std::string text = ctx->intake->statistics ? ctx->intake->statistics()
                                               : GetBaseStatsString(base.stats, base.log.StartTime());
    sent = QueueReply(ctx, text.data(), text.size());
  } else if (const char* fixed = CountReply(ctx, code)) {
    sent = QueueReply(ctx, fixed, strlen(fixed));
  } else {
    // "<status> <id>\r\n", put together by hand: nearly every article is
    // answered so, and a formatted print costs more than the rest of it.
    char reply[sizeof ctx->articleId + 8];
    const size_t id = strnlen(articleId, sizeof ctx->articleId);
    memcpy(reply, IdReplyStatus(code), 3);
    memcpy(reply + 3, " <", 2);
    memcpy(reply + 5, articleId, id);
    memcpy(reply + 5 + id, ">\r\n", 3);
    sent = QueueReply(ctx, reply, id + 8);
  }
  if (!sent) CloseConnection(ctx);
  return 1;
}

void nntp(_clientcontext* ctx) {
  try {
    CommandLoop(ctx);
  } catch (const ConnectionEnded&) {
    return;
  } catch (...) {
    ctx->intake->base->log.LogLine("main: exception occured in nntp.c");
  }
  try {
    CloseConnection(ctx);
  } catch (const ConnectionEnded&) {
  }
}
