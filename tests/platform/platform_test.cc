// The platform layer on the real system: mapped files under the seen and
// history databases, buffers that grow in place, writing files and
// sockets, and the service manager.
#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>

#include "platform/files.h"
#include "platform/io.h"
#include "platform/mapped_file.h"
#include "platform/reserved_buffer.h"
#include "platform/service_manager.h"
#include "support/temp_dir.h"

namespace {

using Status = MappedFile::Status;

int OpenDescriptors() {
  auto fds = std::filesystem::directory_iterator("/proc/self/fd");
  return int(std::distance(begin(fds), end(fds)));
}

// Mappings of the file at `path` in this process.
int Mappings(const std::string& path) {
  std::string maps = ReadFile("/proc/self/maps");
  int count = 0;
  for (size_t at = maps.find(path + "\n"); at != std::string::npos; at = maps.find(path + "\n", at + 1)) count++;
  return count;
}

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

TEST(MappedFile, CreatesExtendsWritesBackAndCutsOnlyWhenExact) {
  TempDir dir;
  const std::string path = dir.File("data");
  const int descriptors = OpenDescriptors();
  MappedFile f;
  ASSERT_EQ(f.Open(path.c_str(), 10000), Status::kOk);
  EXPECT_EQ(OpenDescriptors(), descriptors);  // closed once mapped
  EXPECT_EQ(f.original_size(), 0u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(f.data()), f.size()), std::string(10000, '\0'));
  memcpy(f.data() + 9990, "tail", 4);
  EXPECT_TRUE(f.Flush());
  EXPECT_EQ(ReadFile(path), std::string(9990, '\0') + "tail" + std::string(6, '\0'));
  // Opening again unmaps the first; a shorter mapping leaves the rest alone.
  dir.Write("data", "0123456789");
  ASSERT_EQ(f.Open(path.c_str(), 4), Status::kOk);
  EXPECT_EQ(Mappings(path), 1);
  EXPECT_EQ(f.original_size(), 10u);
  f.data()[0] = 'X';
  f.Close();
  EXPECT_FALSE(f.is_open());
  EXPECT_EQ(Mappings(path), 0);
  EXPECT_FALSE(f.Flush());
  EXPECT_EQ(ReadFile(path), "X123456789");
  // A short file keeps its bytes and gains zeros; only `exact` cuts one.
  ASSERT_EQ(f.Open(path.c_str(), 16), Status::kOk);
  ASSERT_EQ(f.Open(path.c_str(), 3), Status::kOk);
  EXPECT_EQ(ReadFile(path), "X123456789" + std::string(6, '\0'));
  ASSERT_EQ(f.Open(path.c_str(), 3, true), Status::kOk);
  EXPECT_EQ(ReadFile(path), "X12");
  ASSERT_EQ(f.Open(path.c_str(), 5, true), Status::kOk);
  EXPECT_EQ(FileLength(path), 5);
  // Failures map nothing and keep no descriptor.
  EXPECT_EQ(f.Open(dir.File("no/such").c_str(), 16), Status::kOpenFailed);
  EXPECT_EQ(f.Open("/dev/null", 16), Status::kMapFailed);
  EXPECT_EQ(f.Open(path.c_str(), 0), Status::kMapFailed);
  EXPECT_FALSE(f.is_open());
  EXPECT_EQ(OpenDescriptors(), descriptors);
  EXPECT_EQ(FileLength(dir.File("none")), -1);
  // Where a new file may be created whole: nothing there, or an empty file.
  dir.Write("empty", "");
  for (const auto& [where, free] : {std::pair{dir.File("none"), true}, {dir.File("empty"), true}, {path, false},
                                    {dir.path(), false}, {std::string("/dev/null"), false}, {path + "/x", false}}) {
    EXPECT_EQ(MissingOrEmptyFile(where), free) << where;
  }
}

