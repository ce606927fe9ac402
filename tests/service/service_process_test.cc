// The relay binary as a process: verbs, console mode, service mode under a
// (fake) service manager, and start-up failures.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <spawn.h>
#include <sys/wait.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "service/service.h"
#include "support/nntp_client.h"
#include "support/relay_instance.h"
#include "support/relay_process.h"
#include "support/temp_dir.h"

namespace {

const std::string kUsage =
    "Veltrane -install          to install the service\n"
    "Veltrane -remove           to remove the service\n"
    "Veltrane -debug            to run as a console app for debugging\n"
    "\nStartServiceCtrlDispatcher being called.\n"
    "This may take several seconds.  Please wait.\n";

// A configuration with its log and databases in the temporary folder.
const std::string kStopLines =
    "shutting down...\n"
    "locking out article insertions...\n"
    "article insertions locked out\n"
    "shutting down history...\n"
    "...history shut down\n";

// A configuration with everything in the temporary folder, listening on
// `port` of loopback.
std::string WriteConfig(const TempDir& dir, uint16_t port, const std::string& first = "") {
  for (const char* d : {"logs", "spool", "history"}) std::filesystem::create_directories(dir.File(d));
  dir.Write("init.tcl", "");
  return dir.Write("relay.conf", first + "LogDirectory = " + dir.File("logs") + "\nHostPathIdentifier = test\n" +
                                     "ArticleBasePath = " + dir.File("spool") + "\n" +
                                     "HistoryTablePath = " + dir.File("history") + "\n" +
                                     "HistoryDataPath = " + dir.File("history") + "\n" +
                                     "HistoryDataSize = 1000000\nHistoryTableSize = 10007\n" +
                                     "StartupScript = " + dir.File("init.tcl") + "\n" +
                                     "ListenAddress = 127.0.0.1\nListenPort = " + std::to_string(port) + "\n");
}

TEST(Verbs, OnlyWholeVerbsWithOnePrefixCount) {
  EXPECT_EQ(ParseVerb("-install"), Verb::kInstall);
  EXPECT_EQ(ParseVerb("/INSTALL"), Verb::kInstall);
  EXPECT_EQ(ParseVerb("-Install"), Verb::kInstall);
  EXPECT_EQ(ParseVerb("/remove"), Verb::kRemove);
  EXPECT_EQ(ParseVerb("-DeBuG"), Verb::kDebug);
  EXPECT_EQ(ParseVerb("--install"), Verb::kNone);
  EXPECT_EQ(ParseVerb("-installx"), Verb::kNone);
  EXPECT_EQ(ParseVerb("install"), Verb::kNone);
  EXPECT_EQ(ParseVerb("-"), Verb::kNone);
  EXPECT_EQ(ParseVerb(nullptr), Verb::kNone);
}

TEST(ServiceProcess, WithoutVerbOutsideTheServiceManagerTheDispatcherFails) {
  for (std::vector<std::string> args : {std::vector<std::string>{}, {"--install"}, {"install"}, {"-installx"}}) {
    RelayProcess relay(args, {"NOTIFY_SOCKET="});
    EXPECT_EQ(relay.WaitExit(), 1);
    EXPECT_EQ(relay.Output(), kUsage + "StartServiceCtrlDispatcher failed.\n");
  }
}

TEST(ServiceProcess, ConsoleModeStopsOnInterruptWithExitCodeOne) {
  TempDir dir;
  uint16_t port = FreeLoopbackPort();
  std::string config = WriteConfig(dir, port);
  for (int signo : {SIGINT, SIGQUIT, SIGTERM}) {
    RelayProcess relay({"-debug"}, {"VELTRANE_CONFIG=" + config, "NOTIFY_SOCKET="});
    // Started up completely once it listens.
    ASSERT_TRUE(WaitUntil([&] { return LoopbackPortListening(port); }));
    relay.Signal(signo);
    EXPECT_EQ(relay.WaitExit(), 1) << "signal " << signo;
    EXPECT_EQ(relay.Output(), "Debugging Veltrane News Router.\nStopping Veltrane News Router.\n" + kStopLines);
    EXPECT_TRUE(ReadFile(dir.File("logs/veltrane.log")).ends_with("base: shutting down\n"));
  }
}

TEST(ServiceProcess, StartupFailuresReportAndExitOne) {
  TempDir dir;
  RelayProcess noConfig({"-debug"}, {"VELTRANE_CONFIG="});
  EXPECT_EQ(noConfig.WaitExit(), 1);
  EXPECT_EQ(noConfig.Output(),
            "Debugging Veltrane News Router.\n"
            "ConfigFile not specified in veltrane\\parameters in the registry\n");

  RelayProcess tooLong({"-debug"}, {"VELTRANE_CONFIG=/" + std::string(259, 'x')});
  EXPECT_EQ(tooLong.WaitExit(), 1);
  EXPECT_NE(tooLong.Output().find("ConfigFile not specified"), std::string::npos);

  std::string missing = dir.File("missing.conf");
  RelayProcess unreadable({"-debug"}, {"VELTRANE_CONFIG=" + missing});
  EXPECT_EQ(unreadable.WaitExit(), 1);
  EXPECT_EQ(unreadable.Output(),
            "Debugging Veltrane News Router.\ncould not open config file, exiting...\n" + missing + "\n");

  // Values the relay could not work with stop it before anything starts.
  dir.Write("file", "");
  const std::pair<std::string, std::string> bad[] = {
      {"ListenPort = 70000\n", "ListenPort = 70000 is not a whole number from 1 to 65535, exiting...\n"},
      {"MetricsListen = 127.0.0.1\n", "MetricsListen = 127.0.0.1 is not address:port, exiting...\n"},
      {"ArticleBasePath = " + dir.File("nowhere") + "\n",
       "article base " + dir.File("nowhere") + " is not a writable folder (No such file or directory), exiting\n"},
      {"ArticleBasePath = " + dir.File("file") + "\n",
       "article base " + dir.File("file") + " is not a writable folder (Not a directory), exiting\n"},
  };
  for (const auto& [first, message] : bad) {
    RelayProcess relay({"-debug"}, {"VELTRANE_CONFIG=" + WriteConfig(dir, FreeLoopbackPort(), first)});
    EXPECT_EQ(relay.WaitExit(), 1) << first;
    EXPECT_EQ(relay.Output(), "Debugging Veltrane News Router.\n" + message);
  }
}

TEST(ServiceProcess, InstallAndRemoveWriteAndDeleteTheUnitFile) {
  TempDir dir;
  std::string units = dir.MakeDir("units");
  std::vector<std::string> env{"VELTRANE_UNIT_DIR=" + units, "VELTRANE_CONFIG=/etc/veltrane.conf"};
  {
    RelayProcess install({"/INSTALL"}, env);
    EXPECT_EQ(install.WaitExit(), 0);
    EXPECT_EQ(install.Output(), "Veltrane News Router installed.\n");
  }
  std::string unit = ReadFile(units + "/veltrane.service");
  EXPECT_EQ(unit, std::string("[Unit]\nDescription=Veltrane News Router\n\n[Service]\nType=notify\nExecStart=\"") +
                      RelayBinary() + "\"\nEnvironment=\"VELTRANE_CONFIG=/etc/veltrane.conf\"\n");
  {
    RelayProcess again({"-install"}, env);
    EXPECT_EQ(again.WaitExit(), 0);
    EXPECT_EQ(again.Output(), "CreateService failed - File exists (0x11)\n");
  }
  {
    RelayProcess remove({"-Remove"}, env);
    EXPECT_EQ(remove.WaitExit(), 0);
    EXPECT_EQ(remove.Output(), "Veltrane News Router removed.\n");
  }
  EXPECT_FALSE(FileExists(units + "/veltrane.service"));
  {
    RelayProcess gone({"-remove"}, env);
    EXPECT_EQ(gone.WaitExit(), 0);
    EXPECT_EQ(gone.Output(), "OpenService failed - No such file or directory (0x2)\n");
  }
  {
    RelayProcess noDir({"-install"}, {"VELTRANE_UNIT_DIR=" + dir.File("nowhere")});
    EXPECT_EQ(noDir.WaitExit(), 0);
    EXPECT_EQ(noDir.Output(), "OpenSCManager failed - No such file or directory (0x2)\n");
  }
}

// Paths with blanks, quotes, backslashes, '%' and '$' are written so that
// systemd reads them back unchanged.
TEST(ServiceProcess, InstalledUnitQuotesPathsAsSystemdReadsThem) {
  TempDir dir;
  std::string units = dir.MakeDir("units");
  std::string program = dir.MakeDir("bin 100%$HOME") + "/veltrane";
  std::filesystem::copy_file(RelayBinary(), program);
  std::filesystem::permissions(program, std::filesystem::perms::owner_all);
  std::string config = "/etc/news cfg/50%\"q\\.conf";
  std::string unitDir = "VELTRANE_UNIT_DIR=" + units, configVar = "VELTRANE_CONFIG=" + config;
  const char* argv[] = {program.c_str(), "-install", nullptr};
  const char* envp[] = {unitDir.c_str(), configVar.c_str(), nullptr};
  pid_t pid;
  ASSERT_EQ(posix_spawn(&pid, program.c_str(), nullptr, nullptr, const_cast<char**>(argv),
                        const_cast<char**>(envp)), 0);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  std::string quotedDir = dir.path() + "/bin 100%%$$HOME/veltrane";
  EXPECT_EQ(ReadFile(units + "/veltrane.service"),
            "[Unit]\nDescription=Veltrane News Router\n\n[Service]\nType=notify\nExecStart=\"" + quotedDir +
                "\"\nEnvironment=\"VELTRANE_CONFIG=/etc/news cfg/50%%\\\"q\\\\.conf\"\n");
}

// A datagram socket standing in for systemd's notification socket.
class FakeServiceManager {
 public:
  explicit FakeServiceManager(const std::string& path) : path_(path) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    snprintf(sa.sun_path, sizeof sa.sun_path, "%s", path.c_str());
    bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  }
  ~FakeServiceManager() { close(fd_); }
  // The next notification, or "" when none comes within `limit`.
  std::string Next(std::chrono::milliseconds limit) {
    timeval tv{long(limit.count() / 1000), long(limit.count() % 1000) * 1000};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    char buf[4096];
    ssize_t n = recv(fd_, buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, size_t(n)) : std::string();
  }

