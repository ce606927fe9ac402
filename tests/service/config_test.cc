#include <gtest/gtest.h>

#include "service/config.h"
#include "support/temp_dir.h"

namespace {

void Load(const TempDir& dir, const std::string& text) {
  ASSERT_TRUE(LoadConfigFile(dir.Write("relay.conf", text).c_str()));
}

std::string Value(const char* key) {
  const char* v = GetConfigString(key);
  return v ? std::string("[") + v + "]" : "(absent)";
}

TEST(Config, KeysAndValuesFollowTheLineRules) {
  TempDir dir;
  Load(dir,
       "MaxArticleAge=14\n"
       "maxkeepfilecount \t=\t 9\n"
       "Spaces = three   \n"
       "Tab = gone\t\n"
       "CrLf = yes\r\n"
       "  #Indented = not a comment\n"
       "#Commented = 1\n"
       "Equals = a=b=c\n"
       "Empty =\n"
       "NoEqualsHere\n"
       "\n"
       "First = 1\n"
       "first = 2\n");
  uint32_t age = 0;
  EXPECT_EQ(GetConfigInt("MAXARTICLEAGE", &age), 1);
  EXPECT_EQ(age, 14u);
  uint32_t keep = 0;
  EXPECT_EQ(GetConfigInt("MaxKeepFileCount", &keep), 1);
  EXPECT_EQ(keep, 9u);
  EXPECT_EQ(Value("spaces"), "[three   ]");
  EXPECT_EQ(Value("Tab"), "[gone]");
  EXPECT_EQ(Value("CrLf"), "[yes]");
  EXPECT_EQ(Value("  #Indented"), "[not a comment]");
  EXPECT_EQ(Value("#Commented"), "(absent)");
  EXPECT_EQ(Value("Equals"), "[a=b=c]");
  EXPECT_EQ(Value("NoEqualsHere"), "(absent)");
  EXPECT_EQ(Value("First"), "[1]");

  uint32_t empty = 77;
  EXPECT_EQ(GetConfigInt("Empty", &empty), 1);
  EXPECT_EQ(empty, 0u);
  uint32_t untouched = 77;
  EXPECT_EQ(GetConfigInt("Missing", &untouched), 0);
  EXPECT_EQ(untouched, 77u);
}

TEST(Config, IntegersConvertLikeC) {
  TempDir dir;
  Load(dir, "Neg = -1\nLead =   42abc\nWords = none\nHuge = 99999999999999999999\n");
  uint32_t v = 0;
  GetConfigInt("Neg", &v);
  EXPECT_EQ(v, 0xFFFFFFFFu);
  GetConfigInt("Lead", &v);
  EXPECT_EQ(v, 42u);
  GetConfigInt("Words", &v);
  EXPECT_EQ(v, 0u);
  EXPECT_EQ(GetConfigInt("Huge", &v), 1);  // saturates, never undefined
}

TEST(Config, LongLinesAreReadInChunksOf1023) {
  TempDir dir;
  // 1023 characters fill the first chunk; the rest of the line is a line of
  // its own, which here holds a key of its own.
  std::string first = "Long = " + std::string(1023 - 7, 'x');
  Load(dir, first + "Tail = end\n");
  EXPECT_EQ(Value("Long"), "[" + std::string(1016, 'x') + "]");
  EXPECT_EQ(Value("Tail"), "[end]");
}

TEST(Config, EmptyFileIsAcceptedAndMissingFileIsNot) {
  TempDir dir;
  Load(dir, "# only a comment\n\n");
  EXPECT_EQ(GetConfigString("MaxArticleAge"), nullptr);
  EXPECT_FALSE(LoadConfigFile(dir.File("missing.conf").c_str()));
}

}  // namespace