// Every block is allocated at the open: on a disk without room the open
// fails, where a sparse file would let a later store kill the process.
TEST(MappedFile, ADiskWithoutRoomFailsTheOpenNotALaterStore) {
  TempDir dir;
  SmallFilesystem disk(dir, "disk", 1 << 20);
  if (!disk.ok()) GTEST_SKIP() << "cannot mount a tmpfs here";
  const int descriptors = OpenDescriptors();
  const std::string whole = disk.path() + "/whole";
  MappedFile f;
  EXPECT_EQ(f.Open((disk.path() + "/big").c_str(), 2 << 20), Status::kNoSpace);
  EXPECT_EQ(MappedFile::CreateWhole(whole, 2 << 20), Status::kNoSpace);
  EXPECT_FALSE(FileExists(whole));
  EXPECT_FALSE(FileExists(whole + ".new"));
  ASSERT_EQ(f.Open((disk.path() + "/fits").c_str(), 512 << 10), Status::kOk);
  memset(f.data(), 'x', f.size());
  f.Close();
  // Created whole over what stood there: all its bytes, `fill` then `head`.
  std::filesystem::remove(disk.path() + "/fits");
  ASSERT_EQ(MappedFile::CreateWhole(whole, 6, 0xFF, "ab"), Status::kOk);
  ASSERT_EQ(MappedFile::CreateWhole(whole, 4, 0xEE, "cd"), Status::kOk);
  EXPECT_EQ(ReadFile(whole), "cd\xEE\xEE");
  EXPECT_FALSE(FileExists(whole + ".new"));
  EXPECT_EQ(OpenDescriptors(), descriptors);
}

// Reserved whole, backed in whole pages, grown in place and given back.
TEST(ReservedBuffer, BacksOnlyTheSmallPartUntilItGrowsAndAfterItShrinks) {
  const size_t reserved = 1048577, pages[][2] = {{65536, 65536}, {65537, 69632}};
  for (auto [initial, backed] : pages) {
    ReservedBuffer buffer;
    ASSERT_TRUE(buffer.Reserve(reserved, initial));
    EXPECT_EQ(MappedBytes(buffer.data(), reserved), std::pair(reserved, backed));
    memset(buffer.data(), 'a', initial);
    ASSERT_TRUE(buffer.Grow());
    ASSERT_TRUE(buffer.Grow());
    EXPECT_EQ(MappedBytes(buffer.data(), reserved).second, reserved);
    buffer.data()[reserved - 1] = 'z';
    buffer.Shrink();
    EXPECT_FALSE(buffer.grown());
    EXPECT_EQ(MappedBytes(buffer.data(), reserved).second, backed);
    EXPECT_EQ(buffer.data()[initial - 1], 'a');  // the small part keeps its bytes
    ASSERT_TRUE(buffer.Grow());
    EXPECT_EQ(buffer.data()[reserved - 1], '\0');  // the grown part was given back
    char* data = buffer.data();
    ASSERT_TRUE(buffer.Reserve(reserved, initial));
    EXPECT_EQ(MappedBytes(data, reserved).first, data == buffer.data() ? reserved : 0u);
    data = buffer.data();
    buffer.Release();
    EXPECT_EQ(MappedBytes(data, reserved).first, 0u);
  }
  ReservedBuffer tooLarge;
  EXPECT_FALSE(tooLarge.Reserve(size_t(1) << 62, 4096));
  EXPECT_EQ(tooLarge.data(), nullptr);
}

