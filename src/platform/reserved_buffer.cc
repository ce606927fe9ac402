#include "platform/reserved_buffer.h"

#include <sys/mman.h>
#include <unistd.h>

namespace {
size_t RoundToPages(size_t n) {
  size_t page = size_t(sysconf(_SC_PAGESIZE));
  return (n + page - 1) / page * page;
}
}  // namespace

bool ReservedBuffer::Reserve(size_t reserved, size_t initial) {
  Release();
  void* p = mmap(nullptr, reserved, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (p == MAP_FAILED) return false;
  data_ = static_cast<char*>(p);
  reserved_ = reserved;
  initialPages_ = RoundToPages(initial);
  if (mprotect(data_, initialPages_, PROT_READ | PROT_WRITE) != 0) {
    Release();
    return false;
  }
  return true;
}

bool ReservedBuffer::Grow() {
  if (grown_) return true;
  if (mprotect(data_, reserved_, PROT_READ | PROT_WRITE) != 0) return false;
  grown_ = true;
  return true;
}

void ReservedBuffer::Shrink() {
  if (!grown_) return;
  size_t rest = RoundToPages(reserved_) - initialPages_;
  madvise(data_ + initialPages_, rest, MADV_DONTNEED);
  mprotect(data_ + initialPages_, rest, PROT_NONE);
  grown_ = false;
}

void ReservedBuffer::Release() {
  if (data_ != nullptr) munmap(data_, reserved_);
  data_ = nullptr;
  reserved_ = 0;
  grown_ = false;
}
