// Date texts as found in news and mail headers ("Sun, 06 Dec 2026 18:06:03
// +0000", "5 Jan 97 10:00 EST", "Jan 5, 1997", "+1 day") to seconds since
// 1970-01-01 00:00:00 UTC.
//
// A text is any sequence of items: at most one time of day (optionally with
// a zone word or a numeric zone), at most one date, and any number of
// relative items ("2 weeks", "-1 year"). Fields the text leaves out come
// from the reference time in local time; a text without date or time means
// the reference time itself, or with no relative item either, the start of
// its local day. Comments in parentheses are skipped. Local time follows the
// C library's zone (the TZ environment variable).
//
// The parse keeps all its state on the caller's stack: any number of threads
// may parse at once.
#pragma once
#include <cstddef>
#include <cstdint>

#include "parsedate/time_info.h"

// The instant `text` names, or -1 when it cannot be read, names an impossible
// date or time, or lies outside the signed 32-bit range (after 2038-01-19
// 03:14:07 UTC). An instant of exactly -1 is returned as 0. `now` is the
// reference time; null means the current time from GetTimeInfo.
int32_t parsedate(const char* text, const _timenow* now);

// The same for a text of `length` bytes that need not be NUL-terminated:
// no byte at or beyond text + length is read. A NUL inside ends the text.
int32_t parsedate(const char* text, size_t length, const _timenow* now);
