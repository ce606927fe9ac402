// A connection's input buffer: filled from the socket with a read time-out,
// consumed from the front.
#pragma once
#include <cstdint>

#include "incoming/client_context.h"

// The time-outs are the connection's intake's (client_context.h).

// Starts the transfer clock of the line or article under way (unless it
// runs already); PostRead ends the connection once it passes
// ("transfer timeout for connection <peer>" logged). StopTransferClock
// ends it when the line or article is whole.
void StartTransferClock(_clientcontext* ctx);
inline void StopTransferClock(_clientcontext* ctx) { ctx->transferTimed = false; }

// Appends what the socket holds (up to the free space) to the buffer.
// Ends the connection on a time-out ("read timeout for connection <peer>"
// logged), when the peer closes, or when the read fails. Returns 1.
int PostRead(_clientcontext* ctx);

// Drops the first `count` bytes (all when count >= bufLen) and restarts
// the scan; the rest is moved to the range's start by the next read or
// CompactBuffer, never here. Returns the new bufLen.
uint32_t FixBuffer(_clientcontext* ctx, uint32_t count);

// Moves the unconsumed bytes (and their NUL) to the start of the range.
void CompactBuffer(_clientcontext* ctx);
