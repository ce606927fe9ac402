#include <gtest/gtest.h>

#include "base/config.h"
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

// Integer keys must hold a whole number within their range; the message
// names the key, the value and the range. Other keys are not looked at.
TEST(Config, IntegerKeysOutsideTheirRangeAreNamed) {
  TempDir dir;
  struct Case {
    const char* text;
    const char* problem;  // "" when the text is accepted
  } cases[] = {
      {"ListenPort = 65535   \nMaxArticleAge = 1\nIncomingReadTimeout = 86400\nUpdateIncomingEntries =\n", ""},
      {"Unrelated = -5\nListenPort = +119\n", ""},
      {"ListenPort = 70000\n", "ListenPort = 70000 is not a whole number from 1 to 65535, exiting..."},
      {"ListenPort = 0\n", "ListenPort = 0 is not a whole number from 1 to 65535, exiting..."},
      {"IncomingReadTimeout = 0\n", "IncomingReadTimeout = 0 is not a whole number from 1 to 86400, exiting..."},
      {"MaxArticleAge = 3651\n", "MaxArticleAge = 3651 is not a whole number from 1 to 3650, exiting..."},
      {"MaxArticleFileSize = -1\n",
       "MaxArticleFileSize = -1 is not a whole number from 0 to 4294967295, exiting..."},
      {"MaxArticleFileSize = 4294967296\n",
       "MaxArticleFileSize = 4294967296 is not a whole number from 0 to 4294967295, exiting..."},
      {"MaxKeepFileCount = 5 files\n",
       "MaxKeepFileCount = 5 files is not a whole number from 0 to 4294967295, exiting..."},
      {"MaxBacklog = lots\n", "MaxBacklog = lots is not a whole number from 0 to 4294967295, exiting..."},
      {"RegularFeedPrefetch = 0\n",
       "RegularFeedPrefetch = 0 is not a whole number from 1 to 4294967295, exiting..."},
  };
  for (const Case& c : cases) {
    Load(dir, c.text);
    EXPECT_EQ(CheckConfigValues(), c.problem) << c.text;
  }
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
