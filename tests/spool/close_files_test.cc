// Shut-down of the spool. CloseFiles locks insertions out for the rest of
// the process, so it runs in a child process of its own.
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <string>
#include <unistd.h>

#include "base/log.h"
#include "dedupe/seen.h"
#include "history/history.h"
#include "spool/article_spool.h"
#include "spool/spool_dir.h"
#include "spool/spool_fixture.h"
#include "support/temp_dir.h"

namespace {

bool OpenInThisProcess(const std::string& path) {
  for (int fd = 0; fd < 1024; fd++) {
    char link[PATH_MAX];
    ssize_t n = readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), link, sizeof link - 1);
    if (n > 0 && std::string(link, size_t(n)) == path) return true;
  }
  return false;
}

// Runs in the child: CloseFiles, then the checks. Failures go to standard
// error, and the exit code says whether there were any.
void ShutDownAndCheck(const std::string& log, const std::string& spoolFile, const std::string& logBefore) {
  std::string failures;
  auto check = [&](bool ok, const char* what) {
    if (!ok) failures += std::string(what) + "\n";
  };
  // A seen database that cannot be written back is reported, and the rest
  // of the shut-down goes on.
  SeenClose();
  CloseFiles();
  std::string text = ReadFile(log);
  check(text.find("seen: could not write the seen database to disk: Bad file descriptor\n") != std::string::npos,
        "failed write-back of the seen database not logged");
  check(text.size() > logBefore.size() && text.compare(0, logBefore.size(), logBefore) == 0,
        "log lost its earlier lines");
  check(text.size() >= 20 && text.compare(text.size() - 20, 20, "base: shutting down\n") == 0,
        "log does not end in the shut-down line");
  LogLine("after the end");
  check(ReadFile(log) == text, "log written after it was closed");
  const uint32_t flags[4] = {1, 0, 0, 0};
  check(AddArticleToHistory("late@test", flags, 0, 10, 1) == 0, "history append after close");
  check(!OpenInThisProcess(spoolFile), "spool file still open");
  // No longer in use: the expiry may delete it now.
  check(DirExpirePass() == std::vector<std::string>{spoolFile.substr(spoolFile.rfind('/') + 1)},
        "closed spool file not deleted by the expiry");
  fputs(failures.c_str(), stderr);
  fflush(stderr);
  _exit(failures.empty() ? 0 : 1);
}

TEST_F(SpoolTest, CloseFilesShutsTheLogTheHistoryAndTheSpoolFile) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  Start("MaxKeepFileCount = 0\n");
  ASSERT_EQ(Store("last@test", Article("last@test", DateText(now))), 1);
  ASSERT_TRUE(OpenInThisProcess(SpoolPath(now)));
  const std::string logBefore = Log();
  EXPECT_EXIT(ShutDownAndCheck(dir_.File("veltrane.log"), SpoolPath(now), logBefore), testing::ExitedWithCode(0),
              "^$");
  // The child's history was flushed to the files this process still maps.
  EXPECT_EQ(Entry("last@test").spoolFile, now);
}

}  // namespace
