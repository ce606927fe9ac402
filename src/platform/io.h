// Writing every byte: to a socket within a deadline, or to a file. Every
// place that sends on a socket or writes a whole text to a file goes
// through here, so that partial writes, interrupted calls and stalled peers
// are handled once. Also the socket options the relay's connections share.
#pragma once
#include <chrono>
#include <cstddef>
#include <sys/types.h>

using Deadline = std::chrono::steady_clock::time_point;

// No deadline of its own: a blocking socket is then bounded by its send
// time-out (SO_SNDTIMEO) alone.
inline constexpr Deadline kNoDeadline = Deadline::max();

// The deadline `ms` milliseconds from now.
inline Deadline DeadlineAfter(int ms) { return std::chrono::steady_clock::now() + std::chrono::milliseconds(ms); }

// Sends all `length` bytes on `sock`; MSG_NOSIGNAL is always added to
// `flags` (MSG_MORE keeps a head text corked with what follows). When the
// socket takes no more (a non-blocking socket), waits for room until the
// deadline. False when the peer is gone, the send fails or the deadline
// passes (errno ETIMEDOUT).
bool SendWithin(int sock, const void* data, size_t length, Deadline deadline, int flags = 0);

// Waits until `sock` takes more bytes, at most until the deadline. False on
// a time-out (errno ETIMEDOUT) or an error.
bool WaitWritable(int sock, Deadline deadline);

// After a gathered write of `written` bytes: moves *iov and *count past the
// parts written whole, and starts a part written in part where it stopped.
void SkipWritten(struct iovec** iov, int* count, size_t written);

// Writes all `length` bytes to the file `fd`, at `offset` (pwrite), or at
// its current position when `offset` is -1. False on an error (errno set;
// a write that stops short with no error is ENOSPC).
bool WriteFully(int fd, const void* data, size_t length, off_t offset = -1);

// Sets the socket's send and receive time-outs to `ms` milliseconds.
void SetSocketTimeouts(int sock, int ms);

// Turns a boolean socket option on or off (SO_KEEPALIVE, TCP_CORK, ...).
void SetSocketFlag(int sock, int level, int option, bool on = true);
