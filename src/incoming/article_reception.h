// Receiving one article into a connection's input buffer.
#pragma once

#include "incoming/client_context.h"

// Receives one article (the buffer starts with its first byte) up to its
// "\r\n.\r\n" terminator, stores it when ctx->storeArticle is set, and
// answers with the outcome reply for the mode in ctx->flags: 235/437 after
// ihave, 239/439 after takethis. The buffer grows to 1 MiB once for a
// large article; an article that does not fit even then is read to its end
// and refused. Bytes behind the terminator stay for the next command.
void nntp_readarticle(_clientcontext* ctx);
