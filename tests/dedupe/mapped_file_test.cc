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

}  // namespace
