// Replies of one connection wait in its context until the thread has
// nothing left to do but wait for the peer: a peer that pipelines many
// commands gets their replies in few sends instead of one send each, and
// a lock-step peer still gets each reply before the relay waits for its
// next line. The bytes and their order are those of one send per reply.
#pragma once
#include <cstddef>

#include "incoming/client_context.h"

// Appends one reply, sending what is pending first when it would not fit.
// False when that send failed.
bool QueueReply(_clientcontext* ctx, const char* text, size_t length);

// Sends every pending reply. False when the send failed; the pending bytes
// are dropped either way.
bool FlushReplies(_clientcontext* ctx);
