#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/reserved_buffer.h"

namespace {

// Bytes of the buffer's range mapped readable and writable, from the
// process's own memory map.
size_t WritableBytes(const ReservedBuffer& buffer, size_t reserved) {
  uintptr_t start = reinterpret_cast<uintptr_t>(buffer.data()), end = start + reserved;
  std::ifstream maps("/proc/self/maps");
  std::string line;
  size_t total = 0;
  while (std::getline(maps, line)) {
    uintptr_t lo = 0, hi = 0;
    char dash = 0;
    std::string perms;
    std::istringstream in(line);
    in >> std::hex >> lo >> dash >> hi >> perms;
    if (hi <= start || lo >= end || perms.compare(0, 2, "rw") != 0) continue;
    total += std::min(hi, end) - std::max(lo, start);
  }
  return total;
}

TEST(ReservedBuffer, BacksOnlyTheSmallPartUntilItGrowsAndAfterItShrinks) {
  const size_t reserved = 1048577, initial = 65537;
  ReservedBuffer buffer;
  ASSERT_TRUE(buffer.Reserve(reserved, initial));
  EXPECT_EQ(WritableBytes(buffer, reserved), 65536u + 4096u);  // 64 KiB + 1 in whole pages
  memset(buffer.data(), 'a', initial);

  ASSERT_TRUE(buffer.Grow());
  EXPECT_EQ(WritableBytes(buffer, reserved), reserved);
  buffer.data()[reserved - 1] = 'z';

  buffer.Shrink();
  EXPECT_FALSE(buffer.grown());
  EXPECT_EQ(WritableBytes(buffer, reserved), 65536u + 4096u);
  EXPECT_EQ(buffer.data()[initial - 1], 'a');  // the small part keeps its bytes
  ASSERT_TRUE(buffer.Grow());
  EXPECT_EQ(buffer.data()[reserved - 1], '\0');  // the grown part was given back
}

}  // namespace
