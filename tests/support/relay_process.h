// The real relay binary started as a child process for a test: its standard
// output and error are collected, and every wait is bounded.
#pragma once
#include <chrono>
#include <functional>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

// Polls `condition` until it holds or `limit` passes; returns its last value.
bool WaitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds limit = std::chrono::milliseconds(10000));

class RelayProcess {
 public:
  // Starts the relay with `args` (after the program name) and the extra
  // environment assignments "NAME=value" on top of this process's
  // environment; an assignment "NAME=" with nothing after removes NAME.
  RelayProcess(const std::vector<std::string>& args, const std::vector<std::string>& env);
  ~RelayProcess();  // kills the child if it still runs

  // Everything the child printed so far (standard output and error mixed).
  std::string Output();
  void Signal(int signo);
  // Waits for the child to end; returns its exit code, 128 + signal when a
  // signal ended it, or -1 when it still runs after `limit`.
  int WaitExit(std::chrono::milliseconds limit = std::chrono::milliseconds(10000));
  bool Running();

 private:
  pid_t pid_ = -1;
  int status_ = -1;
  bool exited_ = false;
  int output_ = -1;  // an in-memory file: the child's standard output and error
};

const char* RelayBinary();
