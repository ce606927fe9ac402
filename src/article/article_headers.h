// Finding a header in a received article: the rule the store step uses for
// Date: and Path: and the feed flags use for Path:.
#pragma once
#include <cstddef>
#include <cstring>

// The first occurrence of `needle` (n >= 1 bytes) in text[0, length), or
// nullptr. Found by its first byte with memchr, which passes over text at
// vector speed: quick where that byte is rare (a line end, a capital), as
// in every search of an article or a command line here, where a general
// substring search pays for each byte.
inline const char* FindBytes(const char* text, size_t length, const char* needle, size_t n) {
  const char* end = text + length;
  for (const char* s = text; size_t(end - s) >= n;) {
    const char* hit = static_cast<const char*>(memchr(s, needle[0], size_t(end - s) - n + 1));
    if (hit == nullptr) return nullptr;
    if (memcmp(hit + 1, needle + 1, n - 1) == 0) return hit;
    s = hit + 1;
  }
  return nullptr;
}

// The first "\r\n.\r\n" (an article's end) in text[0, length), or nullptr.
// Looks for the pair "\n." sixteen positions at a time: in article text it
// stands only before a dot-stuffed line, where a line end stands on every
// line. Reads only the `length` bytes.
const char* FindArticleEnd(const char* text, size_t length);

// The value of header `name` (e.g. "Date: ", at most 30 characters, case
// matters): after the name at the very start of the text, else after the
// first "\n" + name anywhere in it. nullptr when neither is there. Reads
// only the `length` bytes of the text.
const char* FindHeaderValue(const char* text, size_t length, const char* name);

// The value of the Path: header by that rule, or nullptr.
const char* FindPathValue(const char* text, size_t length);
