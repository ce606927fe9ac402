#include "distrib/feed_flags.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#include "article/article_headers.h"
#include "base/log.h"
#include "distrib/distrib.h"
#include "distrib/string_match.h"

namespace {

constexpr char kNewsgroupsTag[] = "Newsgroups:";
constexpr size_t kNewsgroupsTagLength = sizeof kNewsgroupsTag - 1;
// The Newsgroups: line is looked at for at most this many characters from
// its 'N'; a line that long goes to no site.
constexpr size_t kNewsgroupsScanLimit = 3000;
// Group tokens are at least one character plus a separator.
constexpr size_t kMaxGroupTokens = kNewsgroupsScanLimit / 2;
constexpr char kCancelPrefix[] = "cancel.";

struct Span {
  const char* start;
  size_t length;
};

// The groups of the article being flagged: offsets into the newsgroups value,
// which is shorter than the scan limit, so 16 bits hold them.
struct GroupToken {
  uint16_t offset;
  uint16_t length;
};
static_assert(kNewsgroupsScanLimit < 65536);

struct ArticleLines {
  Span groupsValue;
  GroupToken groups[kMaxGroupTokens];
  size_t groupCount;
  Span path;  // start nullptr: the article has no Path: value
  bool isCancel;
};

bool IsLineEnd(char c) { return c == '\r' || c == '\n'; }

// Length of a header value: up to its CR or LF, or the end of the text. A NUL
// ends it too, as it would end a copy of the line taken as a C string.
size_t ValueLength(const char* start, size_t available) {
  size_t n = 0;
  while (n < available && !IsLineEnd(start[n]) && start[n] != '\0') n++;
  return n;
}

size_t SplitGroups(Span value, GroupToken* tokens) {
  size_t count = 0;
  size_t i = 0;
  while (i < value.length) {
    char c = value.start[i];
    if (c == ' ' || c == ',' || c == '\n') {
      i++;
      continue;
    }
    size_t start = i;
    while (i < value.length) {
      c = value.start[i];
      if (c == ' ' || c == ',' || c == '\n') break;
      i++;
    }
    tokens[count++] = {uint16_t(start), uint16_t(i - start)};
    if (count == kMaxGroupTokens) break;  // cannot happen below the scan limit
  }
  return count;
}

// Finds and checks the Newsgroups: line. Returns false (after the note or
// log line) when the article is to go to no site.
bool ReadNewsgroupsLine(const FeedArticle& article, uint32_t maxCrossposts, Log* log, ArticleLines* lines) {
  const char* n = FindBytes(article.text, article.length, kNewsgroupsTag, kNewsgroupsTagLength);
  if (n == nullptr) {
    fputs("no newsgroups line found\n", stdout);
    return false;
  }
  size_t available = article.length - size_t(n - article.text);
  size_t scan = available < kNewsgroupsScanLimit ? available : kNewsgroupsScanLimit;
  size_t lineEnd = scan;
  uint32_t commas = 0;
  for (size_t i = 0; i < scan; i++) {
    if (IsLineEnd(n[i])) {
      lineEnd = i;
      break;
    }
    if (n[i] == ',') commas++;
  }
  // The end of the text closes the last line, as the CR LF before the
  // terminating "." line does on the wire.
  bool lineTooLong = lineEnd == kNewsgroupsScanLimit;
  if (lineTooLong || commas > maxCrossposts) {
    const char* id = article.articleId != nullptr ? article.articleId : "";
    log->LogLinef("crosspost: %s has %i crossposts (limit %i)", id, int(commas),
             int(maxCrossposts));
    return false;
  }
  const char* value = n + kNewsgroupsTagLength;
  lines->groupsValue = {value, ValueLength(value, lineEnd - kNewsgroupsTagLength)};
  lines->groupCount = SplitGroups(lines->groupsValue, lines->groups);
  return true;
}

Span ReadPathValue(const FeedArticle& article) {
  const char* start = article.pathValue;
  uintptr_t begin = uintptr_t(article.text), end = begin + article.length;
  if (start == nullptr || uintptr_t(start) < begin || uintptr_t(start) > end) {
    start = FindPathValue(article.text, article.length);
    if (start == nullptr) return {nullptr, 0};
  }
  size_t available = article.length - size_t(start - article.text);
  return {start, ValueLength(start, available)};
}

// Substring search for short needles in texts of a few hundred bytes, where
// a library search spends more on its set-up than on the scan.
bool Contains(Span text, const char* needle, size_t length) {
  if (length > text.length) return false;
  char first = needle[0], last = needle[length - 1];
  for (size_t i = 0, stop = text.length - length; i <= stop; i++) {
    if (text.start[i] == first && text.start[i + length - 1] == last &&
        memcmp(text.start + i, needle, length) == 0) {
      return true;
    }
  }
  return false;
}

bool PathPatternMatches(_distpattern* p, Span path, uint64_t articleSerial) {
  if (path.start == nullptr) return false;
  if (p->pathSerial != articleSerial) {
    p->pathSerial = articleSerial;
    bool possible = p->requiredLength == 0 ||
                    Contains(path, p->pattern + p->requiredOffset, p->requiredLength);
    p->pathMatched = possible && StringMatch(path.start, path.length, p->pattern);
  }
  return p->pathMatched != 0;
}

// Decides one distribution: groups in header order, patterns in written
// order; the first group for which a pattern decides settles it.
void ApplyDistrib(_distrib* d, const ArticleLines& lines, uint64_t articleSerial, uint32_t feedFlags[4]) {
  uint32_t& word = feedFlags[d->wordIndex];
  bool decided = false, included = false, excluded = false;
  for (size_t g = 0; g < lines.groupCount && !decided; g++) {
    const char* group = lines.groupsValue.start + lines.groups[g].offset;
    size_t groupLength = lines.groups[g].length;
    for (_distpattern* p = d->patterns; p != nullptr && !decided; p = p->next) {
      if (p->pathMatch) {
        // A path pattern ignores '!' and keeps the article away when it
        // matches; '~' also clears a bit set by another distribution.
        if (!PathPatternMatches(p, lines.path, articleSerial)) continue;
        if (p->exclude) word &= ~d->bitMask;
        decided = excluded = true;
        d->inPath.fetch_add(1, std::memory_order_relaxed);
        continue;
      }
      // Most patterns start with a plain character and most groups fail on
      // it: settle those without the call.
      char first = p->pattern[0];
      if (IsPlainPatternChar(first) && group[0] != first) continue;
      if (!StringMatch(group, groupLength, p->pattern)) continue;
      if (p->negate) break;  // this group is ignored; try the next one
      if (p->exclude) {
        word &= ~d->bitMask;
        excluded = true;
      } else {
        word |= d->bitMask;
        d->flaggedFor.fetch_add(1, std::memory_order_relaxed);
        included = true;
      }
      decided = true;
    }
  }
  if (!included && !excluded && lines.isCancel &&
      d->cancelBypass.load(std::memory_order_relaxed) != 0) {
    word |= d->bitMask;
    d->flaggedFor.fetch_add(1, std::memory_order_relaxed);
  }
}

}  // namespace

int FeedSetFlags(Distributions* distributions, const FeedArticle& article, uint32_t feedFlags[4]) {
  feedFlags[0] = feedFlags[1] = feedFlags[2] = feedFlags[3] = 0;
  if (article.text == nullptr) return 0;
  ArticleLines lines;
  if (!ReadNewsgroupsLine(article, distributions->maxCrossposts_, distributions->log_, &lines)) return 0;
  lines.path = ReadPathValue(article);
  lines.isCancel = article.articleId != nullptr &&
                   strncmp(article.articleId, kCancelPrefix, sizeof kCancelPrefix - 1) == 0;
  std::lock_guard<std::mutex> lock(distributions->mu_);
  uint64_t serial = ++distributions->articleSerial_;
  for (_distrib* d = distributions->head_; d != nullptr; d = d->next) ApplyDistrib(d, lines, serial, feedFlags);
  return 1;
}
