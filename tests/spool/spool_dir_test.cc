// Spool expiry on a real folder: which names are listed, which are deleted,
// the per-pass limit, and that files in use survive until released.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "history/history.h"
#include "spool/article_spool.h"
#include "spool/open_spool_files.h"
#include "spool/spool_dir.h"
#include "spool/spool_fixture.h"
#include "support/temp_dir.h"

namespace {

using Names = std::vector<std::string>;

class SpoolDirTest : public SpoolTest {
 protected:
  void MakeSpoolFiles(uint32_t from, uint32_t count) {
    for (uint32_t n = from; n < from + count; n++) dir_.Write("spool/" + std::to_string(n) + ".art", "x");
  }
  static Names Sorted(Names names) {
    std::sort(names.begin(), names.end());
    return names;
  }
};

TEST_F(SpoolDirTest, KeepsTheNewestAndDeletesTheSmallestNames) {
  Start("MaxKeepFileCount = 5\n");
  // Created out of order so that the listing order is not the name order.
  for (uint32_t n : {1004u, 1000u, 1007u, 1002u, 1006u, 1001u, 1005u, 1003u}) {
    dir_.Write("spool/" + std::to_string(n) + ".art", "x");
  }
  const Names others = {"1000.ART", "1000.art.bak", "notes.txt", "x.artx"};
  for (const std::string& name : others) dir_.Write("spool/" + name, "keep");

  EXPECT_EQ(DirUpdate(), (Names{"1000.art", "1001.art", "1002.art", "1003.art", "1004.art", "1005.art", "1006.art",
                                "1007.art"}));
  EXPECT_EQ(DirExpirePass(), (Names{"1000.art", "1001.art", "1002.art"}));
  EXPECT_EQ(SpoolNames(), Sorted({"1000.ART", "1000.art.bak", "1003.art", "1004.art", "1005.art", "1006.art",
                                  "1007.art", "notes.txt", "x.artx"}));
  // Five left: nothing more to do.
  EXPECT_EQ(DirExpirePass(), Names{});
  EXPECT_EQ(DirUpdate().size(), 5u);
  for (const std::string& name : others) EXPECT_EQ(ReadFile(SpoolFile(name)), "keep") << name;

  // Plain byte order: a shorter number is not older.
  EXPECT_TRUE(TCompare("1000.art", "999.art"));
  EXPECT_FALSE(TCompare("999.art", "1000.art"));
  EXPECT_FALSE(TCompare("1000.art", "1000.art"));
}

TEST_F(SpoolDirTest, FewerThanTheLimitAndAMissingFolderDeleteNothing) {
  Start("MaxKeepFileCount = 5\n");
  EXPECT_EQ(DirUpdate(), Names{});
  EXPECT_EQ(DirExpirePass(), Names{});
  MakeSpoolFiles(2000, 4);
  EXPECT_EQ(DirExpirePass(), Names{});
  EXPECT_EQ(SpoolNames().size(), 4u);
  MakeSpoolFiles(2004, 1);
  EXPECT_EQ(DirExpirePass(), Names{});
  EXPECT_EQ(SpoolNames().size(), 5u);
  std::filesystem::remove_all(spool_);
  EXPECT_EQ(DirUpdate(), Names{});
  EXPECT_EQ(DirExpirePass(), Names{});
}

TEST_F(SpoolDirTest, OnePassConsidersAtMost399Names) {
  Start("MaxKeepFileCount = 5\n");
  MakeSpoolFiles(100000, 450);
  Names listed = DirUpdate();
  ASSERT_EQ(listed.size(), 399u);
  EXPECT_TRUE(std::is_sorted(listed.begin(), listed.end()));
  EXPECT_EQ(DirExpirePass().size(), 394u);
  EXPECT_EQ(SpoolNames().size(), 56u);
  EXPECT_EQ(DirExpirePass().size(), 51u);
  // Whatever the listing order was, the newest five are what is left.
  EXPECT_EQ(SpoolNames(), (Names{"100445.art", "100446.art", "100447.art", "100448.art", "100449.art"}));
  EXPECT_EQ(DirExpirePass(), Names{});
}

TEST_F(SpoolDirTest, PinnedFileIsSkippedUntilReleased) {
  Start("MaxKeepFileCount = 5\n");
  MakeSpoolFiles(1000, 8);
  PinSpoolFile(1000);
  PinSpoolFile(1000);
  // The oldest is in use: the pass goes on to the next two and leaves six.
  EXPECT_EQ(DirExpirePass(), (Names{"1001.art", "1002.art"}));
  EXPECT_EQ(SpoolNames().size(), 6u);
  UnpinSpoolFile(1000);
  EXPECT_EQ(DirExpirePass(), Names{});
  UnpinSpoolFile(1000);
  EXPECT_EQ(DirExpirePass(), Names{"1000.art"});
  EXPECT_EQ(SpoolNames(), (Names{"1003.art", "1004.art", "1005.art", "1006.art", "1007.art"}));
  // Unpinning what is not pinned changes nothing.
  UnpinSpoolFile(1003);
  EXPECT_EQ(DirExpirePass(), Names{});
}

// With nothing to keep, everything goes except the current spool file and
// files a feeder holds open; those go once they are let go.
TEST_F(SpoolDirTest, KeepZeroSparesOnlyFilesInUse) {
  Start("MaxKeepFileCount = 0\n");
  dir_.Write("spool/readme.txt", "keep");
  MakeSpoolFiles(1000, 3);
  const uint32_t older = now;
  ASSERT_EQ(Store("k1@test", Article("k1@test", DateText(now))), 1);
  now += 3601;
  const uint32_t current = now;
  ASSERT_EQ(Store("k2@test", Article("k2@test", DateText(now))), 1);
  const std::string olderName = std::to_string(older) + ".art";
  const std::string currentName = std::to_string(current) + ".art";

  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  SpoolFileCache cache;
  int error = 0;
  _histentry* e = FindArticle("k1@test");
  ASSERT_NE(e, nullptr);
  ASSERT_EQ(TransmitArticle(e, &cache, pair[0], nullptr, nullptr, &error), 1);
  PinSpoolFile(1001);

  EXPECT_EQ(DirExpirePass(), (Names{"1000.art", "1002.art"}));
  EXPECT_EQ(SpoolNames(), Sorted({"1001.art", olderName, currentName, "readme.txt"}));
  UnpinSpoolFile(1001);
  EXPECT_EQ(DirExpirePass(), Names{"1001.art"});
  CloseCachedSpoolFile(&cache);
  EXPECT_EQ(DirExpirePass(), Names{olderName});
  EXPECT_EQ(SpoolNames(), Sorted({currentName, "readme.txt"}));

  // Once rotation closes it, the former current file goes too.
  now += 3601;
  ASSERT_EQ(Store("k3@test", Article("k3@test", DateText(now))), 1);
  EXPECT_EQ(DirExpirePass(), Names{currentName});
  EXPECT_EQ(SpoolNames(), Sorted({std::to_string(now) + ".art", "readme.txt"}));

  // The history still knows the article whose file is gone.
  EXPECT_EQ(TransmitArticle(e, &cache, pair[0], nullptr, nullptr, &error), 0);
  EXPECT_EQ(error, 436);
  DestroyEntry(e);
  close(pair[0]);
  close(pair[1]);
}

}  // namespace
