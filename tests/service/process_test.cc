// The relay binary as a process: start-up failures, the verbs that write
// and delete the unit file (only "-" or "/" and the whole word, in any case),
// stopping in console mode and under a (fake) service manager.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>

#include "support/relay_instance.h"

namespace {

const std::string kUsage =
    "Veltrane -install          to install the service\nVeltrane -remove           to remove the service\n"
    "Veltrane -debug            to run as a console app for debugging\n"
    "\nStartServiceCtrlDispatcher being called.\nThis may take several seconds.  Please wait.\n";
const std::string kDebugging = "Debugging Veltrane News Router.\n", kStopping = "Stopping Veltrane News Router.\n";
const std::string kStopLines = "shutting down...\nlocking out article insertions...\narticle insertions locked out\n"
                               "shutting down history...\n...history shut down\n";

TEST(ServiceProcess, StartupFailuresReportAndExitOne) {
  for (std::vector<std::string> args : {std::vector<std::string>{}, {"-installx"}}) {  // no verb
    RelayProcess noVerb(args, {"NOTIFY_SOCKET="});  // outside the service manager
    EXPECT_EQ(noVerb.WaitExit(), 1);
    EXPECT_EQ(noVerb.Output(), kUsage + "StartServiceCtrlDispatcher failed.\n");
  }
  const std::string unset = "ConfigFile not specified in veltrane\\parameters in the registry\n";
  const std::string at259 = "/tmp/" + std::string(254, 'x');  // the longest path it takes
  for (const auto& [path, message] : {std::pair{std::string(), unset}, {at259 + "x", unset},
                                      {at259, "could not open config file, exiting...\n" + at259 + "\n"}}) {
    RelayProcess relay({"-debug"}, {"VELTRANE_CONFIG=" + path});
    EXPECT_EQ(relay.WaitExit(), 1) << path;
    EXPECT_EQ(relay.Output(), kDebugging + message);
  }
  // Values it cannot work with, and databases without room (the seen files
  // on a 512 KiB disk, the history data on a 2 MiB one), stop the start.
  TempDir dir;
  SmallFilesystem small(dir, "small", 512 << 10), medium(dir, "medium", 2 << 20);
  const std::string s = small.path(), m = medium.path(), base = "ArticleBasePath = " + dir.File("file");
  const std::string databases = "HistoryDataSize = 4000000\nHistoryTableSize = 100003\nHistoryTablePath = ";
  std::vector<std::pair<std::string, std::string>> cases = {
      {"ListenPort = 0", "ListenPort = 0 is not a whole number from 1 to 65535, exiting..."},
      {"ListenAddress = 2001:db8::zz", "ListenAddress = 2001:db8::zz is not an IPv4 or IPv6 address, exiting..."},
      {"HistoryDataPath = /dev/null/x", "could not open seen file"},
      {"MetricsListen = 127.0.0.1:0", "MetricsListen = 127.0.0.1:0 is not address:port, exiting..."},
      {"MetricsListen = [2001:db8::1]:1", "MetricsListen = [2001:db8::1]:1: cannot listen there, exiting..."},
      {base, "article base " + dir.File("file") + " is not a writable folder (Not a directory), exiting"}};
  if (small.ok() && medium.ok()) {
    cases.push_back({databases + s + "\nHistoryDataPath = " + s,
                     "no disk space for " + s + "/seen.idx and " + s + "/seen.dat (824124 bytes)"});
    cases.push_back({databases + m + "\nHistoryDataPath = " + m,
                     "no disk space for " + m + "/hist.dat (4000000 bytes)"});
  }
  dir.Write("file", "");
  for (const auto& [first, message] : cases) {
    RelayInstance relay(first + "\n", "");
    EXPECT_EQ(relay.process().WaitExit(), 1) << first;
    EXPECT_EQ(relay.process().Output(), kDebugging + message + "\n");
  }
}

// The unit file names the program and the configuration so that systemd
// reads them back unchanged: blanks, quotes, backslashes, '%', '$' and
// control bytes.
TEST(ServiceProcess, InstallAndRemoveWriteAndDeleteTheUnitFile) {
  TempDir dir;
  std::string program = dir.MakeDir("bin 100%$HOME") + "/veltrane", unit = dir.MakeDir("units") + "/veltrane.service";
  std::filesystem::copy_file(RelayBinary(), program);
  const std::string units = "'VELTRANE_UNIT_DIR=" + dir.File("units");
  const std::string config = "' 'VELTRANE_CONFIG=/n c/5%\"q\\$\t\x7f.c";
  const std::string head = "[Unit]\nDescription=Veltrane News Router\n\n[Service]\nType=notify\nExecStart=\"" +
                           dir.path() + "/bin 100%%$$HOME/veltrane\"\n";
  const std::string withConfig = head + "Environment=\"VELTRANE_CONFIG=/n c/5%%\\\"q\\\\$\\x09\\x7f.c\"\n";
  const std::tuple<const char*, std::string, std::string, std::string> steps[] = {
      {"-install", units, "Veltrane News Router installed.\n", head},
      {"/REMOVE", units, "Veltrane News Router removed.\n", ""},
      {"-remove", units, "OpenService failed - No such file or directory (0x2)\n", ""},
      {"-Install", units + config, "Veltrane News Router installed.\n", withConfig},
      {"-install", units + config, "CreateService failed - File exists (0x11)\n", withConfig}};
  for (const auto& [verb, env, output, text] : steps) {
    int status = system(("env -i " + env + "' '" + program + "' " + verb + " >" + dir.File("out")).c_str());
    EXPECT_EQ(std::pair(WEXITSTATUS(status), ReadFile(dir.File("out"))), std::pair(0, output)) << verb;
    EXPECT_EQ(ReadFile(unit), text) << verb;
  }
}

// Console mode: interrupt, quit and terminate stop the relay with exit code
// 1. Under the service manager terminate is the stop control (exit 0, three
// seconds after the stop sequence), while interrupt still stops at once.
TEST(ServiceProcess, StopsInConsoleModeAndUnderTheServiceManager) {
  RelayInstance relay("", "");
  for (int signo : {SIGINT, SIGQUIT, SIGTERM}) {
    ASSERT_TRUE(relay.WaitReady()) << signo;
    relay.process().Signal(signo);
    EXPECT_EQ(relay.process().WaitExit(), 1) << signo;
    EXPECT_EQ(relay.process().Output(), kDebugging + kStopping + kStopLines);
    EXPECT_TRUE(relay.LogText().ends_with("base: shutting down\n"));
    if (signo != SIGTERM) relay.Start();
  }
  // A datagram socket stands in for systemd's notification socket.
  int manager = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{AF_UNIX, {}};
  snprintf(address.sun_path, sizeof address.sun_path, "%s", relay.dir().File("notify").c_str());
  ASSERT_EQ(bind(manager, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  timeval limit{10, 0};
  setsockopt(manager, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  auto next = [&] {
    char buf[4096];
    ssize_t n = recv(manager, buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, size_t(n)) : std::string();
  };
  for (int signo : {SIGINT, SIGTERM}) {
    RelayProcess service({}, {"VELTRANE_CONFIG=" + relay.dir().File("relay.conf"),
                              "NOTIFY_SOCKET=" + relay.dir().File("notify")});
    EXPECT_EQ(next(), "EXTEND_TIMEOUT_USEC=3000000\nSTATUS=start pending, checkpoint 1");
    EXPECT_EQ(next(), "READY=1\nSTATUS=running, checkpoint 0");
    ASSERT_TRUE(relay.WaitListening());
    auto stopAt = std::chrono::steady_clock::now();
    service.Signal(signo);
    EXPECT_EQ(signo == SIGTERM ? next() : "", signo == SIGTERM ? "STOPPING=1\nSTATUS=stopped, checkpoint 0" : "");
    EXPECT_EQ(service.WaitExit(), signo == SIGTERM ? 0 : 1);
    EXPECT_GE(std::chrono::steady_clock::now() - stopAt, signo == SIGTERM ? 3s : 0s);
    EXPECT_EQ(service.Output(), kUsage + (signo == SIGTERM ? "" : kStopping) + kStopLines);
    EXPECT_TRUE(relay.LogText().ends_with("base: shutting down\n"));
  }
  close(manager);
}

}  // namespace
