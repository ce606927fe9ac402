// The administrators' command: one result a line, the reference time from
// --now, local time from TZ.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "date_test_util.h"
#include "support/temp_dir.h"

namespace {

// Runs the tool on `input` with `args`; the exit status and the output.
int RunTool(const TempDir& dir, const std::string& env, const std::string& args,
            const std::string& input, std::string* output) {
  std::string in = dir.Write("in", input);
  std::string out = dir.File("out");
  std::string command = env + " " PARSEDATE_TOOL " " + args + " < " + in + " > " + out + " 2>/dev/null";
  int status = system(command.c_str());
  *output = ReadFile(out);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(ParsedateTool, OneResultPerLine) {
  TempDir dir;
  std::string out;
  const int64_t ref = UtcSeconds(2026, 7, 15, 15);  // 11:00 EDT
  const std::string input =
      "Sun, 05 Jan 1997 10:00:00 GMT\n"
      "Jan 5 1997\n"
      "\n"
      "+1 day\n"
      "5 Jan 1997\r\n"
      "no newline at the end 12:00";
  ASSERT_EQ(RunTool(dir, "TZ=America/New_York", "--now " + std::to_string(ref), input, &out), 0);
  EXPECT_EQ(out, "852458400\n"
                 "-1\n" +
                     std::to_string(UtcSeconds(2026, 7, 15, 4)) + "\n" +
                     std::to_string(ref + 86400) + "\n" +
                     std::to_string(UtcSeconds(1997, 1, 5, 5)) + "\n"
                     "-1\n");

  // Without --now the reference is the clock: an empty line is today's
  // start, no earlier than a day ago.
  ASSERT_EQ(RunTool(dir, "TZ=UTC", "", "\n", &out), 0);
  int64_t today = atoll(out.c_str());
  int64_t now = time(nullptr);
  EXPECT_LE(today, now);
  EXPECT_GT(today, now - 86400 - 5);
  EXPECT_EQ(today % 86400, 0);

  EXPECT_EQ(RunTool(dir, "TZ=UTC", "--now", "", &out), 2);
  EXPECT_EQ(RunTool(dir, "TZ=UTC", "--now 12x", "", &out), 2);
  EXPECT_EQ(RunTool(dir, "TZ=UTC", "--now 99999999999", "", &out), 2);
  EXPECT_EQ(RunTool(dir, "TZ=UTC", "--later", "", &out), 2);
}

}  // namespace
