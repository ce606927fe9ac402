#include "spool/open_spool_files.h"

#include <mutex>
#include <unistd.h>
#include <unordered_map>

namespace {
std::mutex mu;
std::unordered_map<uint32_t, uint32_t>& Users() {
  static std::unordered_map<uint32_t, uint32_t> users;
  return users;
}
}  // namespace

void PinSpoolFile(uint32_t number) {
  std::lock_guard<std::mutex> lock(mu);
  Users()[number]++;
}

void UnpinSpoolFile(uint32_t number) {
  std::lock_guard<std::mutex> lock(mu);
  auto it = Users().find(number);
  if (it == Users().end()) return;
  if (--it->second == 0) Users().erase(it);
}

bool DeleteSpoolFileUnlessInUse(const char* path, uint32_t number) {
  std::lock_guard<std::mutex> lock(mu);
  if (Users().count(number) != 0) return false;
  return unlink(path) == 0;
}
