#include "platform/mapped_file.h"

#include "platform/io.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// Closes `fd` without disturbing the errno of the failure being reported.
void CloseKeepingErrno(int fd) {
  int saved = errno;
  close(fd);
  errno = saved;
}

// Allocates every block of the first `size` bytes. posix_fallocate returns
// its error instead of setting errno.
MappedFile::Status Allocate(int fd, size_t size) {
  int error = posix_fallocate(fd, 0, off_t(size));
  if (error == 0) return MappedFile::Status::kOk;
  errno = error;
  return error == ENOSPC || error == EDQUOT ? MappedFile::Status::kNoSpace : MappedFile::Status::kMapFailed;
}

// Makes a rename in the folder of `path` survive a crash of the machine.
void SyncFolderOf(const std::string& path) {
  size_t slash = path.rfind('/');
  std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

MappedFile::Status FillAndWrite(int fd, size_t size, uint8_t fill, const std::string& head) {
  if (fill != 0) {
    std::vector<uint8_t> block(std::min(size, size_t(1) << 20), fill);
    for (size_t at = 0; at < size; at += block.size()) {
      if (!WriteFully(fd, block.data(), std::min(block.size(), size - at), off_t(at))) {
        return errno == ENOSPC ? MappedFile::Status::kNoSpace : MappedFile::Status::kMapFailed;
      }
    }
  }
  if (!WriteFully(fd, head.data(), std::min(head.size(), size), 0) || fsync(fd) != 0) {
    return errno == ENOSPC ? MappedFile::Status::kNoSpace : MappedFile::Status::kMapFailed;
  }
  return MappedFile::Status::kOk;
}

}  // namespace

MappedFile::Status MappedFile::Open(const char* path, size_t size, bool exact) {
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
  bool resize = exact ? uint64_t(st.st_size) != size : uint64_t(st.st_size) < size;
  if (resize && ftruncate(fd, off_t(size)) != 0) {
    CloseKeepingErrno(fd);
    return Status::kMapFailed;
  }
  Status allocated = Allocate(fd, size);
  if (allocated != Status::kOk) {
    CloseKeepingErrno(fd);
    return allocated;
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

MappedFile::Status MappedFile::CreateWhole(const std::string& path, size_t size, uint8_t fill,
                                           const std::string& head) {
  std::string temporary = path + ".new";
  int fd = open(temporary.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return Status::kOpenFailed;
  Status status = Allocate(fd, size);
  if (status == Status::kOk) status = FillAndWrite(fd, size, fill, head);
  if (status != Status::kOk) {
    CloseKeepingErrno(fd);
    int saved = errno;
    unlink(temporary.c_str());
    errno = saved;
    return status;
  }
  close(fd);
  // Replacing is the point: what stood at `path` was no database yet.
  if (rename(temporary.c_str(), path.c_str()) != 0) return Status::kOpenFailed;
  SyncFolderOf(path);
  return Status::kOk;
}

bool MappedFile::Flush() {
  if (data_ == nullptr) {
    errno = EBADF;
    return false;
  }
  return msync(data_, size_, MS_SYNC) == 0;
}

void MappedFile::Close() {
  if (data_ == nullptr) return;
  munmap(data_, size_);
  data_ = nullptr;
  size_ = 0;
}

int64_t FileLength(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? int64_t(st.st_size) : -1;
}

bool MissingOrEmptyFile(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return errno == ENOENT;
  return S_ISREG(st.st_mode) && st.st_size == 0;
}
