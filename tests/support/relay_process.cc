#include "support/relay_process.h"

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

const char* RelayBinary() { return VELTRANE_BINARY; }

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    if (condition()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return condition();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

namespace {

std::vector<std::string> ChildEnvironment(const std::vector<std::string>& extra) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
  for (const std::string& assignment : extra) {
    std::string name = assignment.substr(0, assignment.find('=') + 1);
    std::erase_if(env, [&](const std::string& v) { return v.compare(0, name.size(), name) == 0; });
    if (assignment.size() > name.size()) env.push_back(assignment);
  }
  return env;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (std::string& s : strings) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

}  // namespace

// The child writes its output into an in-memory file both processes hold,
// so the test reads it whenever it likes, with no reader thread.
RelayProcess::RelayProcess(const std::vector<std::string>& args, const std::vector<std::string>& env) {
  std::vector<std::string> argv{RelayBinary()};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<std::string> envv = ChildEnvironment(env);
  std::vector<char*> argp = Pointers(argv), envp = Pointers(envv);
  output_ = memfd_create("relay-output", MFD_CLOEXEC);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, output_, 1);
  posix_spawn_file_actions_adddup2(&actions, output_, 2);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
  int failed = posix_spawn(&pid_, argp[0], &actions, &attributes, argp.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (output_ < 0 || failed != 0) throw std::runtime_error("cannot start the relay");
}

RelayProcess::~RelayProcess() {
  if (Running()) {
    kill(pid_, SIGKILL);
    WaitExit(std::chrono::milliseconds(10000));
  }
  close(output_);
}

std::string RelayProcess::Output() {
  struct stat st;
  std::string text(fstat(output_, &st) == 0 ? size_t(st.st_size) : 0, '\0');
  text.resize(size_t(std::max<ssize_t>(pread(output_, text.data(), text.size(), 0), 0)));
  return text;
}

void RelayProcess::Signal(int signo) {
  if (Running()) kill(pid_, signo);
}

bool RelayProcess::Running() {
  if (exited_) return false;
  int status = 0;
  pid_t r = waitpid(pid_, &status, WNOHANG);
  if (r == pid_) {
    exited_ = true;
    status_ = status;
    return false;
  }
  return r == 0;
}

int RelayProcess::WaitExit(std::chrono::milliseconds limit) {
  if (!WaitUntil([&] { return !Running(); }, limit)) return -1;
  if (WIFEXITED(status_)) return WEXITSTATUS(status_);
  if (WIFSIGNALED(status_)) return 128 + WTERMSIG(status_);
  return -1;
}
