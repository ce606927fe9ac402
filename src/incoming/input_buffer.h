// A connection's input buffer: filled from the socket with a read time-out,
// consumed from the front.
#pragma once
#include <cstdint>

#include "incoming/client_context.h"

// The read time-out in seconds (300 unless IncomingReadTimeout is set).
extern uint32_t connTimeout;

// Appends what the socket holds (up to the free space) to the buffer.
// Ends the connection on a time-out ("read timeout for connection <peer>"
// logged), when the peer closes, or when the read fails. Returns 1.
int PostRead(_clientcontext* ctx);

// Drops the first `count` bytes (all when count >= bufLen), moves the rest
// to the front and restarts the scan. Returns the new bufLen.
uint32_t FixBuffer(_clientcontext* ctx, uint32_t count);
