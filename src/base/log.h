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
#include <cstdio>
#include <mutex>
#include <string>

class Config;

// One relay's log. Safe to use from any thread; writes nothing until
// console_init has opened the file.
class Log {
 public:
  Log() = default;
  ~Log();
  Log(const Log&) = delete;
  Log& operator=(const Log&) = delete;

  // Opens the current log in LogDirectory for appending, estimates its
  // lines as size / 50 and notes the start time. A log that cannot be
  // opened leaves logging off for good. May be called again: the previous
  // file is closed first.
  void console_init(const Config& config);

  // Appends one line. A null text closes the log for shut-down: it writes
  // "base: shutting down" and closes the file; later calls write nothing.
  void LogLine(const char* text);

  // printf-style LogLine.
  void LogLinef(const char* format, ...) __attribute__((format(printf, 2, 3)));

  // Lines counted in the current log file (the estimate plus lines written).
  uint32_t LogLineCount();

  // Seconds since 1970 when the log was started; the reference for uptime.
  uint32_t StartTime() const { return startTime_; }

 private:
  std::string CurrentLogName() const;
  std::string NumberedLogName(uint32_t i) const;
  std::string RotationName(uint32_t i) const;
  void OpenCurrentLog();
  void Rotate();

  std::mutex mu_;
  FILE* file_ = nullptr;
  uint32_t lines_ = 0;
  std::string directory_;
  uint32_t keep_ = 5;  // MaxKeepLogFile
  uint32_t startTime_ = 0;
};
