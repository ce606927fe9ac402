// The mapped file under the seen and history databases.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/mapped_file.h"
#include "support/temp_dir.h"

namespace {

TEST(MappedFile, CreatesExtendsWritesBackAndNeverCuts) {
  TempDir dir;
  std::string path = dir.File("data");
  {
    MappedFile f;
    ASSERT_EQ(f.Open(path.c_str(), 10000), MappedFile::Status::kOk);
    EXPECT_EQ(f.original_size(), 0u);
    EXPECT_EQ(f.size(), 10000u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(f.data()), 10000), std::string(10000, '\0'));
    memcpy(f.data() + 9990, "tail", 4);
    EXPECT_TRUE(f.Flush());
  }  // unmapped by the destructor
  std::string content = ReadFile(path);
  ASSERT_EQ(content.size(), 10000u);
  EXPECT_EQ(content.substr(9990, 4), "tail");

  // A shorter mapping of a longer file leaves the rest alone.
  dir.Write("data", "0123456789");
  MappedFile f;
  ASSERT_EQ(f.Open(path.c_str(), 4), MappedFile::Status::kOk);
  EXPECT_EQ(f.original_size(), 10u);
  f.data()[0] = 'X';
  f.Close();
  f.Close();
  EXPECT_FALSE(f.Flush());
  EXPECT_EQ(ReadFile(path), "X123456789");

  // A short file keeps its bytes and gains zeros.
  ASSERT_EQ(f.Open(path.c_str(), 16), MappedFile::Status::kOk);
  EXPECT_EQ(ReadFile(path), std::string("X123456789") + std::string(6, '\0'));

  EXPECT_EQ(f.Open(dir.File("no/such/dir").c_str(), 16), MappedFile::Status::kOpenFailed);
  EXPECT_FALSE(f.is_open());
  EXPECT_EQ(f.Open("/dev/null", 16), MappedFile::Status::kMapFailed);
  EXPECT_EQ(f.Open(path.c_str(), 0), MappedFile::Status::kMapFailed);
}

// Every block is allocated when the file is opened or created: on a disk
// without room the open fails, where a sparse file would have let a later
// store into the mapping kill the process.
TEST(MappedFile, ADiskWithoutRoomFailsTheOpenNotALaterStore) {
  TempDir dir;
  SmallFilesystem disk(dir, "disk", 1 << 20);
  if (!disk.ok()) GTEST_SKIP() << "cannot mount a tmpfs here";
  MappedFile f;
  EXPECT_EQ(f.Open((disk.path() + "/big").c_str(), 2 << 20), MappedFile::Status::kNoSpace);
  EXPECT_EQ(MappedFile::CreateWhole(disk.path() + "/whole", 2 << 20), MappedFile::Status::kNoSpace);
  EXPECT_FALSE(FileExists(disk.path() + "/whole"));
  EXPECT_FALSE(FileExists(disk.path() + "/whole.new"));
  ASSERT_EQ(f.Open((disk.path() + "/fits").c_str(), 512 << 10), MappedFile::Status::kOk);
  memset(f.data(), 'x', f.size());
  f.Close();

  // Created whole: all its bytes, `fill` then `head`, under its own name.
  ASSERT_EQ(MappedFile::CreateWhole(disk.path() + "/whole", 6, 0xFF, "ab"), MappedFile::Status::kOk);
  EXPECT_EQ(ReadFile(disk.path() + "/whole"), "ab\xFF\xFF\xFF\xFF");
  EXPECT_FALSE(FileExists(disk.path() + "/whole.new"));
}

}  // namespace
