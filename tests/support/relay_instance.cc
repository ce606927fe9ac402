#include "support/relay_instance.h"

#include <csignal>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <sys/wait.h>

#include "support/nntp_client.h"

namespace {

// True when a socket listens on `port` on any local address of either
// family, read from /proc/net/tcp and tcp6 so that no connection is made to
// find out.
bool PortListening(uint16_t port) {
  char wanted[8];
  snprintf(wanted, sizeof wanted, ":%04X", port);
  for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::ifstream in(table);
    std::string line;
    while (std::getline(in, line)) {
      // "sl local_address rem_address st ..." with st 0A = LISTEN.
      std::istringstream fields(line);
      std::string sl, local, remote, state;
      fields >> sl >> local >> remote >> state;
      if (local.size() > 5 && local.substr(local.size() - 5) == wanted && state == "0A") return true;
    }
  }
  return false;
}

}  // namespace

RelayInstance::RelayInstance(const std::string& config, const std::string& script) : port_(FreeLoopbackPort()) {
  for (const char* d : {"logs", "spool", "history"}) dir_.MakeDir(d);
  dir_.Write("init.tcl", script + "\nclose [open {" + dir_.File("script-done") + "} w]\n");
  std::string text = config + "\n";
  text += "LogDirectory = " + dir_.File("logs") + "\n";
  text += "ListenAddress = 127.0.0.1\n";
  text += "ListenPort = " + std::to_string(port_) + "\n";
  text += "StartupScript = " + dir_.File("init.tcl") + "\n";
  text += "HostPathIdentifier = test.relay\n";
  text += "ArticleBasePath = " + dir_.File("spool") + "\n";
  text += "HistoryTablePath = " + dir_.File("history") + "\n";
  text += "HistoryDataPath = " + dir_.File("history") + "\n";
  text += "SiteRecordPath = " + dir_.File("history") + "\n";
  configPath_ = dir_.Write("relay.conf", text);
  Start();
}

void RelayInstance::Start() {
  remove(dir_.File("script-done").c_str());
  process_ = std::make_unique<RelayProcess>(
      std::vector<std::string>{"-debug"}, std::vector<std::string>{"VELTRANE_CONFIG=" + configPath_, "NOTIFY_SOCKET="});
}

int RelayInstance::Stop() {
  process_->Signal(SIGINT);
  return process_->WaitExit();
}

int RelayInstance::Kill() {
  process_->Signal(SIGKILL);
  return process_->WaitExit();
}

RelayInstance::~RelayInstance() { process_.reset(); }

bool RelayInstance::WaitListening(std::chrono::milliseconds limit) {
  return WaitUntil([&] { return PortListening(port_); }, limit);
}

bool RelayInstance::WaitReady(std::chrono::milliseconds limit) {
  return WaitUntil([&] { return FileExists(dir_.File("script-done")); }, limit) && WaitListening(limit);
}

std::string RelayInstance::LogText() const { return ReadFile(dir_.File("logs/veltrane.log")); }

bool RelayInstance::WaitForLog(const std::string& text, std::chrono::milliseconds limit) const {
  return WaitUntil([&] { return LogText().find(text) != std::string::npos; }, limit);
}

CtlRun Ctl(const RelayInstance& relay, const std::string& args, const std::string& input, const std::string& prefix) {
  const TempDir& d = relay.dir();
  d.Write("ctl.in", input);
  int status = system(("VELTRANE_CONFIG=" + d.File("relay.conf") + " " + prefix + " " VELTRANE_CTL " " + args + " <" +
                       d.File("ctl.in") + " >" + d.File("ctl.out") + " 2>" + d.File("ctl.err")).c_str());
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadFile(d.File("ctl.out")), ReadFile(d.File("ctl.err"))};
}
