// A fresh folder under /tmp for one test, removed with everything in it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const;
  // Creates the sub-folder `name` and returns its path.
  std::string MakeDir(const std::string& name) const;
  // Writes `content` to the file `name` and returns its path.
  std::string Write(const std::string& name, const std::string& content) const;

 private:
  std::string path_;
};

// A tmpfs of `bytes` mounted at the new folder `name` of a TempDir, for
// tests that fill a disk; unmounted, with everything on it, when this ends
// (declare it after its TempDir). ok() is false where mounting is not
// permitted; such a test skips.
class SmallFilesystem {
 public:
  SmallFilesystem(const TempDir& dir, const std::string& name, size_t bytes);
  ~SmallFilesystem();
  SmallFilesystem(const SmallFilesystem&) = delete;
  SmallFilesystem& operator=(const SmallFilesystem&) = delete;

  bool ok() const { return mounted_; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  bool mounted_ = false;
};

// The whole content of a file; empty when it cannot be read.
std::string ReadFile(const std::string& path);
bool FileExists(const std::string& path);
// How many descriptors this process has open.
size_t OpenDescriptors();
// The four bytes of `v` as they lie in memory: a word of the database files.
std::string Le32(uint32_t v);
