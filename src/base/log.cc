#include "base/log.h"

#include <cstdarg>
#include <ctime>

#include "base/config.h"
#include "platform/files.h"

namespace {

constexpr uint32_t kMaxLogLines = 2000;

// asctime form without the newline: "Sun Dec  6 05:06:03 2026".
void FormatNow(char* buf, size_t size) {
  time_t now = time(nullptr);
  tm local;
  localtime_r(&now, &local);
  strftime(buf, size, "%a %b %e %H:%M:%S %Y", &local);
}

}  // namespace

Log::~Log() {
  if (file_ != nullptr) fclose(file_);
}

std::string Log::CurrentLogName() const { return directory_ + "/veltrane.log"; }

// File i of the rotation: 0 is the current log, i > 0 an older one. The
// deletion step asks for a numbered name even for 0 ("veltrane0.log").
std::string Log::NumberedLogName(uint32_t i) const {
  return directory_ + "/veltrane" + std::to_string(i) + ".log";
}

std::string Log::RotationName(uint32_t i) const { return i == 0 ? CurrentLogName() : NumberedLogName(i); }

void Log::OpenCurrentLog() { file_ = fopen(CurrentLogName().c_str(), "ae"); }

// Caller holds mu_.
void Log::Rotate() {
  if (file_ != nullptr) fclose(file_);
  file_ = nullptr;
  uint32_t n = (keep_ == 0 ? 1 : keep_) - 1;
  remove(NumberedLogName(n).c_str());
  for (uint32_t i = n + 1; i-- > 0;) {
    MoveFileNoReplace(RotationName(i).c_str(), RotationName(i + 1).c_str());
  }
  OpenCurrentLog();
  lines_ = 0;
}

void Log::console_init(const Config& config) {
  std::lock_guard<std::mutex> lock(mu_);
  if (file_ != nullptr) fclose(file_);
  const char* dir = config.GetConfigString("LogDirectory");
  directory_ = dir != nullptr ? dir : "f:/news/logs";
  keep_ = 5;
  config.GetConfigInt("MaxKeepLogFile", &keep_);
  lines_ = 0;
  OpenCurrentLog();
  if (file_ != nullptr && fseek(file_, 0, SEEK_END) == 0) {
    long size = ftell(file_);
    if (size > 0) lines_ = uint32_t(size / 50);
  }
  startTime_ = uint32_t(time(nullptr));
}

void Log::LogLine(const char* text) {
  std::lock_guard<std::mutex> lock(mu_);
  if (text == nullptr) {
    if (file_ != nullptr) {
      fputs("base: shutting down\n", file_);
      fclose(file_);
      file_ = nullptr;
    }
    return;
  }
  if (file_ == nullptr) return;
  char stamp[64];
  FormatNow(stamp, sizeof stamp);
  fprintf(file_, "%s: %s\n", stamp, text);
  fflush(file_);
  if (++lines_ > kMaxLogLines) Rotate();
}

void Log::LogLinef(const char* format, ...) {
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

uint32_t Log::LogLineCount() {
  std::lock_guard<std::mutex> lock(mu_);
  return lines_;
}
