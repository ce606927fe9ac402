// Identifier text, hash and key from NNTP command lines.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "article/article_headers.h"
#include "article/article_id.h"

namespace {

using namespace std::string_literals;
constexpr uint64_t kMarkedKey = 0x0FEDCBA99ABCDEF0u;
constexpr uint32_t kMarkedHash = 0x12345678u;
constexpr size_t kAll = std::string::npos;

struct Parsed {
  int result;
  ArticleIdentity id;
  uint64_t key() const { return (uint64_t(id.idKey[1]) << 32) | id.idKey[0]; }
};

// Parses the first `length` bytes of `line` into a marked identity. The
// buffer holds exactly the line, so AddressSanitizer sees a read past it.
Parsed Parse(const std::string& line, size_t length = kAll) {
  std::vector<char> buffer(line.begin(), line.end());
  Parsed p{};
  memset(p.id.articleId, 'Z', sizeof p.id.articleId);
  p.id.idHash = kMarkedHash;
  p.id.idKey[0] = uint32_t(kMarkedKey), p.id.idKey[1] = uint32_t(kMarkedKey >> 32);
  p.result = GetArticleID(&p.id, buffer.data(), std::min(length, line.size()));
  return p;
}
Parsed Id(const std::string& id) { return Parse("ihave <" + id + ">\r\n"); }
uint32_t Hash(const std::string& text) { return hash(text.data(), int32_t(text.size())); }

// Lengths 1, 2, 4 and 15 pick the other four multipliers (length mod 5).
// The key leaves the last character out, and the hash each byte's top bit.
TEST(ArticleId, KeysAndHashesAndWhatTellsIdentifiersApart) {
  EXPECT_EQ(Hash("abc"), 0x6F2FED80u);
  const std::pair<std::string, uint64_t> keys[] = {{"abc", 0x0ACB7C618E463268u}, {"x", 0x2A0B5C81CB3F4F04u},
                                                   {"ab", 0x13899C8FD5FAEE6Cu}, {"abcd", 0x468251798E4107E0u},
                                                   {"message digest!", 0x6EE494A9A4F9FE42u}};
  for (const auto& [text, key] : keys) {
    EXPECT_EQ(Id(text).key(), key) << text;
    EXPECT_EQ(Id(text).id.idHash, Hash(text)) << text;
  }
  EXPECT_NE(Id("Ab.c").id.idHash, Id("ab.c").id.idHash);
  EXPECT_NE(Id("Ab.c").key(), Id("ab.c").key());
  EXPECT_EQ(Id("part1@host1").key(), Id("part1@host2").key());
  EXPECT_NE(Id("part1@host1").id.idHash, Id("part1@host2").id.idHash);
  EXPECT_EQ(Id("abc.d").id.idHash, Id("a\xE2" "c.d").id.idHash);
  EXPECT_NE(Id("abc.d").key(), Id("a\xE2" "c.d").key());
  // Some digest products set bit 63 before it is cleared; no key keeps it.
  for (int i = 0; i < 200; i++) EXPECT_EQ(Id(std::to_string(i * 7919) + "@k").key() >> 63, 0u) << i;
}

TEST(ArticleId, WhereTheIdentifierStartsAndEnds) {
  const std::string longest(254, 'q'), tooLong(255, 'q'), way(400, 'r');
  // written: 0 hash and key untouched, 1 only the hash, 2 both.
  struct Case { std::string line; size_t length; int result; std::string text; int written; };
  const Case cases[] = {
      {"ihave <x.y>\r\n", kAll, 1, "x.y", 2},
      {"check   <x.y> junk\r\n", kAll, 1, "x.y", 2},
      {"ihavefoo<a<b>\r\n", kAll, 1, "a<b", 2},
      {"ihave <" + longest + ">\r\n", kAll, 1, longest, 2},
      {"ihave <" + tooLong + ">\r\n", kAll, 0, tooLong, 2},
      {"ihave <" + way + ">\r\n", kAll, 0, way.substr(0, 255), 2},
      {"ihave <abc\r\n", kAll, 0, "abc\r", 2},
      {"ihave <a\0b>\r\n"s, kAll, 0, "a", 2},
      {"ihave <abc>\r\n", 10, 0, "abc", 2},  // the '>' lies past the bytes given
      {"ihave <abc>\r\n", 9, 0, "ab", 2},
      {"ihave <>\r\n", kAll, 0, "", 1},
      {"ihave <abc>\r\n", 5, 0, "", 0},
      {"ihave abc>\r\n", kAll, 0, "", 0},
      {"ihave\n<abc>\r\n", kAll, 0, "", 0},
      {"ihave\0<abc>\r\n"s, kAll, 0, "", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line.substr(0, 20) + " / " + std::to_string(c.length));
    Parsed p = Parse(c.line, c.length);
    EXPECT_EQ(p.result, c.result);
    EXPECT_EQ(std::string(p.id.articleId), c.text);
    EXPECT_EQ(p.id.idHash, c.written > 0 ? Hash(c.text) : kMarkedHash);
    EXPECT_EQ(p.key() == kMarkedKey, c.written < 2);
  }
}

// Searches in received text: where a needle stands, with its first byte
// met before (partial matches), at either end, and a header only at the
// start of the text or of a line. Each text is held in a buffer of exactly
// its size, so a read past the end is one AddressSanitizer sees.
TEST(ArticleText, NeedlesAndHeadersAreFoundWhereTheyStand) {
  const struct {
    std::string text, needle;
    size_t at;  // kAll: not found
  } rows[] = {
      {"\r\n.\r\n", "\r\n.\r\n", 0}, {"x\r\n.\r", "\r\n.\r\n", kAll}, {"a\r\n.\r\r\n.\r\n", "\r\n.\r\n", 5},
      {"\r\r\n", "\r\n", 1}, {"", "\r\n", kAll}, {"\r", "\r\n", kAll}, {"ab\r\n", "\r\n", 2},
      {"Newsgroup: x\r\nXNewsgroups: y", "Newsgroups:", 15}};
  for (const auto& r : rows) {
    std::vector<char> exact(r.text.begin(), r.text.end());
    const char* hit = FindBytes(exact.data(), exact.size(), r.needle.data(), r.needle.size());
    EXPECT_EQ(hit == nullptr ? kAll : size_t(hit - exact.data()), r.at) << r.text;
  }
  // The article's end at every place of texts long enough for whole blocks
  // of sixteen, behind decoys: dot-stuffed lines, "\n." without "\r", a
  // bare "\r\n.\r".
  for (size_t size : {20, 37, 64}) {
    for (size_t at = 0; at + 5 <= size + 1; at++) {
      std::string text(size, 'a');
      for (size_t d = 3; d + 4 < size; d += 11) text.replace(d, 4, d % 2 ? "\r\n.." : "\n.\r\n");
      if (at + 5 <= size) text.replace(at, 5, "\r\n.\r\n");
      std::vector<char> exact(text.begin(), text.end());
      const char* want = FindBytes(exact.data(), exact.size(), "\r\n.\r\n", 5);
      EXPECT_EQ(FindArticleEnd(exact.data(), exact.size()), want) << size << " " << at;
    }
  }
  const std::pair<std::string, size_t> headers[] = {
      {"Date: 1\r\n", 6}, {"X-Date: 1\r\nDate: 2", 17}, {"XDate: 1", kAll}, {"a\nDate:", kAll}, {"a\nDate: ", 8}};
  for (const auto& [text, at] : headers) {
    std::vector<char> exact(text.begin(), text.end());
    const char* value = FindHeaderValue(exact.data(), exact.size(), "Date: ");
    EXPECT_EQ(value == nullptr ? kAll : size_t(value - exact.data()), at) << text;
  }
}

}  // namespace
