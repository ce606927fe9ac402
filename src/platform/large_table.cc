#include "platform/large_table.h"

#include <sys/mman.h>

#include <cstdint>

namespace {
constexpr size_t kHugePage = size_t(2) << 20;
}  // namespace

bool LargeTable::Allocate(size_t bytes) {
  Release();
  // One huge page more than asked, so that the table can start on a
  // huge-page boundary; the kernel backs only whole aligned ones.
  size_t mapped = bytes + kHugePage;
  void* p = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return false;
  mapping_ = p;
  mappingBytes_ = mapped;
  uintptr_t start = (reinterpret_cast<uintptr_t>(p) + kHugePage - 1) & ~(kHugePage - 1);
  data_ = reinterpret_cast<void*>(start);
  // Only a hint: without it (or without huge pages) the table works the same.
  madvise(data_, bytes, MADV_HUGEPAGE);
  return true;
}

void LargeTable::Release() {
  if (mapping_ != nullptr) munmap(mapping_, mappingBytes_);
  mapping_ = nullptr;
  mappingBytes_ = 0;
  data_ = nullptr;
}
