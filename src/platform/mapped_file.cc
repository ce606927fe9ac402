#include "platform/mapped_file.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Closes `fd` without disturbing the errno of the failure being reported.
void CloseKeepingErrno(int fd) {
  int saved = errno;
  close(fd);
  errno = saved;
}

}  // namespace

MappedFile::Status MappedFile::Open(const char* path, size_t size) {
  Close();
  int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return Status::kOpenFailed;
  struct stat st;
  if (fstat(fd, &st) != 0) {
    CloseKeepingErrno(fd);
    return Status::kOpenFailed;
  }
  if (size == 0) {
    CloseKeepingErrno(fd);
    errno = EINVAL;
    return Status::kMapFailed;
  }
  // Extending with ftruncate leaves a hole that reads as zeros.
  if (uint64_t(st.st_size) < size && ftruncate(fd, off_t(size)) != 0) {
    CloseKeepingErrno(fd);
    return Status::kMapFailed;
  }
  void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (p == MAP_FAILED) {
    CloseKeepingErrno(fd);
    return Status::kMapFailed;
  }
  close(fd);
  data_ = static_cast<uint8_t*>(p);
  size_ = size;
  original_size_ = uint64_t(st.st_size);
  return Status::kOk;
}

bool MappedFile::Flush() {
  if (data_ == nullptr) return false;
  return msync(data_, size_, MS_SYNC) == 0;
}

void MappedFile::Close() {
  if (data_ == nullptr) return;
  munmap(data_, size_);
  data_ = nullptr;
  size_ = 0;
}
