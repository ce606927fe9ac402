#include "support/temp_dir.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/mount.h>
#include <sys/stat.h>

TempDir::TempDir() {
  char pattern[] = "/tmp/veltrane-test-XXXXXX";
  if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string TempDir::File(const std::string& name) const { return path_ + "/" + name; }

std::string TempDir::MakeDir(const std::string& name) const {
  std::string p = File(name);
  std::filesystem::create_directories(p);
  return p;
}

std::string TempDir::Write(const std::string& name, const std::string& content) const {
  std::string p = File(name);
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out << content;
  return p;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool FileExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

size_t OpenDescriptors() { return size_t(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {})); }

std::string Le32(uint32_t v) { return std::string(reinterpret_cast<const char*>(&v), 4); }

SmallFilesystem::SmallFilesystem(const TempDir& dir, const std::string& name, size_t bytes)
    : path_(dir.MakeDir(name)) {
  std::string options = "size=" + std::to_string(bytes);
  mounted_ = mount("tmpfs", path_.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) == 0;
}

SmallFilesystem::~SmallFilesystem() {
  if (mounted_) umount2(path_.c_str(), MNT_DETACH);
}
