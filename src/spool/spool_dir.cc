#include "spool/spool_dir.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <system_error>
#include <thread>

#include "base/config.h"
#include "platform/threads.h"
#include "spool/article_spool.h"

namespace {

constexpr size_t kMaxNamesPerPass = 399;
constexpr auto kPassInterval = std::chrono::milliseconds(360000);

bool IsSpoolName(const char* name) {
  size_t n = strlen(name);
  return n > 4 && strcmp(name + n - 4, ".art") == 0;
}

// The spool file number a name stands for: 1 to 10 decimal digits within
// 32 bits followed by ".art". Other names get 0, which no spool file uses.
uint32_t SpoolNumber(const char* name) {
  uint64_t n = 0;
  const char* p = name;
  for (; *p >= '0' && *p <= '9'; p++) {
    n = n * 10 + uint64_t(*p - '0');
    if (n > UINT32_MAX) return 0;
  }
  return (p != name && strcmp(p, ".art") == 0) ? uint32_t(n) : 0;
}

}  // namespace

SpoolDirectory::SpoolDirectory(ArticleSpool* spool, const Config& config) : spool_(spool) {
  const char* base = config.GetConfigString("ArticleBasePath");
  base_ = base != nullptr ? base : "";
  config.GetConfigInt("MaxKeepFileCount", &keep_);
}

bool TCompare(const std::string& a, const std::string& b) { return strcmp(a.c_str(), b.c_str()) < 0; }

std::vector<std::string> SpoolDirectory::DirUpdate() const {
  std::vector<std::string> entry;
  DIR* dir = opendir(base_.c_str());
  if (dir == nullptr) return entry;
  while (entry.size() < kMaxNamesPerPass) {
    dirent* d = readdir(dir);
    if (d == nullptr) break;
    if (IsSpoolName(d->d_name)) entry.emplace_back(d->d_name);
  }
  closedir(dir);
  std::sort(entry.begin(), entry.end(), TCompare);
  return entry;
}

std::vector<std::string> SpoolDirectory::DirExpirePass() {
  const std::string prefix = base_ + "/";
  std::vector<std::string> entry = DirUpdate(), deleted;
  for (size_t i = 0; entry.size() - i > keep_; i++) {
    std::string path = prefix + entry[i];
    if (spool_->openFiles().DeleteSpoolFileUnlessInUse(path.c_str(), SpoolNumber(entry[i].c_str()))) {
      deleted.push_back(entry[i]);
    }
  }
  spool_->SetSpoolFilesOnDisk(uint32_t(entry.size() - deleted.size()));
  return deleted;
}

uint32_t HighestSpoolFileNumber(const char* base) {
  uint32_t highest = 0;
  DIR* dir = opendir(base);
  if (dir == nullptr) return 0;
  while (dirent* d = readdir(dir)) highest = std::max(highest, SpoolNumber(d->d_name));
  closedir(dir);
  return highest;
}

void SpoolDirectory::DirInit() {
  // Without it old spool files simply stay.
  expirer_.Start(kPassInterval, [this] { DirExpirePass(); }, true);
}

void SpoolDirectory::DirShutdown() { expirer_.Stop(); }
