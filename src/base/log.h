// The relay's log: one file written a timestamped line at a time by every
// thread, rotated by line count into numbered older files.
//
// Files: "<LogDirectory>/veltrane.log" is the current log, and
// "<LogDirectory>/veltrane<N>.log" the older ones, 1 the most recent. Each
// line is the local time in asctime form without its newline, ": ", the text
// and "\n". Above 2000 lines the log rotates, keeping MaxKeepLogFile files
// (default 5, 0 counts as 1) and never replacing an existing file.
#pragma once
#include <cstdint>

// Seconds since 1970 when the log was started; the reference for uptime.
extern uint32_t startTime;

// Opens the current log for appending, estimates its lines as size / 50 and
// sets startTime. A log that cannot be opened leaves logging off for good.
// May be called again (tests): the previous file is closed first.
void console_init();

// Appends one line. A null text closes the log for shut-down: it writes
// "base: shutting down" and closes the file; later calls write nothing.
void LogLine(const char* text);

// printf-style LogLine.
void LogLinef(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Lines counted in the current log file (the estimate plus lines written).
uint32_t LogLineCount();
