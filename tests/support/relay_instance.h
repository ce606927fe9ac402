// A relay started in console mode on loopback with a configuration and a
// start-up script of the test's own, in a temporary folder.
#pragma once
#include <memory>
#include <string>
#include <tuple>

#include "support/relay_process.h"
#include "support/temp_dir.h"

class RelayInstance {
 public:
  // `config` lines come first, so they win over the defaults written after
  // them (the first line for a key wins). `script` is the start-up script;
  // a last line is added that marks the script as finished. It listens on
  // a free port of 127.0.0.1 (config "ListenAddress =" makes that every
  // address of both families).
  RelayInstance(const std::string& config, const std::string& script);
  ~RelayInstance();

  // Waits until the script has finished and the relay listens.
  bool WaitReady(std::chrono::milliseconds limit = std::chrono::milliseconds(10000));
  // Waits until the relay listens (the script may still run or have failed).
  bool WaitListening(std::chrono::milliseconds limit = std::chrono::milliseconds(10000));

  // Stops the relay as Ctrl+C would; its exit code.
  int Stop();
  // Ends the relay with SIGKILL, as a crash would; its exit status.
  int Kill();
  // Starts the relay again after Stop or Kill, on the same configuration,
  // folders and port (WaitReady tells when it is up).
  void Start();

  std::string LogText() const;
  bool WaitForLog(const std::string& text, std::chrono::milliseconds limit = std::chrono::milliseconds(10000)) const;

  uint16_t port() const { return port_; }
  const TempDir& dir() const { return dir_; }
  RelayProcess& process() { return *process_; }

 private:
  TempDir dir_;

  uint16_t port_;
  std::string configPath_;
  std::unique_ptr<RelayProcess> process_;
};

using CtlRun = std::tuple<int, std::string, std::string>;  // exit code, output, errors

// veltrane-ctl with `args` (shell words) on `relay`'s configuration, `input`
// on its standard input, run under `prefix` (e.g. as another user).
CtlRun Ctl(const RelayInstance& relay, const std::string& args, const std::string& input = "",
           const std::string& prefix = "");
