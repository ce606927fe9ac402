// Fuzz target for the wildcard matcher, the distribution parser and the
// feed-flag computation. The first byte picks which one gets the rest.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "distrib/distrib.h"
#include "distrib/feed_flags.h"
#include "distrib/string_match.h"

namespace {

Distributions* fixed = nullptr;  // lives as long as the fuzzer

bool LinkFixedDistributions() {
  // Articles without a Newsgroups: line are noted on standard output.
  if (freopen("/dev/null", "w", stdout) == nullptr) __builtin_trap();
  fixed = new Distributions(new RelayBase);
  const char* texts[] = {
      "comp.*,news.*",
      "!comp.foo.*,comp.*",
      "~alt.binaries.*,alt.*",
      "@*!peerhost!*,comp.*,#",
      "!@~*[a-z]?!*,*.test,\\*x",
      "comp.* ,alt.*,[]x,[c-a]*,ab\\",
      "*a*b*c*d*e*f*g*h*,#",
      "",
  };
  uint32_t bit = 0;
  for (const char* text : texts) {
    if (fixed->BuildDistrib(bit, text) == nullptr) __builtin_trap();
    bit += 17;
  }
  return true;
}

void FuzzStringMatch(const char* data, size_t size) {
  // Pattern up to the first NUL, text after it.
  const char* nul = static_cast<const char*>(memchr(data, 0, size));
  size_t patternLength = nul != nullptr ? size_t(nul - data) : size / 2;
  std::string pattern(data, patternLength);
  const char* text = data + patternLength + (nul != nullptr ? 1 : 0);
  size_t textLength = size - size_t(text - data);
  std::unique_ptr<char[]> exact(new char[textLength ? textLength : 1]);
  memcpy(exact.get(), text, textLength);
  int bounded = StringMatch(exact.get(), textLength, pattern.c_str());
  if (memchr(text, 0, textLength) == nullptr) {
    std::string terminated(text, textLength);
    if (StringMatch(terminated.c_str(), pattern.c_str()) != bounded) __builtin_trap();
  }
}

void FuzzParse(const char* data, size_t size) {
  if (size == 0) return;
  uint32_t bit = uint8_t(data[0]);
  std::string text(data + 1, size - 1);
  std::unique_ptr<_distrib> d = ParseDistrib(bit, text.c_str());
  if (d == nullptr) return;
  if (bit >= 128 || d->wordIndex > 3 || d->bitMask != 1u << (bit % 32)) __builtin_trap();
  for (const _distpattern* p = d->patterns; p != nullptr; p = p->next) {
    if (strlen(p->pattern) > 63) __builtin_trap();
  }
}

void FuzzFeedSetFlags(const char* data, size_t size) {
  std::unique_ptr<char[]> exact(new char[size ? size : 1]);
  memcpy(exact.get(), data, size);
  FeedArticle article;
  article.text = exact.get();
  article.length = size;
  article.articleId = size % 2 ? "cancel.1@x" : "1@x";
  uint32_t flags[4];
  FeedSetFlags(fixed, article, flags);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  static bool ready = LinkFixedDistributions();
  (void)ready;
  if (size == 0) return 0;
  const char* data = reinterpret_cast<const char*>(bytes) + 1;
  switch (bytes[0] % 3) {
    case 0:
      FuzzStringMatch(data, size - 1);
      break;
    case 1:
      FuzzParse(data, size - 1);
      break;
    default:
      FuzzFeedSetFlags(data, size - 1);
      break;
  }
  return 0;
}
