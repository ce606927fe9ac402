// The scanner. It works on bytes, independent of the C library's locale:
// bytes with the high bit set are never letters, digits or white space.
#include "parsedate/date_lex.h"

#include "parsedate/date_grammar.hh"

namespace {

constexpr int kRefused = '?';  // a token no rule of the grammar accepts
constexpr int kEndOfInput = 0;

bool IsSpace(unsigned char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}
bool IsDigit(unsigned char c) { return c >= '0' && c <= '9'; }
bool IsUpper(unsigned char c) { return c >= 'A' && c <= 'Z'; }
bool IsLetter(unsigned char c) { return IsUpper(c) || (c >= 'a' && c <= 'z'); }
bool IsSign(unsigned char c) { return c == '+' || c == '-'; }
bool IsHighBit(unsigned char c) { return c >= 0x80; }

// Skips a comment whose "(" is at *p. Parentheses nest and a backslash
// takes the next byte literally. False for a comment that reaches the end of
// the input, or that holds a NUL, a carriage return or a high-bit byte (an
// escaped carriage return is allowed, an escaped NUL or high-bit byte not).
bool SkipComment(const char** p, const char* end) {
  size_t depth = 0;
  do {
    if (*p == end) return false;
    unsigned char c = static_cast<unsigned char>(*(*p)++);
    if (c == '\\') {
      if (*p == end) return false;
      c = static_cast<unsigned char>(*(*p)++);
      if (c == 0 || IsHighBit(c)) return false;
      continue;
    }
    if (c == 0 || c == '\r' || IsHighBit(c)) return false;
    if (c == '(') depth++;
    if (c == ')') depth--;
  } while (depth > 0);
  return true;
}

// A decimal number at *p (after its sign, if any). Values beyond the
// signed 32-bit range are refused rather than wrapped; the whole digit run
// is consumed either way.
int ScanNumber(const char** p, const char* end, bool negative, bool hasSign, int32_t* value) {
  int64_t v = 0;
  bool tooLong = false;
  for (; *p < end && IsDigit(static_cast<unsigned char>(**p)); (*p)++) {
    v = v * 10 + (**p - '0');
    if (v > INT32_MAX) {
      tooLong = true;
      v = 0;
    }
  }
  if (tooLong) return kRefused;
  *value = int32_t(negative ? -v : v);
  return hasSign ? SIGNED_NUMBER : UNSIGNED_NUMBER;
}

// A word at *p: letters and dots, folded to lower case, at most
// kMaxDateWord kept.
int ScanWord(const char** p, const char* end, int32_t* value) {
  char word[kMaxDateWord];
  size_t n = 0;
  for (; *p < end; (*p)++) {
    unsigned char c = static_cast<unsigned char>(**p);
    if (!IsLetter(c) && c != '.') break;
    if (n < kMaxDateWord) word[n++] = char(IsUpper(c) ? c - 'A' + 'a' : c);
  }
  return LookupWord(word, n, value);
}

}  // namespace

int date_lex(int32_t* value, DateState* st) {
  const char*& p = st->yyInput;
  const char* end = st->yyInputEnd;
  for (;;) {
    while (p < end && IsSpace(static_cast<unsigned char>(*p))) p++;
    if (p == end) return kEndOfInput;
    unsigned char c = static_cast<unsigned char>(*p);
    if (c == '(') {
      if (!SkipComment(&p, end)) return kRefused;
      continue;
    }
    if (IsDigit(c)) return ScanNumber(&p, end, false, false, value);
    if (IsSign(c)) {
      p++;
      if (p < end && IsDigit(static_cast<unsigned char>(*p))) {
        return ScanNumber(&p, end, c == '-', true, value);
      }
      continue;  // a lone sign is dropped
    }
    if (IsLetter(c)) return ScanWord(&p, end, value);
    // The input ends here; p stays, so that every later call ends it too.
    if (c == 0 || IsHighBit(c)) return kEndOfInput;
    p++;
    return c;
  }
}
