#include "distrib/string_match.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>

namespace {

bool M(const char* text, const char* pattern) { return StringMatch(text, pattern) == 1; }

// The matcher's rules followed literally, recursing at every star. Only for
// short inputs: its work grows exponentially with the stars.
bool ReferenceMatch(const char* t, const char* t_end, const char* p) {
  for (;;) {
    if (*p == '\0') return t == t_end;
    if (t == t_end && *p != '*') return false;
    switch (*p) {
      case '*': {
        p++;
        if (*p == '\0') return true;
        for (const char* from = t;; from++) {
          if (ReferenceMatch(from, t_end, p)) return true;
          if (from == t_end) return false;
        }
      }
      case '?':
        break;
      case '[': {
        const char* m = p + 1;
        bool matched = false;
        for (;;) {
          if (*m == ']' || *m == '\0') return false;
          if (*m == *t) {
            matched = true;
            m++;
            break;
          }
          if (m[1] == '-') {
            if (m[2] == '\0') return false;
            int lo = int8_t(m[0]), hi = int8_t(m[2]), v = int8_t(*t);
            m += 3;
            if ((lo <= v && v <= hi) || (hi <= v && v <= lo)) {
              matched = true;
              break;
            }
            continue;
          }
          m++;
        }
        if (!matched) return false;
        while (*m != '\0' && *m != ']') m++;
        p = (*m == ']') ? m : m - 1;  // step past below; at end: pattern used up
        break;
      }
      case '\\':
        p++;
        if (*p == '\0' || *p != *t) return false;
        break;
      default:
        if (*p != *t) return false;
    }
    p++;
    t++;
  }
}

TEST(StringMatchTest, DocumentedExamples) {
  EXPECT_TRUE(M("comp.", "comp.*"));
  EXPECT_TRUE(M("comp.lang.c", "comp.*"));
  EXPECT_FALSE(M("comp", "comp.*"));
  EXPECT_TRUE(M("", "*"));
  EXPECT_TRUE(M("abc", "a?c"));
  EXPECT_FALSE(M("ac", "a?c"));
  EXPECT_TRUE(M("bx", "[a-c]x"));
  EXPECT_TRUE(M("bx", "[c-a]x"));
  EXPECT_TRUE(M("^", "[^a]"));
  EXPECT_TRUE(M("a", "[^a]"));
  EXPECT_TRUE(M("*", "\\*"));
  EXPECT_FALSE(M("a", "\\*"));
  EXPECT_FALSE(M("ab", "ab\\"));
  EXPECT_FALSE(M("ab\\", "ab\\"));
  EXPECT_FALSE(M("comp.x", "Comp.*"));
}

TEST(StringMatchTest, WholeStringAndSets) {
  EXPECT_TRUE(M("", ""));
  EXPECT_FALSE(M("a", ""));
  EXPECT_FALSE(M("", "?"));
  EXPECT_FALSE(M("abc", "ab"));
  EXPECT_FALSE(M("ab", "abc"));
  EXPECT_TRUE(M("abc", "*c"));
  EXPECT_TRUE(M("abc", "a**c"));
  EXPECT_FALSE(M("abcd", "*c"));
  EXPECT_TRUE(M("a.b.c", "*.*.*"));
  EXPECT_FALSE(M("a.b", "*.*.*"));
  // ']' is never a member; "[]" matches nothing.
  EXPECT_FALSE(M("]", "[]"));
  EXPECT_FALSE(M("]", "[]]"));
  EXPECT_FALSE(M("x", "[]x]"));
  // A missing ']' ends the pattern once the set has matched.
  EXPECT_TRUE(M("b", "[abc"));
  EXPECT_FALSE(M("bc", "[abc"));
  EXPECT_FALSE(M("d", "[abc"));
  EXPECT_FALSE(M("b", "[a-"));
  // '-' first or last is a member of its own; a range is compared signed,
  // so one from the byte 0xf0 (-16) to 'a' covers -16..97, not 'z' or 0x90.
  EXPECT_TRUE(M("-", "[-a]"));
  EXPECT_TRUE(M("\xf5", "[\xf0-a]"));
  EXPECT_FALSE(M("\x90", "[\xf0-a]"));
  EXPECT_TRUE(M("A", "[\xf0-a]"));
  EXPECT_FALSE(M("z", "[\xf0-a]"));
  EXPECT_TRUE(M("!", "[!x]"));
  EXPECT_TRUE(M("a]", "[a]]"));
  // Escapes inside and outside sets.
  EXPECT_TRUE(M("?", "\\?"));
  EXPECT_FALSE(M("x", "\\?"));
  EXPECT_TRUE(M("a[b", "a\\[b"));
}

TEST(StringMatchTest, RequiredLiteralIsTheLongestPlainRunBeforeAnySetOrEscape) {
  size_t offset = 99;
  EXPECT_EQ(RequiredLiteral("*!peerhost!*", &offset), 10u);
  EXPECT_EQ(offset, 1u);
  EXPECT_EQ(RequiredLiteral("comp.*.lang?x", &offset), 5u);
  EXPECT_EQ(offset, 0u);
  EXPECT_EQ(RequiredLiteral("*a[bcdefgh]ijklmn", &offset), 1u);
  EXPECT_EQ(RequiredLiteral("ab\\*cdefg", &offset), 2u);
  EXPECT_EQ(RequiredLiteral("*?*", &offset), 0u);
  EXPECT_EQ(RequiredLiteral("", &offset), 0u);
}

TEST(StringMatchTest, BoundedTextMayHoldNulBytes) {
  const char text[] = {'a', '\0', 'b'};
  EXPECT_EQ(StringMatch(text, 3, "a?b"), 1);
  EXPECT_EQ(StringMatch(text, 3, "a*"), 1);
  EXPECT_EQ(StringMatch(text, 3, "ab"), 0);
  EXPECT_EQ(StringMatch(text, 1, "a"), 1);  // bytes past the length are not read
  EXPECT_EQ(StringMatch("comp.lang", 4, "comp"), 1);
}

TEST(StringMatchTest, ManyStarsStayCheap) {
  // A naive recursion tries about C(3000, 40) splits here; the matcher must
  // finish at once. The CTest time-out catches a regression.
  std::string text(3000, 'a');
  std::string pattern;
  for (int i = 0; i < 40; i++) pattern += "*a";
  pattern += "*b";
  EXPECT_FALSE(M(text.c_str(), pattern.c_str()));
  text.back() = 'b';
  EXPECT_TRUE(M(text.c_str(), pattern.c_str()));
  std::string questions;
  for (int i = 0; i < 60; i++) questions += "*?";
  EXPECT_TRUE(M(text.c_str(), questions.c_str()));
  EXPECT_FALSE(M("short", questions.c_str()));
}

TEST(StringMatchTest, AgreesWithTheRulesOnRandomInputs) {
  std::mt19937 rng(12345);
  const char patternChars[] = "ab*?[]-\\^!";
  const char textChars[] = "ab]-^!\\*";
  for (int round = 0; round < 200000; round++) {
    std::string pattern, text;
    for (int n = rng() % 9; n > 0; n--) pattern += patternChars[rng() % (sizeof patternChars - 1)];
    for (int n = rng() % 7; n > 0; n--) text += textChars[rng() % (sizeof textChars - 1)];
    bool expected = ReferenceMatch(text.data(), text.data() + text.size(), pattern.c_str());
    ASSERT_EQ(M(text.c_str(), pattern.c_str()), expected)
        << "text '" << text << "' pattern '" << pattern << "'";
    // A matching text always holds the pattern's required run.
    size_t offset = 0;
    size_t length = RequiredLiteral(pattern.c_str(), &offset);
    if (expected && length > 0) {
      ASSERT_NE(text.find(pattern.substr(offset, length)), std::string::npos)
          << "text '" << text << "' pattern '" << pattern << "'";
    }
  }
}

}  // namespace
