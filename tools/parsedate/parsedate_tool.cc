// veltrane-parsedate [--now SECONDS]
//
// Reads date texts, one a line, on standard input and prints for each, on a
// line of its own, the seconds since 1970-01-01 00:00:00 UTC the relay reads
// from it, or -1 when it refuses it. Without --now the reference time is the
// current time, as for articles the relay receives. Local time follows TZ.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include "parsedate/parsedate.h"

namespace {

constexpr int kUsageError = 2;

int Usage() {
  fprintf(stderr, "usage: veltrane-parsedate [--now SECONDS] < dates\n");
  return kUsageError;
}

// A reference time at `text` seconds, with the local zone offset of that
// instant.
bool ParseReference(const char* text, _timenow* now) {
  errno = 0;
  char* end;
  long long v = strtoll(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || v < INT32_MIN || v > INT32_MAX) return false;
  now->seconds = int32_t(v);
  now->microseconds = 0;
  return LocalZoneMinutesWest(v, &now->zone_minutes_west);
}

}  // namespace

int main(int argc, char** argv) {
  _timenow reference;
  const _timenow* now = nullptr;
  for (int i = 1; i < argc; i++) {
    if (strcmp(argv[i], "--now") == 0 && i + 1 < argc) {
      if (!ParseReference(argv[++i], &reference)) {
        fprintf(stderr, "veltrane-parsedate: bad --now value \"%s\"\n", argv[i]);
        return kUsageError;
      }
      now = &reference;
    } else {
      return Usage();
    }
  }
  std::string line;
  while (std::getline(std::cin, line)) {
    printf("%d\n", int(parsedate(line.data(), line.size(), now)));
  }
  return ferror(stdout) || fflush(stdout) != 0 ? 1 : 0;
}
