// The platform layer on the real system: buffers that grow in place,
// sending on sockets, asking systemd. Mapped files are seen through the
// seen and history databases and the relay's start-up on a full disk.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include "platform/io.h"
#include "platform/net_address.h"
#include "platform/reserved_buffer.h"
#include "platform/service_manager.h"
#include "support/temp_dir.h"

namespace {

// Bytes of [start, start + length) mapped in this process, and of those
// the ones that are readable and writable.
std::pair<size_t, size_t> MappedBytes(const void* start, size_t length) {
  uintptr_t from = reinterpret_cast<uintptr_t>(start), to = from + length, lo, hi;
  std::ifstream maps("/proc/self/maps");
  std::pair<size_t, size_t> bytes{0, 0};
  for (std::string line, perms; std::getline(maps, line);) {
    char dash;
    std::istringstream(line) >> std::hex >> lo >> dash >> hi >> perms;
    size_t overlap = hi <= from || lo >= to ? 0 : std::min(hi, to) - std::max(lo, from);
    bytes.first += overlap;
    bytes.second += perms.compare(0, 2, "rw") == 0 ? overlap : 0;
  }
  return bytes;
}

// Reserved whole, backed in whole pages (a connection's small buffer is
// not a whole number of them), grown in place and given back.
// Addresses as written by people and by resolvers, and the one text each is
// shown as: dotted IPv4 (mapped ones too), RFC 5952 IPv6.
TEST(NetAddress, ParsesEitherFamilyAndPrintsTheCanonicalText) {
  const std::pair<const char*, const char*> cases[] = {
      {"192.0.2.1", "192.0.2.1"},
      {"10.1", "10.0.0.1"},  // the short forms inet_aton takes
      {"255.255.255.255", "255.255.255.255"},
      {"::ffff:192.0.2.1", "192.0.2.1"},
      {"[2001:DB8:0:0:0:0:0:1]", "2001:db8::1"},
      {"2001:0db8:0000:0000:0001:0000:0000:0001", "2001:db8::1:0:0:1"},  // the first of equal runs
      {"2001:db8:0:0:1:0:0:0", "2001:db8:0:0:1::"},                     // the longest run
      {"2001:db8:0:1:1:1:1:1", "2001:db8:0:1:1:1:1:1"},                 // one zero group stays
      {"::", "::"},
      {"::1", "::1"},
      {"1::", "1::"},
      {"::102:304", "::102:304"},  // not written as IPv4
      {"fe80::abcd:ef01:2345:6789", "fe80::abcd:ef01:2345:6789"},
  };
  for (auto [text, shown] : cases) {
    NetAddress a;
    char out[kNetAddressTextSize];
    ASSERT_TRUE(ParseNetAddress(text, &a)) << text;
    EXPECT_STREQ(FormatNetAddress(a, out), shown) << text;
  }
  NetAddress a;
  for (const char* text : {"", "news.example", "2001:db8::zz", "[192.0.2.1]", "1.2.3.4.5", "[::1", "fe80::1%lo"}) {
    EXPECT_FALSE(ParseNetAddress(text, &a)) << text;
  }
  std::vector<SocketAddress> found;
  ASSERT_TRUE(ResolveHost("[::1]", 119, &found));
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].family(), AF_INET6);
  EXPECT_EQ(found[0].port(), 119);
}

TEST(ReservedBuffer, BacksOnlyTheSmallPartUntilItGrowsAndAfterItShrinks) {
  const size_t reserved = 1048577, initial = 65537, backed = 69632;
  ReservedBuffer buffer;
  ASSERT_TRUE(buffer.Reserve(reserved, initial));
  EXPECT_EQ(MappedBytes(buffer.data(), reserved), std::pair(reserved, backed));
  memset(buffer.data(), 'a', initial);
  ASSERT_TRUE(buffer.Grow());
  EXPECT_EQ(MappedBytes(buffer.data(), reserved).second, reserved);
  buffer.data()[reserved - 1] = 'z';
  buffer.Shrink();
  EXPECT_EQ(MappedBytes(buffer.data(), reserved).second, backed);
  EXPECT_EQ(buffer.data()[initial - 1], 'a');  // the small part keeps its bytes
  ASSERT_TRUE(buffer.Grow());
  EXPECT_EQ(buffer.data()[reserved - 1], '\0');  // the grown part was given back
  char* data = buffer.data();
  buffer.Release();
  EXPECT_EQ(MappedBytes(data, reserved).first, 0u);
  EXPECT_FALSE(buffer.Reserve(size_t(1) << 62, 4096));
}

// A send says it is done only when it is, and gives up at its deadline and
// on a peer that is gone (without SIGPIPE), with the reason in errno.
TEST(Io, SendsGiveUpAtTheDeadlineAndOnAPeerThatIsGone) {
  int s[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, s), 0);
  const std::string big(1 << 20, 'x');
  EXPECT_TRUE(SendWithin(s[0], "x", 1, kNoDeadline));
  EXPECT_FALSE(SendWithin(s[0], big.data(), big.size(), DeadlineAfter(10)));  // nobody reads
  EXPECT_EQ(errno, ETIMEDOUT);
  errno = 0;
  EXPECT_FALSE(WaitWritable(s[0], DeadlineAfter(-1)));  // a deadline already past: no wait at all
  EXPECT_EQ(errno, ETIMEDOUT);
  close(s[1]);
  EXPECT_FALSE(SendWithin(s[0], "x", 1, kNoDeadline));
  EXPECT_EQ(errno, EPIPE);
  close(s[0]);
}

// systemctl is whatever the PATH finds first: here a stand-in that notes
// its arguments, prints a state with trailing blanks and fails.
TEST(ServiceManager, SystemctlIsAskedAndItsAnswerTrimmed) {
  TempDir dir;
  const std::string path = getenv("PATH");
  dir.Write("systemctl", "#!/bin/sh\necho \"$@\" >>" + dir.File("args") + "\nprintf 'deactivating \\n'\nexit 3\n");
  chmod(dir.File("systemctl").c_str(), 0755);
  setenv("PATH", (dir.path() + ":" + path).c_str(), 1);
  EXPECT_EQ(UnitActiveState("veltrane.service"), "deactivating");
  EXPECT_NE(RunSystemctl("stop veltrane.service"), 0);
  setenv("PATH", path.c_str(), 1);
  EXPECT_EQ(ReadFile(dir.File("args")), "is-active veltrane.service\nstop veltrane.service\n");
}

// A unit folder named by VELTRANE_UNIT_DIR is the relay's own, never one
// systemd manages, even where systemd runs: a child shows that under a
// /run of its own that says so.
TEST(ServiceManager, AUnitFolderOfOurOwnIsNeverManagedBySystemd) {
  pid_t child = fork();
  if (child == 0) {
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", "/run", "tmpfs", 0, nullptr) != 0 || mkdir("/run/systemd", 0755) != 0 ||
        mkdir("/run/systemd/system", 0755) != 0) {
      _exit(2);
    }
    unsetenv("VELTRANE_UNIT_DIR");
    bool ok = SystemdManagesUnitDirectory() && UnitDirectory() == "/etc/systemd/system";
    setenv("VELTRANE_UNIT_DIR", "", 1);
    ok = ok && SystemdManagesUnitDirectory() && UnitDirectory() == "/etc/systemd/system";
    setenv("VELTRANE_UNIT_DIR", "/srv/units", 1);
    _exit(ok && !SystemdManagesUnitDirectory() && UnitDirectory() == "/srv/units" ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 2) GTEST_SKIP() << "no mount namespace here";
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
