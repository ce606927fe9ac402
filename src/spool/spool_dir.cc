#include "spool/spool_dir.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <system_error>
#include <thread>

#include "service/config.h"
#include "spool/open_spool_files.h"

namespace {

constexpr size_t kMaxNamesPerPass = 399;
constexpr auto kPassInterval = std::chrono::milliseconds(360000);

bool IsSpoolName(const char* name) {
  size_t n = strlen(name);
  return n > 4 && strcmp(name + n - 4, ".art") == 0;
}

// The spool file number a name stands for; names that are not a number
// followed by ".art" get a number no spool file uses.
uint32_t SpoolNumber(const std::string& name) {
  char* end = nullptr;
  unsigned long n = strtoul(name.c_str(), &end, 10);
  return (end != name.c_str() && strcmp(end, ".art") == 0) ? uint32_t(n) : 0;
}

std::string BasePath() {
  const char* base = GetConfigString("ArticleBasePath");
  return base != nullptr ? base : "";
}

[[noreturn]] void DirExpire() {
  for (;;) {
    DirExpirePass();
    std::this_thread::sleep_for(kPassInterval);
  }
}

}  // namespace

bool TCompare(const std::string& a, const std::string& b) { return strcmp(a.c_str(), b.c_str()) < 0; }

std::vector<std::string> DirUpdate() {
  std::vector<std::string> entry;
  DIR* dir = opendir(BasePath().c_str());
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

std::vector<std::string> DirExpirePass() {
  uint32_t keep = 5;
  GetConfigInt("MaxKeepFileCount", &keep);
  const std::string prefix = BasePath() + "/";
  std::vector<std::string> entry = DirUpdate(), deleted;
  for (size_t i = 0; entry.size() - i > keep; i++) {
    std::string path = prefix + entry[i];
    if (DeleteSpoolFileUnlessInUse(path.c_str(), SpoolNumber(entry[i]))) deleted.push_back(entry[i]);
  }
  return deleted;
}

void DirInit() {
  try {
    std::thread(DirExpire).detach();
  } catch (const std::system_error&) {
    // Without the thread old spool files simply stay.
  }
}
