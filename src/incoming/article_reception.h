// Receiving one article into a connection's input buffer.
#pragma once

#include "incoming/client_context.h"

// Receives one article (the buffer starts with its first byte) up to its
// "\r\n.\r\n" terminator, stores it when ctx->storeArticle is set, and
// answers with the outcome reply for the mode in ctx->flags: 235/437 after
// ihave, 239/439 after takethis. The buffer grows to 1 MiB once for a
// large article; an article that does not fit even then is read to its end
// and refused. Bytes behind the terminator stay for the next command.
// A whole article after takethis is not stored at once but kept pending
// (at most kMaxStoreBatch), so that all a read brought in is stored with one
// write; its reply waits with it.
void nntp_readarticle(_clientcontext* ctx);

// Stores the pending articles and queues their replies, in the order they
// came; a spool that cannot be written ends the connection. Called before
// the buffer's bytes move, before the connection waits for its peer or
// ends, and before any other reply.
void StorePending(_clientcontext* ctx);
