#include "distrib/string_match.h"

#include <cstdint>
#include <cstring>

namespace {

bool InRange(char c, char low, char high) {
  int8_t v = int8_t(c), a = int8_t(low), b = int8_t(high);
  if (a > b) {
    int8_t swap = a;
    a = b;
    b = swap;
  }
  return a <= v && v <= b;
}

// `set` points at a '['. Returns the pattern position after the set when
// `t` is a member, nullptr when it is not.
const char* MatchSet(const char* set, char t) {
  const char* m = set + 1;
  for (;;) {
    char c = *m;
    if (c == ']' || c == '\0') return nullptr;
    if (c == t) {
      m++;
      break;
    }
    if (m[1] == '-') {
      char high = m[2];
      if (high == '\0') return nullptr;
      m += 3;
      if (InRange(t, c, high)) break;
      continue;
    }
    m++;
  }
  // The closing ']' is searched after the member that matched; without one
  // the set ends the pattern.
  while (*m != '\0' && *m != ']') m++;
  return *m == ']' ? m + 1 : m;
}

// Matches the single-character element at `p` (anything but '*') against
// `t`. Returns the position after the element, or nullptr.
const char* MatchOne(const char* p, char t) {
  switch (*p) {
    case '?':
      return p + 1;
    case '[':
      return MatchSet(p, t);
    case '\\':
      if (p[1] == '\0') return nullptr;
      return p[1] == t ? p + 2 : nullptr;
    default:
      return *p == t ? p + 1 : nullptr;
  }
}

}  // namespace

// Every element but '*' consumes exactly one text character, and whether it
// matches depends on that character alone. So when the part after the most
// recent star fails, trying later start positions for that star is the only
// retry that can help: earlier stars never need to be revisited, because the
// latest star can absorb anything they could. That turns the natural
// recursion into one loop with a single backtrack point.
int StringMatch(const char* text, size_t length, const char* pattern) {
  const char* p = pattern;
  size_t t = 0;
  const char* starPattern = nullptr;  // element after the latest star
  size_t starText = 0;                // where that element is tried next
  for (;;) {
    if (*p == '*') {
      while (*p == '*') p++;
      if (*p == '\0') return 1;
      starPattern = p;
      starText = t;
    } else if (*p == '\0') {
      if (t == length) return 1;
      starText++;  // text left over: let the star take one more character
    } else if (t == length) {
      // Later start positions leave even less text for the same elements.
      return 0;
    } else if (const char* next = MatchOne(p, text[t])) {
      p = next;
      t++;
      continue;
    } else {
      starText++;
    }
    if (starPattern == nullptr || starText >= length) return 0;
    if (IsPlainPatternChar(*starPattern)) {
      // Only a position holding that character can start the next attempt.
      // Texts are mostly short, where a plain loop beats a memchr call.
      char wanted = *starPattern;
      while (starText < length && text[starText] != wanted) starText++;
      if (starText == length) return 0;
    }
    p = starPattern;
    t = starText;
  }
}

int StringMatch(const char* text, const char* pattern) {
  return StringMatch(text, strlen(text), pattern);
}

size_t RequiredLiteral(const char* pattern, size_t* offset) {
  size_t bestLength = 0, bestOffset = 0;
  size_t i = 0;
  while (pattern[i] != '\0' && pattern[i] != '[' && pattern[i] != '\\') {
    if (!IsPlainPatternChar(pattern[i])) {
      i++;
      continue;
    }
    size_t start = i;
    while (IsPlainPatternChar(pattern[i])) i++;
    if (i - start > bestLength) {
      bestLength = i - start;
      bestOffset = start;
    }
  }
  *offset = bestOffset;
  return bestLength;
}
