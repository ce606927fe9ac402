// The configuration file and the log.
#include <gtest/gtest.h>

#include <regex>
#include <sstream>

#include "base/relay_base.h"
#include "support/temp_dir.h"

namespace {

// The configuration and the log the tests try, as one relay's.
RelayBase& Base() {
  static RelayBase base;
  return base;
}

void Load(const TempDir& dir, const std::string& text) {
  ASSERT_TRUE(Base().config.LoadConfigFile(dir.Write("relay.conf", text).c_str()));
}

std::string Value(const char* key) {
  const char* v = Base().config.GetConfigString(key);
  return v ? std::string("[") + v + "]" : "(absent)";
}

// Lines that yield no entry must not shadow the empty key defined after them.
TEST(Config, KeysAndValuesFollowTheLineRules) {
  TempDir dir;
  Load(dir, "MaxArticleAge=14\nmaxkeepfilecount \t=\t 9\n#Commented = 1\n\nNoEqualsHere\n= empty key\n = blank key\n"
            "Spaces = three   \nTab = gone\t\nCrLf = yes\r\n  #Indented = not a comment\nEquals = a=b=c\nEmpty =\n"
            "First = 1\nfirst = 2\nNeg = -1\nLead =   42abc\nWords = none\nHuge = 99999999999999999999\n"
            "Long = " + std::string(1016, 'x') + "Tail = end\n");  // a line is read 1023 bytes at a time
  const std::pair<const char*, std::string> strings[] = {
      {"MAXARTICLEAGE", "[14]"}, {"#Commented", "(absent)"}, {"NoEqualsHere", "(absent)"}, {"", "[empty key]"},
      {" ", "[blank key]"}, {"spaces", "[three   ]"}, {"Tab", "[gone]"}, {"CrLf", "[yes]"},
      {"  #Indented", "[not a comment]"}, {"Equals", "[a=b=c]"}, {"First", "[1]"},
      {"Long", "[" + std::string(1016, 'x') + "]"}, {"Tail", "[end]"}};
  for (const auto& [key, value] : strings) EXPECT_EQ(Value(key), value) << key;
  const std::tuple<const char*, int, uint32_t> integers[] = {
      {"MaxKeepFileCount", 1, 9}, {"Empty", 1, 0}, {"Neg", 1, 0xFFFFFFFFu}, {"Lead", 1, 42}, {"Words", 1, 0},
      {"Huge", 1, 0xFFFFFFFFu}, {"Missing", 0, 77}};
  for (const auto& [key, found, value] : integers) {
    uint32_t v = 77;
    EXPECT_EQ(std::pair(Base().config.GetConfigInt(key, &v), v), std::pair(found, value)) << key;
  }
}

TEST(Config, IntegerKeysOutsideTheirRangeAreNamed) {
  TempDir dir;
  Load(dir, "ListenPort = +65535   \nMaxArticleAge = 1\nUpdateIncomingEntries =\nMaxArticleFileSize = 4294967295\n"
            "Unrelated = -5\n");
  EXPECT_EQ(Base().config.CheckConfigValues(), "");
  const std::tuple<const char*, const char*, const char*> refused[] = {
      {"ListenPort", "65536", "1 to 65535"}, {"IncomingReadTimeout", "0", "1 to 86400"},
      {"MaxArticleFileSize", "-1", "0 to 4294967295"}, {"MaxKeepFileCount", "5 files", "0 to 4294967295"}};
  for (const auto& [key, value, range] : refused) {
    Load(dir, std::string(key) + " = " + value + "\n");
    EXPECT_EQ(Base().config.CheckConfigValues(),
              std::string(key) + " = " + value + " is not a whole number from " + range + ", exiting...");
  }
}

// A log folder `name` in `dir`; `first` lines win over it.
std::string LogFolder(const TempDir& dir, const std::string& name, const std::string& first = "") {
  Load(dir, first + "LogDirectory = " + dir.MakeDir(name) + "\n");
  return dir.File(name) + "/";
}

// The lines of a log file, "*" standing for a well-formed time stamp.
std::vector<std::string> Lines(const std::string& path) {
  static const std::regex stamp(R"([A-Z][a-z]{2} [A-Z][a-z]{2} [ 1-3]\d \d\d:\d\d:\d\d \d{4}: )");
  std::istringstream in(ReadFile(path));
  std::vector<std::string> out;
  for (std::string line; std::getline(in, line);) {
    bool stamped = line.size() >= 26 && std::regex_match(line.begin(), line.begin() + 26, stamp);
    out.push_back(stamped ? "*" + line.substr(26) : line);
  }
  return out;
}

TEST(Log, LinesCarryTheAsctimeStamp) {
  TempDir dir;
  std::string log = LogFolder(dir, "b") + "veltrane.log";
  size_t descriptors = OpenDescriptors();
  Base().log.console_init(Base().config);
  Base().log.console_init(Base().config);  // again: the first file is closed
  EXPECT_EQ(OpenDescriptors(), descriptors + 1);
  {
    Log other;  // a log that goes without a shut-down closes its file
    other.console_init(Base().config);
    EXPECT_EQ(OpenDescriptors(), descriptors + 2);
  }
  EXPECT_EQ(OpenDescriptors(), descriptors + 1);
  Base().log.LogLine("hello");
  Base().log.LogLine("ends in newline\n");
  std::string longest(1024, 'z');  // one more than LogLinef's own buffer holds
  Base().log.LogLinef("%s %d", "formatted", 7);
  Base().log.LogLinef("%s", longest.c_str());
  EXPECT_EQ(Lines(log), (std::vector<std::string>{"*hello", "*ends in newline", "", "*formatted 7", "*" + longest}));
}

// Three files keep the current log, 1 and 2; with 0 (counted as 1) file 1
// is never replaced and the current log grows instead.
TEST(Log, RotationKeepsItsFilesAndNeverReplacesOne) {
  TempDir dir;
  const std::tuple<std::string, int, std::vector<const char*>> cases[] = {
      {"3", 3, {"", "r3", "r2", nullptr}},  // the text of the lines of veltrane.log, 1, 2, ...; null: no file
      {"0", 2, {"r2", "r1", nullptr}}};
  for (const auto& [keep, rotations, files] : cases) {
    std::string folder = LogFolder(dir, keep, "MaxKeepLogFile = " + keep + "\n");
    Base().log.console_init(Base().config);
    size_t descriptors = OpenDescriptors();
    for (int r = 1; r <= rotations; r++) {
      for (int i = 0; i < 2001; i++) Base().log.LogLine(("r" + std::to_string(r)).c_str());
    }
    EXPECT_EQ(OpenDescriptors(), descriptors);
    for (size_t i = 0; i < files.size(); i++) {
      std::string file = folder + "veltrane" + (i > 0 ? std::to_string(i) : "") + ".log";
      const char* text = files[i];
      EXPECT_EQ(FileExists(file), text != nullptr) << file;
      EXPECT_EQ(Lines(file), std::vector<std::string>(text && *text ? 2001 : 0, std::string("*") + (text ? text : "")))
          << file;
    }
  }
}

}  // namespace
