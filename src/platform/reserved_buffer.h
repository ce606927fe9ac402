// A buffer whose full address range is reserved up front while only its
// first part is backed by memory: it can grow in place (no copy, no moved
// pointers) and give the grown part back later.
#pragma once
#include <atomic>
#include <cstddef>

class ReservedBuffer {
 public:
  ReservedBuffer() = default;
  ~ReservedBuffer() { Release(); }
  ReservedBuffer(const ReservedBuffer&) = delete;
  ReservedBuffer& operator=(const ReservedBuffer&) = delete;

  // Reserves `reserved` bytes and backs the first `initial` with memory.
  bool Reserve(size_t reserved, size_t initial);
  // Backs the whole reserved range.
  bool Grow();
  // Gives back everything beyond the initial part.
  void Shrink();
  // Gives back the whole range.
  void Release();

  char* data() const { return data_; }
  // Read without a lock by monitors and tests while the owner works.
  bool grown() const { return grown_.load(std::memory_order_relaxed); }

 private:
  char* data_ = nullptr;
  size_t reserved_ = 0;
  size_t initialPages_ = 0;  // bytes of the initial part, rounded to pages
  std::atomic<bool> grown_{false};
};
