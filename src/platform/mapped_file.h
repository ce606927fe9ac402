// A file mapped whole into memory, shared and writable: stores into the
// mapping reach the file (the kernel writes them back; Flush forces it).
//
// Opening creates the file when it is absent and extends it with zeros when
// it is shorter than the size asked for. A longer file is never cut: only
// its first `size` bytes are mapped and the rest stays on disk untouched.
// The descriptor is closed as soon as the mapping exists.
#pragma once
#include <cstddef>
#include <cstdint>

class MappedFile {
 public:
  enum class Status {
    kOk,
    kOpenFailed,  // the file could not be opened or created
    kMapFailed,   // it could not be extended or mapped
  };

  MappedFile() = default;
  ~MappedFile() { Close(); }
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  // Maps the first `size` bytes of the file at `path` (size > 0), closing
  // any mapping held before. On failure nothing is mapped and errno tells
  // why.
  Status Open(const char* path, size_t size);

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
