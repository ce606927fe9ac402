// The server side of the relay's NNTP dialect, one thread per connection.
#pragma once
#include <string>

#include "incoming/client_context.h"

// Reply codes of Respond; each picks one reply text and its counters.
enum ReplyCode {
  kReplyInvalidId = 1,      // "400 Invalid articleid"
  kReplySendIt = 2,         // "335 Send it"
  kReplyAlreadyGot = 3,     // "435 Already got it"
  kReplyGotIt = 4,          // "235 Got it"
  kReplyStreamOk = 6,       // "203 StreamOK"
  kReplyCheckRefuse = 7,    // "438 <id>"
  kReplyTransferOk = 9,     // "239 <id>"
  kReplyInvalidCommand = 10,
  kReplyGoodbye = 11,
  kReplyStatistics = 13,    // the full statistics text
  kReplyCheckAccept = 238,  // "238 <id>"
  kReplyCheckLater = 431,   // "431 <id>": in transfer on another connection
  kReplyIhaveLater = 436,   // "436 Transfer not possible; try again later"
  kReplyBadArticle = 437,   // "437 Bad Article"
  kReplyTakethisRefuse = 439,
};

// The thread routine of one admitted connection; ends the connection.
void nntp(_clientcontext* ctx);

// Counts and queues one reply, which goes out before the thread next waits
// for input (incoming/reply_buffer.h); ends the connection when a send fails.
// Returns 1.
int Respond(_clientcontext* ctx, int code);
// Respond for the article `articleId` instead of the one named last.
int RespondFor(_clientcontext* ctx, int code, const char* articleId);

