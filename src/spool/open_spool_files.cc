#include "spool/open_spool_files.h"

#include <unistd.h>

void OpenSpoolFiles::PinSpoolFile(uint32_t number) {
  std::lock_guard<std::mutex> lock(mu_);
  users_[number]++;
}

void OpenSpoolFiles::UnpinSpoolFile(uint32_t number) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = users_.find(number);
  if (it == users_.end()) return;
  if (--it->second == 0) users_.erase(it);
}

bool OpenSpoolFiles::DeleteSpoolFileUnlessInUse(const char* path, uint32_t number) {
  std::lock_guard<std::mutex> lock(mu_);
  if (users_.count(number) != 0) return false;
  return unlink(path) == 0;
}
