#include "article/article_headers.h"

#include <cstring>

const char* FindHeaderValue(const char* text, size_t length, const char* name) {
  size_t n = strlen(name);
  if (length >= n && memcmp(text, name, n) == 0) return text + n;
  char needle[32];
  if (n + 1 > sizeof needle) return nullptr;
  needle[0] = '\n';
  memcpy(needle + 1, name, n);
  const char* hit = FindBytes(text, length, needle, n + 1);
  return hit != nullptr ? hit + n + 1 : nullptr;
}

const char* FindPathValue(const char* text, size_t length) { return FindHeaderValue(text, length, "Path: "); }