// Every byte written, to a file at an offset or at its position, or to a
// socket before a deadline, else false with the reason in errno; a file
// moved only where nothing stands; socket options set.
TEST(Io, FilesAndSockets) {
  TempDir dir;
  int fd = open(dir.File("f").c_str(), O_RDWR | O_CREAT, 0644), s[2];
  ASSERT_TRUE(WriteFully(fd, "hello", 5));
  ASSERT_TRUE(WriteFully(fd, "J", 1, 0));  // at offset 0: the position stays
  ASSERT_TRUE(WriteFully(fd, "!", 1));
  EXPECT_EQ(ReadFile(dir.File("f")), "Jello!");
  close(fd);
  EXPECT_FALSE(WriteFully(fd, "x", 1));
  EXPECT_EQ(errno, EBADF);
  // A move never replaces its target.
  const std::string a = dir.Write("a", "A"), b = dir.Write("b", "B");
  EXPECT_FALSE(MoveFileNoReplace(a.c_str(), b.c_str()));
  EXPECT_TRUE(MoveFileNoReplace(a.c_str(), dir.File("c").c_str()));
  EXPECT_FALSE(MoveFileNoReplace(a.c_str(), dir.File("d").c_str()));
  EXPECT_EQ(ReadFile(b) + ReadFile(dir.File("c")), "BA");
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, s), 0);
  const std::string big(1 << 20, 'x');
  EXPECT_FALSE(SendWithin(s[0], big.data(), big.size(), DeadlineAfter(10)));  // nobody reads
  EXPECT_EQ(errno, ETIMEDOUT);
  SetSocketTimeouts(s[0], 1500);
  SetSocketFlag(s[0], SOL_SOCKET, SO_KEEPALIVE);
  timeval send{}, receive{};
  int keepalive = 0;
  socklen_t length = sizeof send;
  getsockopt(s[0], SOL_SOCKET, SO_SNDTIMEO, &send, &length);
  getsockopt(s[0], SOL_SOCKET, SO_RCVTIMEO, &receive, &length);
  length = sizeof keepalive;
  getsockopt(s[0], SOL_SOCKET, SO_KEEPALIVE, &keepalive, &length);
  EXPECT_EQ(std::tuple(send.tv_sec, send.tv_usec, receive.tv_sec, receive.tv_usec, keepalive),
            std::tuple(1, 500000, 1, 500000, 1));
  close(s[1]);
  EXPECT_FALSE(SendWithin(s[0], "x", 1, kNoDeadline));  // the peer is gone, and no SIGPIPE
  EXPECT_EQ(errno, EPIPE);
  close(s[0]);
}

TEST(ServiceManager, NotificationsGoToTheNotifySocket) {
  TempDir dir;
  unsetenv("NOTIFY_SOCKET");
  EXPECT_FALSE(StartedByServiceManager());
  EXPECT_FALSE(NotifyServiceManager("READY=1"));  // nobody to tell
  setenv("NOTIFY_SOCKET", "", 1);
  EXPECT_FALSE(StartedByServiceManager());
  sockaddr_un addr{AF_UNIX, {}};
  const std::string path = dir.File("notify");
  strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  int s = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  setenv("NOTIFY_SOCKET", path.c_str(), 1);
  EXPECT_TRUE(StartedByServiceManager());
  EXPECT_TRUE(NotifyServiceManager("READY=1\nSTATUS=up"));
  char text[64];
  ssize_t n = recv(s, text, sizeof text, MSG_DONTWAIT);
  EXPECT_EQ(std::string(text, size_t(std::max<ssize_t>(n, 0))), "READY=1\nSTATUS=up");
  close(s);
  unsetenv("NOTIFY_SOCKET");
}

// systemctl is whatever the PATH finds first: here a stand-in that notes
// its arguments, prints a state with trailing blanks and exits as told.
TEST(ServiceManager, SystemctlIsAskedAndItsAnswerTrimmed) {
  TempDir dir;
  const std::string path = getenv("PATH");
  dir.Write("systemctl", "#!/bin/sh\necho \"$@\" >>" + dir.File("args") + "\nprintf 'deactivating \\n'\nexit $EXIT\n");
  chmod(dir.File("systemctl").c_str(), 0755);
  setenv("PATH", (dir.path() + ":" + path).c_str(), 1);
  setenv("EXIT", "3", 1);
  EXPECT_EQ(UnitActiveState("veltrane.service"), "deactivating");
  EXPECT_NE(RunSystemctl("stop veltrane.service"), 0);
  setenv("EXIT", "0", 1);
  EXPECT_EQ(RunSystemctl("daemon-reload"), 0);
  setenv("PATH", path.c_str(), 1);
  EXPECT_EQ(ReadFile(dir.File("args")), "is-active veltrane.service\nstop veltrane.service\ndaemon-reload\n");
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
