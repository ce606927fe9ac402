#include "platform/process.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <thread>
#include <unistd.h>


namespace {

// Signals belong to the process, not to a relay: one handler per signal
// and one thread that takes them all, started once.
std::atomic<SignalHandler> handlers[NSIG];
std::once_flag signalThreadStarted;

sigset_t StopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGQUIT);
  sigaddset(&set, SIGTERM);
  return set;
}

void SignalThread() {
  sigset_t set = StopSignals();
  for (;;) {
    int signo = 0;
    if (sigwait(&set, &signo) != 0) continue;
    SignalHandler handler = handlers[signo].load();
    if (handler) handler(signo);
  }
}

}  // namespace

void ExitProcess(int code) {
  fflush(stdout);
  fflush(stderr);
  _exit(code);
}

std::string ExecutablePath() {
  char buf[512];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf);
  if (n <= 0 || size_t(n) >= sizeof buf) return std::string();
  return std::string(buf, size_t(n));
}

void PrepareProcessSignals() {
  sigset_t set = StopSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

void SetSignalHandler(int signo, SignalHandler handler) {
  handlers[signo].store(handler);
  // The process's own thread, not a relay's: it lives as long as the
  // process and runs the handlers, which stop the relay.
  std::call_once(signalThreadStarted, [] { std::thread(SignalThread).detach(); });
}
