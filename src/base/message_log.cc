#include "base/message_log.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/process.h"
#include "platform/service_manager.h"
#include "platform/system_log.h"

// How the process was started, console or service: one answer for the
// whole process, set by its entry before any relay exists.
int bDebug = 0;

namespace {
int dwErr = 0;
}

void AddToMessageLog(const char* text) {
  if (bDebug) {
    printf("%s\n", text);
    fflush(stdout);
    return;
  }
  dwErr = errno;
  char first[256];
  snprintf(first, sizeof first, "%s error: %d", "Veltrane", dwErr);
  WriteSystemLog(first, text);
  if (!StartedByServiceManager()) {
    printf("%s\n", text);
    fflush(stdout);
  }
}

char* GetLastErrorText(char* buf, size_t size) {
  int code = errno;
  char text[256];
  // The GNU strerror_r may return a static text instead of filling `text`.
  const char* msg = strerror_r(code, text, sizeof text);
  if (msg == nullptr || *msg == '\0' || size < strlen(msg) + 14) {
    if (size > 0) buf[0] = '\0';
    return buf;
  }
  snprintf(buf, size, "%s (0x%x)", msg, unsigned(code));
  return buf;
}

void StartupFailure(const std::string& text, bool reported) {
  if (!reported) {
    fputs(text.c_str(), stdout);
    ExitProcess(1);
  }
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    AddToMessageLog(text.substr(start, end - start).c_str());
    start = end + 1;
  }
  ExitProcess(1);
}
