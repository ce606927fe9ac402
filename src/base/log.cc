#include "base/log.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>

#include "base/config.h"
#include "platform/files.h"

uint32_t startTime = 0;

namespace {

std::mutex csLog;
FILE* fLogFile = nullptr;
uint32_t dwLogLines = 0;

constexpr uint32_t kMaxLogLines = 2000;

std::string LogDirectory() {
  const char* dir = GetConfigString("LogDirectory");
  return dir != nullptr ? dir : "f:/news/logs";
}

std::string CurrentLogName() { return LogDirectory() + "/veltrane.log"; }

// File i of the rotation: 0 is the current log, i > 0 an older one. The
// deletion step asks for a numbered name even for 0 ("veltrane0.log").
std::string NumberedLogName(uint32_t i) {
  return LogDirectory() + "/veltrane" + std::to_string(i) + ".log";
}

std::string RotationName(uint32_t i) { return i == 0 ? CurrentLogName() : NumberedLogName(i); }

void OpenCurrentLog() { fLogFile = fopen(CurrentLogName().c_str(), "a"); }

// Caller holds csLog.
void Rotate() {
  if (fLogFile != nullptr) fclose(fLogFile);
  fLogFile = nullptr;
  uint32_t keep = 5;
  GetConfigInt("MaxKeepLogFile", &keep);
  if (keep == 0) keep = 1;
  uint32_t n = keep - 1;
  remove(NumberedLogName(n).c_str());
  for (uint32_t i = n + 1; i-- > 0;) {
    MoveFileNoReplace(RotationName(i).c_str(), RotationName(i + 1).c_str());
  }
  OpenCurrentLog();
  dwLogLines = 0;
}

// asctime form without the newline: "Sun Dec  6 05:06:03 2026".
void FormatNow(char* buf, size_t size) {
  time_t now = time(nullptr);
  tm local;
  localtime_r(&now, &local);
  strftime(buf, size, "%a %b %e %H:%M:%S %Y", &local);
}

}  // namespace

void console_init() {
  std::lock_guard<std::mutex> lock(csLog);
  if (fLogFile != nullptr) fclose(fLogFile);
  dwLogLines = 0;
  OpenCurrentLog();
  if (fLogFile != nullptr && fseek(fLogFile, 0, SEEK_END) == 0) {
    long size = ftell(fLogFile);
    if (size > 0) dwLogLines = uint32_t(size / 50);
  }
  startTime = uint32_t(time(nullptr));
}

void LogLine(const char* text) {
  std::lock_guard<std::mutex> lock(csLog);
  if (text == nullptr) {
    if (fLogFile != nullptr) {
      fputs("base: shutting down\n", fLogFile);
      fclose(fLogFile);
      fLogFile = nullptr;
    }
    return;
  }
  if (fLogFile == nullptr) return;
  char stamp[64];
  FormatNow(stamp, sizeof stamp);
  fprintf(fLogFile, "%s: %s\n", stamp, text);
  fflush(fLogFile);
  if (++dwLogLines > kMaxLogLines) Rotate();
}

void LogLinef(const char* format, ...) {
  char buf[1024];
  va_list ap;
  va_start(ap, format);
  int n = vsnprintf(buf, sizeof buf, format, ap);
  va_end(ap);
  if (n < int(sizeof buf)) {
    LogLine(buf);
    return;
  }
  std::string big(size_t(n) + 1, '\0');
  va_start(ap, format);
  vsnprintf(big.data(), big.size(), format, ap);
  va_end(ap);
  LogLine(big.c_str());
}

uint32_t LogLineCount() {
  std::lock_guard<std::mutex> lock(csLog);
  return dwLogLines;
}
