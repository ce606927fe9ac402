// Zeroed memory for a table of megabytes read at random places, such as a
// hash table's buckets. It is mapped on whole huge-page boundaries with the
// hint to back it by huge pages where the kernel does that on request:
// then a lookup costs its one cache miss, not a page-table walk on top.
#pragma once
#include <cstddef>

class LargeTable {
 public:
  LargeTable() = default;
  ~LargeTable() { Release(); }
  LargeTable(const LargeTable&) = delete;
  LargeTable& operator=(const LargeTable&) = delete;

  // Maps `bytes` zeroed bytes, giving back what was mapped before. False
  // when the memory cannot be had.
  bool Allocate(size_t bytes);
  void Release();

  void* data() const { return data_; }

 private:
  void* mapping_ = nullptr;
  size_t mappingBytes_ = 0;
  void* data_ = nullptr;
};
