// Identifier text, hash and key from NNTP command lines.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "article/article_id.h"

namespace {

class ArticleIdTest : public ::testing::Test {
 protected:
  void SetUp() override { crcinit(); }

  // Parses `line` from a buffer of exactly its length, so that a read past
  // the end is caught by AddressSanitizer. Starts from a marked identity.
  int Parse(const std::string& line, ArticleIdentity* id = nullptr) {
    std::unique_ptr<char[]> buffer(new char[line.size()]);
    memcpy(buffer.get(), line.data(), line.size());
    ArticleIdentity* target = id != nullptr ? id : &id_;
    return GetArticleID(target, buffer.get(), line.size());
  }

  static ArticleIdentity Marked() {
    ArticleIdentity id;
    memset(id.articleId, 'Z', sizeof id.articleId);
    id.idHash = 0x12345678;
    id.idKey[0] = 0x9ABCDEF0;
    id.idKey[1] = 0x0FEDCBA9;
    return id;
  }

  static uint64_t Key(const ArticleIdentity& id) { return (uint64_t(id.idKey[1]) << 32) | id.idKey[0]; }

  ArticleIdentity id_ = Marked();
};

// The key formula applied to a digest written out in hex, little-endian
// halves: ((D0 * M) * D1) mod 2^64 without bit 63.
uint64_t KeyFromDigest(const char* hex, uint32_t multiplier) {
  uint8_t d[16];
  for (int i = 0; i < 16; i++) d[i] = uint8_t(std::stoul(std::string(hex + 2 * i, 2), nullptr, 16));
  uint64_t d0 = 0, d1 = 0;
  for (int i = 7; i >= 0; i--) {
    d0 = (d0 << 8) | d[i];
    d1 = (d1 << 8) | d[8 + i];
  }
  return (d0 * multiplier * d1) & ~(uint64_t(1) << 63);
}

TEST_F(ArticleIdTest, HashTableEntriesAreTheShiftedPolynomial) {
  // entry(i) is the XOR of 0x48000000 >> n over the set bits n of i.
  EXPECT_EQ(hash("\x00", 1), 0u);
  uint32_t expected[][2] = {{1, 0x48000000}, {2, 0x24000000}, {3, 0x6C000000}, {64, 0x01200000}, {127, 0x70E00000}};
  for (auto& [i, value] : expected) {
    // From h = 0 one step reads entry c & 0x7F directly.
    char c = char(i);
    EXPECT_EQ(hash(&c, 1), value) << "entry " << i;
  }
  for (int i = 0; i < 128; i++) {
    char c = char(i);
    EXPECT_LT(hash(&c, 1), 0x80000000u) << "entry " << i;
  }
}

TEST_F(ArticleIdTest, WorkedExampleAndTheFivePrimes) {
  ASSERT_EQ(Parse("ihave <abc>\r\n"), 1);
  EXPECT_STREQ(id_.articleId, "abc");
  EXPECT_EQ(id_.idHash, 0x6F2FED80u);
  EXPECT_EQ(hash("abc", 3), 0x6F2FED80u);
  EXPECT_EQ(id_.idKey[0], 0x8E463268u);
  EXPECT_EQ(id_.idKey[1], 0x0ACB7C61u);

  // Each length modulo 5 picks its multiplier; the digests are the RFC 1321
  // test values of the identifier without its last character.
  struct Case {
    const char* id;
    const char* md5OfAllButLast;
    uint32_t multiplier;
  } cases[] = {
      {"x", "d41d8cd98f00b204e9800998ecf8427e", 321234581u},                              // L = 1
      {"ab", "0cc175b9c0f1b6a831c399e269772661", 123432473u},                             // L = 2
      {"abcd", "900150983cd24fb0d6963f7d28e17f72", 625424133u},                           // L = 4
      {"message digest!", "f96b697d7cb7938d525a2f31aaf161d0", 52123457u},                 // L = 15
      {"abcdefghijklmnopqrstuvwxyz.", "c3fcd3d76192e4007dfb496cca67e13b", 123432473u},    // L = 27
  };
  for (const Case& c : cases) {
    ArticleIdentity id = Marked();
    ASSERT_EQ(Parse(std::string("takethis <") + c.id + ">", &id), 1) << c.id;
    EXPECT_EQ(Key(id), KeyFromDigest(c.md5OfAllButLast, c.multiplier)) << c.id;
    EXPECT_EQ(id.idHash, hash(c.id, int32_t(strlen(c.id)))) << c.id;
    EXPECT_LT(id.idHash, 0x80000000u);
  }
}

TEST_F(ArticleIdTest, TheIdentifierIsFoundWhereverTheFirstAngleBracketIs) {
  ASSERT_EQ(Parse("ihave <x.y>\r\n"), 1);
  EXPECT_STREQ(id_.articleId, "x.y");
  ArticleIdentity spaced = Marked();
  ASSERT_EQ(Parse("check   <x.y> junk\r\n", &spaced), 1);
  EXPECT_STREQ(spaced.articleId, "x.y");
  EXPECT_EQ(spaced.idHash, id_.idHash);
  EXPECT_EQ(Key(spaced), Key(id_));

  EXPECT_EQ(Parse("ihavefoo<bar@baz>\r\n"), 1);
  EXPECT_STREQ(id_.articleId, "bar@baz");
  // A second '<' belongs to the identifier.
  EXPECT_EQ(Parse("ihave <a<b>\r\n"), 1);
  EXPECT_STREQ(id_.articleId, "a<b");
}

TEST_F(ArticleIdTest, LengthLimitIs254Characters) {
  std::string longest(254, 'q');
  ASSERT_EQ(Parse("ihave <" + longest + ">\r\n"), 1);
  EXPECT_EQ(std::string(id_.articleId), longest);

  std::string tooLong(255, 'q');
  EXPECT_EQ(Parse("ihave <" + tooLong + ">\r\n"), 0);
  EXPECT_EQ(std::string(id_.articleId), tooLong);
  EXPECT_EQ(Parse("ihave <" + tooLong + "\r\n"), 0);

  // Longer still: the first 255 characters are kept, NUL-terminated.
  std::string way(400, 'r');
  way[10] = 's';
  EXPECT_EQ(Parse("ihave <" + way + ">\r\n"), 0);
  EXPECT_EQ(std::string(id_.articleId), way.substr(0, 255));
}

TEST_F(ArticleIdTest, MalformedLinesAreRefused) {
  // No '>' on the line: the text after '<' up to the line feed is kept.
  EXPECT_EQ(Parse("ihave <abc\r\n"), 0);
  EXPECT_STREQ(id_.articleId, "abc\r");
  EXPECT_EQ(Parse("ihave <abc"), 0);  // buffer ends before any line feed
  EXPECT_STREQ(id_.articleId, "abc");

  // No '<' before the line feed: empty text, hash and key untouched.
  ArticleIdentity before = Marked();
  for (std::string line : {"ihave abc>\r\n", "ihave\n<abc>\r\n", "", "ihave"}) {
    ArticleIdentity id = Marked();
    EXPECT_EQ(Parse(line, &id), 0) << line;
    EXPECT_STREQ(id.articleId, "") << line;
    EXPECT_EQ(id.idHash, before.idHash) << line;
    EXPECT_EQ(Key(id), Key(before)) << line;
  }

  // The empty identifier, and a '<' that is the last byte received.
  for (std::string line : {"ihave <>\r\n", "ihave <"}) {
    ArticleIdentity id = Marked();
    EXPECT_EQ(Parse(line, &id), 0) << line;
    EXPECT_STREQ(id.articleId, "") << line;
    EXPECT_EQ(Key(id), Key(before)) << line;
  }

  // Only the first `length` bytes count, even when a '>' follows them.
  const char line[] = "ihave <abc>\r\n";
  ArticleIdentity id = Marked();
  EXPECT_EQ(GetArticleID(&id, line, 10), 0);
  EXPECT_STREQ(id.articleId, "abc");
}

TEST_F(ArticleIdTest, CaseAndTopBitsAndTheLastCharacter) {
  ArticleIdentity upper = Marked(), lower = Marked();
  ASSERT_EQ(Parse("ihave <Ab.c>\r\n", &upper), 1);
  ASSERT_EQ(Parse("ihave <ab.c>\r\n", &lower), 1);
  EXPECT_STREQ(upper.articleId, "Ab.c");
  EXPECT_NE(upper.idHash, lower.idHash);
  EXPECT_NE(Key(upper), Key(lower));

  // The digest leaves the last character out.
  ArticleIdentity one = Marked(), two = Marked();
  ASSERT_EQ(Parse("ihave <part1@host.example1>\r\n", &one), 1);
  ASSERT_EQ(Parse("ihave <part1@host.example2>\r\n", &two), 1);
  EXPECT_EQ(Key(one), Key(two));
  EXPECT_NE(one.idHash, two.idHash);

  // Bytes that differ in their top bit hash alike; the key tells them
  // apart unless the byte is the last one.
  ArticleIdentity plain = Marked(), high = Marked();
  ASSERT_EQ(Parse("ihave <abc.d>\r\n", &plain), 1);
  ASSERT_EQ(Parse("ihave <a\xE2" "c.d>\r\n", &high), 1);
  EXPECT_EQ(plain.idHash, high.idHash);
  EXPECT_NE(Key(plain), Key(high));
  ArticleIdentity highLast = Marked();
  ASSERT_EQ(Parse("ihave <abc.\xE4>\r\n", &highLast), 1);
  EXPECT_EQ(plain.idHash, highLast.idHash);
  EXPECT_EQ(Key(plain), Key(highLast));
}

TEST_F(ArticleIdTest, KeysNeverHaveBit63) {
  // Over many identifiers some digest products set bit 63 before it is
  // cleared; none may keep it.
  for (int i = 0; i < 2000; i++) {
    ArticleIdentity id = Marked();
    ASSERT_EQ(Parse("check <" + std::to_string(i * 7919) + "@keys.test>\r\n", &id), 1);
    EXPECT_EQ(id.idKey[1] & 0x80000000u, 0u) << i;
  }
}

}  // namespace