 private:
  std::string path_;
  int fd_;
};

TEST(ServiceProcess, UnderTheServiceManagerReportsReadyAndStopsOnTerminate) {
  TempDir dir;
  uint16_t port = FreeLoopbackPort();
  std::string config = WriteConfig(dir, port);
  FakeServiceManager manager(dir.File("notify"));
  RelayProcess relay({}, {"VELTRANE_CONFIG=" + config, "NOTIFY_SOCKET=" + dir.File("notify")});

  EXPECT_EQ(manager.Next(10s), "EXTEND_TIMEOUT_USEC=3000000\nSTATUS=start pending, checkpoint 1");
  EXPECT_EQ(manager.Next(10s), "READY=1\nSTATUS=running, checkpoint 0");
  ASSERT_TRUE(WaitUntil([&] { return LoopbackPortListening(port); }));
  EXPECT_EQ(relay.Output(), kUsage);

  auto stopAt = std::chrono::steady_clock::now();
  relay.Signal(SIGTERM);
  EXPECT_EQ(manager.Next(10s), "STOPPING=1\nSTATUS=stopped, checkpoint 0");
  EXPECT_EQ(relay.WaitExit(), 0);
  EXPECT_GE(std::chrono::steady_clock::now() - stopAt, 3s);
  EXPECT_EQ(relay.Output(), kUsage + kStopLines);
  EXPECT_TRUE(ReadFile(dir.File("logs/veltrane.log")).ends_with("base: shutting down\n"));
}

}  // namespace
