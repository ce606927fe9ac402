// Millisecond tick counter for ages and time-outs.
#pragma once
#include <cstdint>

// Milliseconds of the monotonic clock, truncated to 32 bits: it wraps after
// about 49.7 days, so callers compare ticks with unsigned subtraction only.
uint32_t GetTickCount();
