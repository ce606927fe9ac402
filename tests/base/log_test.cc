#include <gtest/gtest.h>

#include <regex>

#include "base/config.h"
#include "base/log.h"
#include "support/temp_dir.h"

namespace {

class LogTest : public ::testing::Test {
 protected:
  void Configure(const std::string& extra) {
    ASSERT_TRUE(LoadConfigFile(dir_.Write("relay.conf", "LogDirectory = " + dir_.path() + "\n" + extra).c_str()));
  }
  std::string Log(const std::string& name = "veltrane.log") { return ReadFile(dir_.File(name)); }
  void TearDown() override { LogLine(nullptr); }

  TempDir dir_;
};

TEST_F(LogTest, LinesCarryTheAsctimeStampAndShutdownClosesTheLog) {
  Configure("");
  console_init();
  LogLine("hello");
  LogLine("ends in newline\n");
  LogLine(nullptr);
  LogLine("after close");
  LogLine(nullptr);  // already closed: nothing
  std::string text = Log();
  std::regex stamp(R"(^[A-Z][a-z]{2} [A-Z][a-z]{2} [ 1-3][0-9] \d\d:\d\d:\d\d \d{4}: hello\n)");
  EXPECT_TRUE(std::regex_search(text, stamp)) << text;
  EXPECT_NE(text.find(": ends in newline\n\n"), std::string::npos);
  EXPECT_TRUE(text.ends_with("\nbase: shutting down\n")) << text;
  EXPECT_EQ(text.find("after close"), std::string::npos);
}

TEST_F(LogTest, LineEstimateRotatesAtOnceFrom100000Bytes) {
  Configure("");
  dir_.Write("veltrane.log", std::string(100000, 'a'));
  console_init();
  EXPECT_EQ(LogLineCount(), 2000u);
  LogLine("first");  // count 2001: rotated at once
  EXPECT_EQ(LogLineCount(), 0u);
  EXPECT_TRUE(Log("veltrane1.log").ends_with(": first\n"));
  EXPECT_EQ(Log(), "");
}

TEST_F(LogTest, LineEstimateFrom99999BytesRotatesOnTheSecondLine) {
  Configure("");
  dir_.Write("veltrane.log", std::string(99999, 'a'));
  console_init();
  EXPECT_EQ(LogLineCount(), 1999u);
  LogLine("first");
  EXPECT_FALSE(FileExists(dir_.File("veltrane1.log")));
  LogLine("second");
  EXPECT_TRUE(FileExists(dir_.File("veltrane1.log")));
}

TEST_F(LogTest, KeepOneNeverReplacesAnExistingFileOne) {
  Configure("MaxKeepLogFile = 1\n");
  dir_.Write("veltrane1.log", "old\n");
  dir_.Write("veltrane.log", std::string(100000, 'a'));
  console_init();
  LogLine("stays");
  // The rename to file 1 failed: the current log is reopened and appended to.
  EXPECT_EQ(Log("veltrane1.log"), "old\n");
  EXPECT_TRUE(Log().starts_with(std::string(100000, 'a')));
  EXPECT_NE(Log().find(": stays\n"), std::string::npos);
  LogLine("more");
  EXPECT_NE(Log().find(": more\n"), std::string::npos);
}

TEST_F(LogTest, KeepThreeLeavesFilesOneAndTwoAndNeverThree) {
  Configure("MaxKeepLogFile = 3\n");
  console_init();
  for (int rotation = 0; rotation < 4; rotation++) {
    for (int i = 0; i < 2001; i++) LogLine("line");
  }
  EXPECT_TRUE(FileExists(dir_.File("veltrane.log")));
  EXPECT_TRUE(FileExists(dir_.File("veltrane1.log")));
  EXPECT_TRUE(FileExists(dir_.File("veltrane2.log")));
  EXPECT_FALSE(FileExists(dir_.File("veltrane3.log")));
}

TEST_F(LogTest, KeepZeroCountsAsOne) {
  Configure("MaxKeepLogFile = 0\n");
  console_init();
  for (int i = 0; i < 2001 * 2; i++) LogLine("line");
  EXPECT_TRUE(FileExists(dir_.File("veltrane1.log")));
  EXPECT_FALSE(FileExists(dir_.File("veltrane2.log")));
}

}  // namespace
