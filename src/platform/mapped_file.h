// A file mapped whole into memory, shared and writable: stores into the
// mapping reach the file (the kernel writes them back; Flush forces it).
//
// Opening creates the file when it is absent and extends it with zeros when
// it is shorter than the size asked for. A longer file is never cut unless
// the caller asks for the exact size: otherwise only its first `size` bytes
// are mapped and the rest stays on disk untouched. Every block of the
// mapped range is allocated on disk when the file is opened, so a store
// into the mapping can never fault for want of space later (on Linux that
// would be SIGBUS); a disk too full for that fails the open instead. The
// descriptor is closed as soon as the mapping exists.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

class MappedFile {
 public:
  enum class Status {
    kOk,
    kOpenFailed,  // the file could not be opened or created
    kMapFailed,   // it could not be extended or mapped
    kNoSpace,     // the disk has no room for all of its blocks
  };

  MappedFile() = default;
  ~MappedFile() { Close(); }
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  // Maps the first `size` bytes of the file at `path` (size > 0), closing
  // any mapping held before; with `exact` the file is first cut or extended
  // to exactly `size` bytes. On failure nothing is mapped and errno tells
  // why.
  Status Open(const char* path, size_t size, bool exact = false);

  // Writes a new file at `path` complete before it takes that name: the
  // bytes are built under "<path>.new" (`size` bytes, every one `fill`,
  // then `head` over the first ones), written to disk, and renamed over
  // whatever stood at `path`. A crash leaves either the old file or the
  // whole new one, never a part. Returns kOpenFailed, kNoSpace or kMapFailed
  // (a write failed) with errno set, or kOk.
  static Status CreateWhole(const std::string& path, size_t size, uint8_t fill = 0, const std::string& head = "");

  // Writes the mapped bytes back to the file and waits for the disk.
  // Returns false when the write-back fails or nothing is mapped.
  bool Flush();

  // Unmaps; stores made before reach the file. Safe to call twice.
  void Close();

  bool is_open() const { return data_ != nullptr; }
  uint8_t* data() const { return data_; }
  size_t size() const { return size_; }
  // The file's length in bytes when it was opened, before any extension:
  // 0 tells a newly created (or empty) file.
  uint64_t original_size() const { return original_size_; }

 private:
  uint8_t* data_ = nullptr;
  size_t size_ = 0;
  uint64_t original_size_ = 0;
};

// The length of the file at `path`, or -1 when it cannot be read (absent).
int64_t FileLength(const std::string& path);

// True when nothing is at `path`, or an empty regular file: a place where a
// new file may be created whole (a device or a link to one is not).
bool MissingOrEmptyFile(const std::string& path);
