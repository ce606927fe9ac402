#include "distrib/distrib.h"

#include <cstring>

#include "base/relay_base.h"
#include "distrib/string_match.h"


namespace {

constexpr uint32_t kDefaultMaxCrossposts = 25;


struct Token {
  const char* start;
  size_t length;
};

bool IsLaterSeparator(char c) { return c == ' ' || c == ',' || c == '\n'; }

// Splits a distribution string into its tokens: the first ends at a comma,
// later ones at a space, comma or newline; empty tokens are skipped.
std::vector<Token> Tokenize(const char* text) {
  std::vector<Token> tokens;
  const char* s = text;
  while (*s == ',') s++;
  if (*s == '\0') return tokens;
  const char* end = strchr(s, ',');
  if (end == nullptr) end = s + strlen(s);
  tokens.push_back({s, size_t(end - s)});
  if (*end == '\0') return tokens;
  s = end + 1;
  for (;;) {
    while (IsLaterSeparator(*s)) s++;
    if (*s == '\0') return tokens;
    const char* start = s;
    while (*s != '\0' && !IsLaterSeparator(*s)) s++;
    tokens.push_back({start, size_t(s - start)});
  }
}

// Fills `out` from a pattern token; false when the pattern is too long.
bool ParsePattern(Token token, _distpattern* out, Log* log) {
  const char* s = token.start;
  const char* end = token.start + token.length;
  *out = _distpattern{};
  if (s < end && *s == '!') out->negate = 1, s++;
  if (s < end && *s == '@') out->pathMatch = 1, s++;
  if (s < end && *s == '~') out->exclude = 1, s++;
  size_t length = size_t(end - s);
  if (length > kMaxPatternLength) {
    if (log != nullptr) log->LogLinef("distribution: pattern of more than %zu characters refused: %.*s",
             kMaxPatternLength, int(token.length), token.start);
    return false;
  }
  memcpy(out->pattern, s, length);
  out->pattern[length] = '\0';
  size_t offset = 0;
  out->requiredLength = uint8_t(RequiredLiteral(out->pattern, &offset));
  out->requiredOffset = uint8_t(offset);
  return true;
}

}  // namespace

Distributions::Distributions(RelayBase* base) : log_(&base->log) {
  uint32_t limit = 0;
  if (!base->config.GetConfigInt("MaxCrossPosts", &limit) || limit == 0) limit = kDefaultMaxCrossposts;
  maxCrossposts_ = limit;
}

std::unique_ptr<Distributions> init_feed(RelayBase* base) { return std::make_unique<Distributions>(base); }

std::unique_ptr<_distrib> ParseDistrib(uint32_t bit, const char* text, Log* log) {
  if (bit >= kFeedBits) return nullptr;
  auto d = std::make_unique<_distrib>();
  d->wordIndex = bit / 32;
  d->bitMask = 1u << (bit % 32);
  for (Token token : Tokenize(text)) {
    if (token.start[0] == '#') {
      d->cancelBypass.store(1, std::memory_order_relaxed);
      continue;
    }
    _distpattern pattern;
    if (!ParsePattern(token, &pattern, log)) return nullptr;
    d->patternStore.push_back(pattern);
  }
  // Link only once the store has stopped growing.
  _distpattern* previous = nullptr;
  for (_distpattern& pattern : d->patternStore) {
    if (previous == nullptr) {
      d->patterns = &pattern;
    } else {
      previous->next = &pattern;
    }
    previous = &pattern;
  }
  return d;
}

_distrib* Distributions::LinkDistrib(std::unique_ptr<_distrib> record) {
  _distrib* d = record.get();
  std::lock_guard<std::mutex> lock(mu_);
  kept_.push_back(std::move(record));
  d->next = head_;
  head_ = d;
  return d;
}

_distrib* Distributions::BuildDistrib(uint32_t bit, const char* text) {
  std::unique_ptr<_distrib> d = ParseDistrib(bit, text, log_);
  if (d == nullptr) return nullptr;
  return LinkDistrib(std::move(d));
}

int Distributions::DeleteDistrib(_distrib* record) {
  std::lock_guard<std::mutex> lock(mu_);
  for (_distrib** link = &head_; *link != nullptr; link = &(*link)->next) {
    if (*link == record) {
      *link = record->next;
      record->next = nullptr;
      return 1;
    }
  }
  return 0;
}
