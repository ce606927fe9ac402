#include "distrib/distrib.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct PatternView {
  std::string text;
  uint32_t negate, pathMatch, exclude;
  bool operator==(const PatternView&) const = default;
};

std::ostream& operator<<(std::ostream& os, const PatternView& p) {
  return os << "'" << p.text << "' !" << p.negate << " @" << p.pathMatch << " ~" << p.exclude;
}

std::vector<PatternView> Patterns(const _distrib* d) {
  std::vector<PatternView> out;
  for (const _distpattern* p = d->patterns; p != nullptr; p = p->next) {
    out.push_back({p->pattern, p->negate, p->pathMatch, p->exclude});
  }
  return out;
}

std::vector<const _distrib*> List() {
  std::lock_guard<std::mutex> lock(csDistributions);
  std::vector<const _distrib*> out;
  for (const _distrib* d = distribhead; d != nullptr; d = d->next) out.push_back(d);
  return out;
}

class DistribTest : public ::testing::Test {
 protected:
  void SetUp() override { init_feed(); }
};

TEST_F(DistribTest, TokensFirstAtCommaThenAtSpaceCommaNewline) {
  auto d = ParseDistrib(0, "comp.* ,alt.*");
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(Patterns(d.get()), (std::vector<PatternView>{{"comp.* ", 0, 0, 0}, {"alt.*", 0, 0, 0}}));

  d = ParseDistrib(0, ",,a b,c d\ne,, f\n");
  EXPECT_EQ(Patterns(d.get()), (std::vector<PatternView>{
                                   {"a b", 0, 0, 0}, {"c", 0, 0, 0}, {"d", 0, 0, 0},
                                   {"e", 0, 0, 0}, {"f", 0, 0, 0}}));

  d = ParseDistrib(0, "one token with spaces");
  EXPECT_EQ(Patterns(d.get()), (std::vector<PatternView>{{"one token with spaces", 0, 0, 0}}));

  d = ParseDistrib(0, "");
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->patterns, nullptr);
  d = ParseDistrib(0, ",, ,");
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(Patterns(d.get()), (std::vector<PatternView>{{" ", 0, 0, 0}}));
}

TEST_F(DistribTest, PrefixesOnlyInTheirFixedOrderAndCancelToken) {
  auto d = ParseDistrib(3, "!comp.lang.*,@*!peer!*,~alt.*,!@~x,@!y,~!z,!~w,#whatever,comp.*");
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(Patterns(d.get()), (std::vector<PatternView>{{"comp.lang.*", 1, 0, 0},
                                                         {"*!peer!*", 0, 1, 0},
                                                         {"alt.*", 0, 0, 1},
                                                         {"x", 1, 1, 1},
                                                         {"!y", 0, 1, 0},
                                                         {"!z", 0, 0, 1},
                                                         {"w", 1, 0, 1},
                                                         {"comp.*", 0, 0, 0}}));
  EXPECT_EQ(d->cancelBypass.load(), 1u);

  d = ParseDistrib(3, "#,comp.*");
  EXPECT_EQ(d->cancelBypass.load(), 1u);
  EXPECT_EQ(Patterns(d.get()), (std::vector<PatternView>{{"comp.*", 0, 0, 0}}));
  d = ParseDistrib(3, "comp.*,a#");
  EXPECT_EQ(d->cancelBypass.load(), 0u);
  EXPECT_EQ(Patterns(d.get()).size(), 2u);
}

TEST_F(DistribTest, BitNumbersAndCounters) {
  auto d = ParseDistrib(127, "x");
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->wordIndex, 3u);
  EXPECT_EQ(d->bitMask, 1u << 31);
  d = ParseDistrib(0, "x");
  EXPECT_EQ(d->wordIndex, 0u);
  EXPECT_EQ(d->bitMask, 1u);
  d = ParseDistrib(33, "x");
  EXPECT_EQ(d->wordIndex, 1u);
  EXPECT_EQ(d->bitMask, 2u);
  EXPECT_EQ(d->flaggedFor.load() + d->inPath.load() + d->cancelBypass.load(), 0u);
  EXPECT_EQ(ParseDistrib(128, "x"), nullptr);
  EXPECT_EQ(BuildDistrib(128, "x"), nullptr);
  EXPECT_EQ(BuildDistrib(UINT32_MAX, "x"), nullptr);
  EXPECT_TRUE(List().empty());
}

TEST_F(DistribTest, PatternsOfMoreThan63CharactersRefuseTheString) {
  std::string p63(63, 'a');
  auto d = ParseDistrib(0, ("!@~" + p63).c_str());
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(std::string(d->patterns->pattern), p63);
  EXPECT_EQ(ParseDistrib(0, ("comp.*," + p63 + "b").c_str()), nullptr);
  EXPECT_EQ(BuildDistrib(0, (p63 + "b").c_str()), nullptr);
  EXPECT_TRUE(List().empty());
}

TEST_F(DistribTest, ListIsNewestFirstAndDeleteUnlinksWithoutFreeing) {
  _distrib* a = BuildDistrib(1, "a.*");
  _distrib* b = BuildDistrib(2, "b.*");
  _distrib* c = BuildDistrib(3, "c.*");
  ASSERT_TRUE(a && b && c);
  EXPECT_EQ(List(), (std::vector<const _distrib*>{c, b, a}));
  EXPECT_EQ(DeleteDistrib(b), 1);
  EXPECT_EQ(List(), (std::vector<const _distrib*>{c, a}));
  EXPECT_EQ(DeleteDistrib(b), 0);
  EXPECT_EQ(DeleteDistrib(a), 1);
  EXPECT_EQ(DeleteDistrib(c), 1);
  EXPECT_TRUE(List().empty());
  EXPECT_EQ(DeleteDistrib(nullptr), 0);
  // Unlinked records stay readable: feeders keep using their bit numbers.
  EXPECT_EQ(b->wordIndex, 0u);
  EXPECT_EQ(b->bitMask, 4u);
  EXPECT_STREQ(b->patterns->pattern, "b.*");

  BuildDistrib(4, "d.*");
  init_feed();
  EXPECT_TRUE(List().empty());
}

}  // namespace
