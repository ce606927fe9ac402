#include "support/relay_process.h"

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
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

RelayProcess::RelayProcess(const std::vector<std::string>& args,
                           const std::vector<std::string>& env) {
  std::vector<std::string> argv{RelayBinary()};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<std::string> envv = ChildEnvironment(env);
  std::vector<char*> argp = Pointers(argv), envp = Pointers(envv);
  int pipefd[2];
  if (pipe2(pipefd, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    dup2(pipefd[1], 1);
    dup2(pipefd[1], 2);
    int devnull = open("/dev/null", O_RDONLY);
    dup2(devnull, 0);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execve(argp[0], argp.data(), envp.data());
    _exit(127);
  }
  close(pipefd[1]);
  reader_ = std::thread([this, fd = pipefd[0]] { Collect(fd); });
}

RelayProcess::~RelayProcess() {
  if (Running()) {
    kill(pid_, SIGKILL);
    WaitExit(std::chrono::milliseconds(10000));
  }
  if (reader_.joinable()) reader_.join();
}

void RelayProcess::Collect(int fd) {
  char buf[4096];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    std::lock_guard<std::mutex> lock(mu_);
    output_.append(buf, size_t(n));
  }
  close(fd);
}

std::string RelayProcess::Output() {
  std::lock_guard<std::mutex> lock(mu_);
  return output_;
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
  if (reader_.joinable()) reader_.join();
  if (WIFEXITED(status_)) return WEXITSTATUS(status_);
  if (WIFSIGNALED(status_)) return 128 + WTERMSIG(status_);
  return -1;
}
