#include "loadgen/article_source.h"

#include <cstdio>
#include <cstring>

namespace loadgen {

namespace {

constexpr size_t kBodyLineChars = 70;  // a line of 72 bytes with its CR LF
constexpr char kTerminatorLine[] = ".\r\n";
constexpr char kStampName[] = "X-Loadgen-Sent: ";
constexpr size_t kStampDigits = 19;
constexpr size_t kStampLineLength = sizeof kStampName - 1 + kStampDigits + 2;

uint64_t RealtimeNs() {
  timespec t;
  clock_gettime(CLOCK_REALTIME, &t);
  return uint64_t(t.tv_sec) * 1000000000u + uint64_t(t.tv_nsec);
}

std::string DateText(time_t now) {
  tm t;
  gmtime_r(&now, &t);
  static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  char text[64];
  snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d +0000", kDays[t.tm_wday], t.tm_mday,
           kMonths[t.tm_mon], t.tm_year + 1900, t.tm_hour, t.tm_min, t.tm_sec);
  return text;
}

std::string HeadBeforeId(const std::string& date, size_t subjectPadding) {
  return "Path: loadgen.invalid!not-for-mail\r\n"
         "From: Load Generator <loadgen@loadgen.invalid>\r\n"
         "Newsgroups: local.test.load\r\n"
         "Subject: load article" +
         std::string(subjectPadding, '+') +
         "\r\n"
         "Date: " +
         date +
         "\r\n"
         "Message-ID: ";
}

// `bytes` of body lines; `bytes` is never 1 (a line needs its CR LF).
std::string Body(size_t bytes) {
  std::string body;
  body.reserve(bytes);
  size_t line = 0;
  while (bytes > 0) {
    size_t chars = bytes - 2 <= kBodyLineChars ? bytes - 2 : kBodyLineChars;
    // Never leave a single byte behind: it could not form a line.
    if (bytes - (chars + 2) == 1) chars--;
    for (size_t i = 0; i < chars; i++) body += char('a' + (line + i) % 26);
    body += "\r\n";
    bytes -= chars + 2;
    line++;
  }
  return body;
}

}  // namespace

ArticleSource::ArticleSource(const std::string& runPrefix, uint32_t size, time_t now)
    : prefix_(runPrefix), size_(size) {
  std::string date = DateText(now);
  char id[kMaxId];
  size_t idLength = FormatId(0, 0, id);
  // Head = before-id + id + CR LF + stamp line + empty line.
  size_t headLength = HeadBeforeId(date, 0).size() + idLength + 2 + kStampLineLength + 2;
  minimumSize_ = uint32_t(headLength);
  if (size < headLength || headLength > kMaxHead) return;
  size_t padding = size - headLength == 1 ? 1 : 0;
  headBeforeId_ = HeadBeforeId(date, padding);
  tail_ = Body(size - headLength - padding) + kTerminatorLine;
  ok_ = true;
}

size_t ArticleSource::FormatId(uint32_t conn, uint64_t seq, char* out) const {
  int n = snprintf(out, kMaxId, "<%s.%03u.%012llu@loadgen.invalid>", prefix_.c_str(), conn,
                   static_cast<unsigned long long>(seq));
  return n > 0 && size_t(n) < kMaxId ? size_t(n) : 0;
}

size_t ArticleSource::FormatHead(std::string_view id, char* out) const {
  size_t n = headBeforeId_.size();
  memcpy(out, headBeforeId_.data(), n);
  memcpy(out + n, id.data(), id.size());
  n += id.size();
  char stamp[2 + kStampLineLength + 2 + 1];
  snprintf(stamp, sizeof stamp, "\r\n%s%019llu\r\n\r\n", kStampName, static_cast<unsigned long long>(RealtimeNs()));
  memcpy(out + n, stamp, kStampLineLength + 4);
  return n + kStampLineLength + 4;
}

}  // namespace loadgen
