// The scanner's tokens, and the bound on what it reads: texts in buffers of
// exactly their length, without a terminating NUL (AddressSanitizer reports
// any read past them).
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "date_test_util.h"
#include "parsedate/date_grammar.hh"
#include "parsedate/date_lex.h"

namespace {

struct Token {
  int kind;
  int32_t value;
  bool operator==(const Token& o) const { return kind == o.kind && value == o.value; }
};

std::ostream& operator<<(std::ostream& os, const Token& t) {
  return os << "{" << t.kind << ", " << t.value << "}";
}

// Scans `text` from an exact-size heap copy until the end or a refusal.
std::vector<Token> Scan(const std::string& text) {
  std::unique_ptr<char[]> copy(new char[text.size()]);
  memcpy(copy.get(), text.data(), text.size());
  DateState st{};
  st.yyInput = copy.get();
  st.yyInputEnd = copy.get() + text.size();
  std::vector<Token> tokens;
  for (;;) {
    int32_t value = 0;
    int kind = date_lex(&value, &st);
    if (kind == 0) break;
    Token t{kind, kind < 256 ? 0 : value};  // characters carry no value
    tokens.push_back(t);
    if (t.kind == '?') break;
  }
  return tokens;
}

constexpr int U = UNSIGNED_NUMBER, S = SIGNED_NUMBER, M = MONTH_NAME, D = DAY_NAME;
constexpr int Z = ZONE_WORD, ZD = DAYLIGHT_ZONE_WORD, MER = MERIDIAN;
constexpr int MU = MONTH_UNIT, SU = SECONDS_UNIT;

TEST(DateLex, NumbersAndSigns) {
  EXPECT_EQ(Scan("5 +5 -5 007"), (std::vector<Token>{{U, 5}, {S, 5}, {S, -5}, {U, 7}}));
  EXPECT_EQ(Scan("- + -- +-7 - "), (std::vector<Token>{{S, -7}}));
  EXPECT_EQ(Scan("-0"), (std::vector<Token>{{S, 0}}));
  EXPECT_EQ(Scan("2147483647 -2147483647"),
            (std::vector<Token>{{U, 2147483647}, {S, -2147483647}}));
  EXPECT_EQ(Scan("2147483648"), (std::vector<Token>{{'?', 0}}));
  EXPECT_EQ(Scan("-2147483648"), (std::vector<Token>{{'?', 0}}));
  EXPECT_EQ(Scan(std::string(5000, '9')), (std::vector<Token>{{'?', 0}}));
  EXPECT_EQ(Scan("10:00/1,2;"),
            (std::vector<Token>{{U, 10}, {':', 0}, {U, 0}, {'/', 0}, {U, 1}, {',', 0}, {U, 2}, {';', 0}}));
  EXPECT_EQ(Scan("5-"), (std::vector<Token>{{U, 5}}));  // the bound ends the sign's look-ahead
}

TEST(DateLex, WordsAndTheirTables) {
  EXPECT_EQ(Scan("jan JAN. January sep thu Thurs june Sept"),
            (std::vector<Token>{{M, 1}, {M, 1}, {M, 1}, {M, 9}, {D, 0}, {Z, 0}, {M, 6}, {Z, 0}}));
  EXPECT_EQ(Scan("mon. monday may"), (std::vector<Token>{{D, 0}, {D, 0}, {M, 5}}));
  EXPECT_EQ(Scan("gmt EDT e.s.t. nzdt kdt xyz z"),
            (std::vector<Token>{{Z, 0}, {ZD, 300}, {Z, 300}, {ZD, -720}, {Z, -540}, {Z, 0}, {Z, 0}}));
  EXPECT_EQ(Scan("year years month weeks day hours min mins secs second s"),
            (std::vector<Token>{{MU, 12}, {MU, 12}, {MU, 1}, {SU, 604800}, {SU, 86400},
                                {SU, 3600}, {SU, 60}, {SU, 60}, {SU, 1}, {SU, 1}, {Z, 0}}));
  EXPECT_EQ(Scan("am PM a.m. p.m a.m.x"),
            (std::vector<Token>{{MER, 0}, {MER, 1}, {MER, 0}, {MER, 1}, {Z, 0}}));
  // "mst" is a zone before it could be a plural; "secs." is not a unit.
  EXPECT_EQ(Scan("mst secs."), (std::vector<Token>{{Z, 420}, {Z, 0}}));
  // Letters and dots only: digits and other bytes end a word.
  EXPECT_EQ(Scan("jan5gmt,"), (std::vector<Token>{{M, 1}, {U, 5}, {Z, 0}, {',', 0}}));
}

// The length-bounded parse reads only its bytes: a text cut off inside a
// comment or a number reads as what it holds up to the cut.
TEST(DateLex, ParseStopsAtTheGivenLength) {
  ScopedTimeZone tz("UTC");
  _timenow now = ReferenceAt(UtcSeconds(2026, 1, 15, 15));
  const std::string full = "Sun, 05 Jan 1997 10:00:00 GMT (comment) 1";
  auto parseFirst = [&](size_t n) {
    std::unique_ptr<char[]> copy(new char[n]);
    memcpy(copy.get(), full.data(), n);
    return parsedate(copy.get(), n, &now);
  };
  EXPECT_EQ(parseFirst(full.find(" (")), 852458400);
  EXPECT_EQ(parseFirst(full.find(" (") + 5), -1);    // inside the comment
  EXPECT_EQ(parseFirst(full.find("GMT")), 852458400);  // no zone: UTC is the local zone
  EXPECT_EQ(parseFirst(full.find(":00 GMT") + 2), 852458400);  // "10:00:0"
  EXPECT_EQ(parseFirst(full.find(":00 GMT") + 1), -1);  // "10:00:" lacks its seconds
  EXPECT_EQ(parseFirst(full.size()), -1);             // a second time
  EXPECT_EQ(parsedate("", size_t(0), &now), UtcSeconds(2026, 1, 15));
}

}  // namespace
