// Wildcard matching, distribution strings and the feed flags they give.
#include <gtest/gtest.h>

#include <cstring>
#include <tuple>
#include <memory>
#include <string>
#include <vector>

#include "base/relay_base.h"
#include "distrib/distrib.h"
#include "distrib/feed_flags.h"
#include "distrib/string_match.h"
#include "support/temp_dir.h"

namespace {

using namespace std::string_literals;

TEST(StringMatch, Table) {
  const struct { const char* pattern; const char* text; int expected; } rows[] = {
      {"comp.*", "comp.", 1}, {"comp.*", "comp", 0}, {"Comp.*", "comp.x", 0}, {"*", "", 1}, {"", "", 1},
      {"", "a", 0}, {"?", "", 0}, {"ab", "abc", 0}, {"abc", "ab", 0}, {"a?c", "abc", 1}, {"a?c", "ac", 0},
      {"*?", "ab", 1}, {"*c", "abcd", 0}, {"*c", "cac", 1}, {"*ab", "aab", 1}, {"a**c", "abc", 1},
      {"*.*.*", "a.b.c", 1}, {"*.*.*", "a.b", 0}, {"\\*", "*", 1}, {"\\*", "a", 0},
      {"a\\[b", "a[b", 1}, {"ab\\", "ab", 0}, {"ab\\", "ab\\", 0},  // a final '\' matches nothing
      // Sets: ranges in either order, no negation, ']' never a member, and
      // without a ']' the set ends the pattern.
      {"[a-c]x", "bx", 1}, {"[c-a]x", "bx", 1}, {"[c-a]", "a", 1}, {"[a-c]", "c", 1},
      {"[b-d]", "a", 0}, {"[b-d]", "e", 0}, {"x[yz]", "xz", 1}, {"x[yz]", "xx", 0},
      {"[ab]c", "ac", 1}, {"[^a]", "^", 1}, {"[^a]", "a", 1}, {"[!x]", "!", 1}, {"[-a]", "-", 1},
      {"[]", "]", 0}, {"[]x]", "x", 0}, {"[a]]", "a]", 1}, {"[+-]a]b", "ab", 1}, {"[abc", "b", 1},
      {"[abc", "bc", 0}, {"[abc", "d", 0}, {"[a-", "b", 0},
      // Ranges compare signed bytes: 0xf0 (-16) to 'a' holds 0xf5 and 'A'.
      {"[\xf0-a]", "\xf5", 1}, {"[\xf0-a]", "A", 1}, {"[\xf0-a]", "\x90", 0}, {"[\xf0-a]", "z", 0}};
  for (const auto& r : rows) {
    EXPECT_EQ(StringMatch(r.text, r.pattern), r.expected) << r.pattern << " on " << r.text;
  }
  const char nul[] = {'a', '\0', 'b'};  // a bounded text may hold NUL bytes
  EXPECT_EQ(StringMatch(nul, 3, "a?b") + StringMatch(nul, 3, "a*") + StringMatch(nul, 1, "a"), 3);
  EXPECT_EQ(StringMatch(nul, 3, "ab") + StringMatch("bxa", 1, "*a*"), 0);  // "a" is past the end
  // Many stars cost one pass each: a naive recursion would not finish.
  std::string text(3000, 'a'), stars;
  for (int i = 0; i < 40; i++) stars += "*a";
  EXPECT_EQ(StringMatch(text.c_str(), (stars + "*b").c_str()), 0);
  EXPECT_EQ(StringMatch((text + "b").c_str(), (stars + "*b").c_str()), 1);
  // The longest plain run before any set or escape: every match holds it
  // (FeedFlags sees plain path patterns).
  for (auto [pattern, length, offset] :
       {std::tuple{"comp.*.lang?x", 5, 0}, {"*a[bcdefgh]ijklmn", 1, 1}, {"ab\\*cdefg", 2, 0}, {"*?*", 0, 0}}) {
    size_t found = 99;
    EXPECT_EQ(RequiredLiteral(pattern, &found), size_t(length)) << pattern;
    EXPECT_EQ(found, size_t(offset)) << pattern;
  }
}

// The patterns as "prefixes:pattern|" in written order, or what the list
// holds, newest first.
std::string Patterns(const _distrib* d) {
  std::string out;
  for (const _distpattern* p = d->patterns; p != nullptr; p = p->next) {
    out += std::string(p->negate ? "!" : "") + (p->pathMatch ? "@" : "") +
           (p->exclude ? "~" : "") + ":" + p->pattern + "|";
  }
  return out;
}
std::string List(Distributions& dists) {
  std::string out;
  dists.ForEach([&](const _distrib* d) { out += Patterns(d); });
  return out;
}

TEST(Distrib, TokensPrefixesAndLimits) {
  RelayBase base;
  auto dists = std::make_unique<Distributions>(&base);
  const std::string p63(63, 'p');
  const struct { std::string text, patterns; uint32_t bypass; } rows[] = {
      {",,a b,c d\ne,, f\n", ":a b|:c|:d|:e|:f|", 0},  // the first token ends at a comma only
      {",, ,", ": |", 0}, {"", "", 0}, {"comp.*,a#", ":comp.*|:a#|", 0}, {"!@~" + p63, "!@~:" + p63 + "|", 0},
      {"!a,@b,~c,!@~d,@!e,~!f,!~g,#x,h", "!:a|@:b|~:c|!@~:d|@:!e|~:!f|!~:g|:h|", 1}};
  for (const auto& r : rows) {
    std::unique_ptr<_distrib> d = ParseDistrib(0, r.text.c_str());
    ASSERT_NE(d, nullptr) << r.text;
    EXPECT_EQ(Patterns(d.get()) + std::to_string(d->cancelBypass),
              r.patterns + std::to_string(r.bypass));
  }
  EXPECT_EQ(dists->BuildDistrib(128, "x"), nullptr);
  EXPECT_EQ(dists->BuildDistrib(0, ("comp.*," + p63 + "q").c_str()), nullptr);  // 64 characters
  EXPECT_EQ(List(*dists), "");

  // The list: newest first; a record deleted wherever it stands stays whole
  // for the feeders made before the change.
  _distrib* d[] = {dists->BuildDistrib(1, "a"), dists->BuildDistrib(2, "b"), dists->BuildDistrib(3, "c")};
  EXPECT_EQ(dists->DeleteDistrib(d[1]), 1);
  EXPECT_EQ(List(*dists), ":c|:a|");
  EXPECT_EQ(dists->DeleteDistrib(d[1]) + dists->DeleteDistrib(nullptr), 0);
  EXPECT_EQ(dists->DeleteDistrib(d[0]) + dists->DeleteDistrib(d[2]), 2);
  EXPECT_EQ(List(*dists) + Patterns(d[1]), ":b|");
  dists->BuildDistrib(4, "d");
  dists = std::make_unique<Distributions>(&base);  // a new relay's list starts empty
  EXPECT_EQ(List(*dists), "");
}

class FeedFlags : public ::testing::Test {
 protected:
  void SetUp() override { Configure(""); }
  void TearDown() override { base_.log.LogLine(nullptr); }
  void Configure(const std::string& extra) {
    std::string conf = "LogDirectory = " + dir_.path() + "\n" + extra;
    ASSERT_TRUE(base_.config.LoadConfigFile(dir_.Write("relay.conf", conf).c_str()));
    base_.log.console_init(base_.config);
    dists_ = std::make_unique<Distributions>(&base_);
  }
  bool Logged(const std::string& line) {
    return ReadFile(dir_.File("veltrane.log")).find(": " + line + "\n") != std::string::npos;
  }
  // The set bits ("0 3 127") for the first `length` bytes of `text`, held in
  // a buffer of exactly its size (AddressSanitizer sees any read past it);
  // "-" added when the article is refused.
  std::string Flag(const std::string& text, const char* id = "1@x", size_t length = SIZE_MAX) {
    std::unique_ptr<char[]> exact(new char[text.size()]);
    memcpy(exact.get(), text.data(), text.size());
    uint32_t flags[4] = {1, 1, 1, 1};
    int result = FeedSetFlags(dists_.get(), {exact.get(), std::min(length, text.size()), nullptr, id}, flags);
    std::string bits;
    for (uint32_t b = 0; b < 128; b++) {
      if (flags[b / 32] >> (b % 32) & 1) bits += (bits.empty() ? "" : " ") + std::to_string(b);
    }
    return result == 1 ? bits : bits + "-";
  }
  TempDir dir_;
  RelayBase base_;
  std::unique_ptr<Distributions> dists_;
};

std::string Article(const std::string& groups, const std::string& path = "up!stream") {
  return "Path: " + path + "\r\nNewsgroups: " + groups +
         "\r\nFollowup-To: comp.later\r\nSubject: s\r\n\r\nbody, with, commas";
}

TEST_F(FeedFlags, GroupsInOrderThenPatternsInOrderDecide) {
  std::vector<_distrib*> d;
  for (const char* text : {"comp.*", "!comp.lang.*,comp.*", "~alt.*,comp.*", "comp.* ,alt.*", "",
                           "@*!peerhost!*,comp.*,#",  // 5: a matching path keeps it away
                           "!@*!peerhost!*,comp.*",   // 6: '!' does nothing to a path
                           "comp.*,@*!peerhost!*",    // 7: for groups comp.* misses
                           "@*!stream,*", "!alt.*,*", "~control.*,#", "!control.*,#",
                           "@~*!peerhost!*,comp.*",  // 12: '~' clears what a newer one sets
                           "@*!peerhost!*,comp.*", "@*,*"}) {
    d.push_back(dists_->BuildDistrib(uint32_t(d.size()), text));
  }
  for (uint32_t bit : {12, 13}) dists_->BuildDistrib(bit, "comp.*");
  dists_->BuildDistrib(127, "alt.*");
  const struct { std::string text; const char* id; const char* bits; } rows[] = {
      {Article("alt.test,comp.lang.c"), "1@x", "0 3 5 6 7 9 12 13 127"},
      {Article("comp.lang.c"), "1@x", "0 2 5 6 7 9 12 13"},
      {Article("comp.lang.c,comp.os.linux"), "1@x", "0 1 2 5 6 7 9 12 13"},
      {Article("comp.y,alt.x"), "1@x", "0 1 2 3 5 6 7 9 12 13 127"},
      {Article("comp.x,alt.y", "a!peerhost!b"), "1@x", "0 1 2 3 7 8 9 13 127"},
      {Article("alt.y,comp.x", "a!peerhost!b"), "1@x", "0 1 3 8 9 13 127"},
      {Article("comp.x", "a!stream!b"), "1@x", "0 1 2 5 6 7 8 9 12 13"},
      {Article("alt.only", "!stream"), "1@x", "3 127"},
      {"Newsgroups:misc.a  comp.b\r\n\r\n", "1@x", "0 1 2 5 6 7 8 9 12 13 14"},  // no Path:
      {Article("control.cancel"), "cancel.1@x", "5 9 11"},
      {Article("control.cancel", "a!peerhost!b"), "cancel.1@x", "8 9 11"},
      {Article("control.cancel"), "Cancel.1@x", "9"}, {Article("control.cancel"), nullptr, "9"}};
  for (const auto& r : rows) EXPECT_EQ(Flag(r.text, r.id), r.bits) << r.text;
  // Each article counts once where it was flagged (cancels let through too),
  // and where a path pattern decided.
  EXPECT_EQ((std::vector<uint32_t>{d[0]->flaggedFor, d[5]->flaggedFor, d[11]->flaggedFor,
                                   d[5]->inPath, d[7]->inPath, d[8]->inPath}),
            (std::vector<uint32_t>{8, 7, 2, 3, 2, 8}));
  d[4]->cancelBypass = 1;  // as the control interface does later
  EXPECT_EQ(Flag(Article("control.cancel"), "cancel.2@x"), "4 5 9 11");
}

// README's examples of the rule: the first pattern that matches decides,
// so an exclusion goes before what it excludes from.
TEST_F(FeedFlags, TheFirstPatternThatMatchesDecides) {
  uint32_t bit = 0;
  for (const char* text : {"!news.admin.*,comp.*,news.*", "comp.*,news.*,!news.admin.*", "*,!comp.*", "!comp.*,*"}) {
    dists_->BuildDistrib(bit++, text);
  }
  EXPECT_EQ(Flag(Article("news.admin.misc")), "1 2 3");
  EXPECT_EQ(Flag(Article("news.software.b")), "0 1 2 3");
  EXPECT_EQ(Flag(Article("comp.lang.c")), "0 1 2");
  EXPECT_EQ(Flag(Article("comp.lang.c,misc.test")), "0 1 2 3");
}

// The Newsgroups: line: its crossposts counted against MaxCrossPosts, its
// length, and only the article's bytes read while finding it.
TEST_F(FeedFlags, NewsgroupsLineLimitsAndBounds) {
  dists_->BuildDistrib(0, "*");
  std::string groups = "g0";
  for (int i = 1; i <= 25; i++) groups += ",g" + std::to_string(i);
  EXPECT_EQ(Flag(Article(groups), "ok@x") + Flag(Article(groups + ",g26"), "many@x"), "0-");
  EXPECT_TRUE(Logged("crosspost: many@x has 26 crossposts (limit 25)"));
  // From the 'N' to the CR: 2999 characters pass, 3000 do not; the end of
  // the text closes the line as the CR LF before the "." line would.
  const std::string line = "Newsgroups: " + std::string(2987, 'a');
  EXPECT_EQ(Flag(line + "\r\n\r\nbody") + Flag(line), "00");
  EXPECT_EQ(Flag(line + "a,b\r\n\r\nbody", "long@x") + Flag(line + "a"), "--");
  EXPECT_TRUE(Logged("crosspost: long@x has 0 crossposts (limit 25)"));
  // NUL bytes do not stop the search, one in the value ends the value; the
  // tag need not start a line; a text that ends inside a group cuts it.
  dists_->BuildDistrib(1, "comp.*");
  EXPECT_EQ(Flag("Path: a\0b\r\nNewsgroups: alt.x,comp.y\r\n\r\n"s), "0 1");
  EXPECT_EQ(Flag("Newsgroups: alt.x\0,comp.y\r\n\r\n"s), "0");
  EXPECT_EQ(Flag("X-Old-Newsgroups: comp.z\r\nNewsgroups: alt.q\r\n\r\n"), "0 1");
  EXPECT_EQ(Flag("Newsgroups: alt.x,comp.yy\r\n", "1@x", 22), "0");  // ends in "comp"
  EXPECT_EQ(Flag("Path: a!b\r\nnewsgroups: comp.x\r\n\r\nbody"), "-");  // the tag's case counts
  Configure("MaxCrossPosts = 2\n");
  dists_->BuildDistrib(0, "*");
  EXPECT_EQ(Flag(Article("g1,g2,g3")) + Flag(Article("g1 g2 g3 g4 g5")), "00");  // spaces: no count
  EXPECT_EQ(Flag(Article("g1,g2,g3,g4"), "three@x"), "-");
  EXPECT_TRUE(Logged("crosspost: three@x has 3 crossposts (limit 2)"));
}

}  // namespace
