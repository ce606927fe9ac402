#include "article/article_headers.h"

#include <cstdint>
#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

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

const char* FindArticleEnd(const char* text, size_t length) {
  constexpr char kEnd[] = "\r\n.\r\n";
  constexpr size_t kEndLength = 5;
  size_t at = 0;  // every start before it is ruled out
#ifdef __SSE2__
  const __m128i lineEnd = _mm_set1_epi8('\n');
  const __m128i dot = _mm_set1_epi8('.');
  // Bit k of a block's mask: text[at + k + 1] is '\n' and text[at + k + 2]
  // is '.', the middle of a possible end starting at at + k.
  for (; at + 18 <= length; at += 16) {
    __m128i second = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + at + 1));
    __m128i third = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + at + 2));
    uint32_t mask =
        uint32_t(_mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(second, lineEnd), _mm_cmpeq_epi8(third, dot))));
    for (; mask != 0; mask &= mask - 1) {
      size_t start = at + size_t(__builtin_ctz(mask));
      if (start + kEndLength <= length && memcmp(text + start, kEnd, kEndLength) == 0) return text + start;
    }
  }
#endif
  return FindBytes(text + at, length - at, kEnd, kEndLength);
}
