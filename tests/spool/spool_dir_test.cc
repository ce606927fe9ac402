// Spool expiry on a real folder: which names are listed and deleted, the
// per-pass limit, files in use, and the number a restart continues after.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sys/socket.h>
#include <vector>

#include "spool/open_spool_files.h"
#include "spool/spool_dir.h"
#include "spool/spool_fixture.h"

namespace {

using Names = std::vector<std::string>;

class SpoolDirTest : public SpoolTest {
 protected:
  void Make(const Names& names) {
    for (const std::string& name : names) dir_.Write("spool/" + name, "x");
  }
  Names Listing() const {
    Names names;
    for (const auto& e : std::filesystem::directory_iterator(spool_)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }
};

TEST_F(SpoolDirTest, KeepsTheNewestNamesAndTouchesNothingElse) {
  Start("MaxKeepFileCount = 5\n");
  EXPECT_EQ(DirExpirePass(), Names{});
  // Made out of order, so that the listing's order is not the names' order.
  Make({"1004.art", "1000.art", "1007.art", "1002.art", "1006.art", "1001.art", "1005.art", "1003.art"});
  Make({"1000.ART", "1000.art.bak", "notes.txt", "x.artx"});
  EXPECT_EQ(DirUpdate(),
            (Names{"1000.art", "1001.art", "1002.art", "1003.art", "1004.art", "1005.art", "1006.art", "1007.art"}));
  EXPECT_EQ(DirExpirePass(), (Names{"1000.art", "1001.art", "1002.art"}));
  EXPECT_EQ(GetSpoolFigures().filesOnDisk, 5u);
  EXPECT_EQ(DirExpirePass(), Names{});
  EXPECT_EQ(Listing(), (Names{"1000.ART", "1000.art.bak", "1003.art", "1004.art", "1005.art", "1006.art", "1007.art",
                              "notes.txt", "x.artx"}));
  EXPECT_EQ(DescriptorsOn(spool_), 0);
  // A pass considers at most 399 names, taken in the listing's order.
  for (int n = 100000; n < 100400; n++) Make({std::to_string(n) + ".art"});
  Names listed = DirUpdate();
  EXPECT_EQ(listed.size(), 399u);
  EXPECT_TRUE(std::is_sorted(listed.begin(), listed.end()));
  EXPECT_EQ(DirExpirePass().size(), 394u);
  EXPECT_EQ(DirExpirePass().size(), 6u);
  EXPECT_EQ(Listing().size(), 9u);
  std::filesystem::remove_all(spool_);
  EXPECT_EQ(DirExpirePass(), Names{});
}

// With nothing to keep, everything goes but the current spool file and
// the files a feeder holds or pins; each goes once it is let go.
TEST_F(SpoolDirTest, FilesInUseWaitUntilLetGo) {
  Start("MaxKeepFileCount = 0\n");
  Make({"1090.art", "1091.art", "1092.art", "readme.txt"});
  const std::string older = std::to_string(now) + ".art";
  ASSERT_TRUE(Store("k1@test", Article("k1@test", DateText(now))));
  const std::string current = std::to_string(now += 3601) + ".art";
  ASSERT_TRUE(Store("k2@test", Article("k2@test", DateText(now))));
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  _histentry* e = FindArticle("k1@test");
  SpoolFileCache cache;
  int error = 0;
  ASSERT_EQ(TransmitArticle(e, &cache, pair[0], nullptr, nullptr, &error), 1);
  PinSpoolFile(1090);
  PinSpoolFile(1090);
  EXPECT_EQ(DirExpirePass(), (Names{"1091.art", "1092.art"}));
  UnpinSpoolFile(1090);
  EXPECT_EQ(DirExpirePass(), Names{});
  UnpinSpoolFile(1090);
  EXPECT_EQ(DirExpirePass(), Names{"1090.art"});
  CloseCachedSpoolFile(&cache);
  EXPECT_EQ(DirExpirePass(), Names{older});
  now += 3601;
  ASSERT_TRUE(Store("k3@test", Article("k3@test", DateText(now))));
  EXPECT_EQ(DirExpirePass(), Names{current});
  EXPECT_EQ(Listing(), (Names{std::to_string(now) + ".art", "readme.txt"}));
  // The history still knows the article whose file is gone.
  EXPECT_EQ(TransmitArticle(e, &cache, pair[0], nullptr, nullptr, &error), 0);
  EXPECT_EQ(error, 436);
  DestroyEntry(e);
  close(pair[0]);
  close(pair[1]);
}

TEST_F(SpoolDirTest, HighestNumberAmongTheSpoolNames) {
  TempDir dir;
  for (const char* name : {"7.art", "0013.art", "4294967296.art", "99999999999.art", "14.art.bak", "x15.art", "16x.art"})
    dir.Write(name, "");
  EXPECT_EQ(HighestSpoolFileNumber(dir.path().c_str()), 13u);
  dir.Write("4294967295.art", "");
  EXPECT_EQ(HighestSpoolFileNumber(dir.path().c_str()), 4294967295u);
  EXPECT_EQ(HighestSpoolFileNumber(dir.File("none").c_str()), 0u);
  EXPECT_EQ(DescriptorsOn(dir.path()), 0);
}

}  // namespace
