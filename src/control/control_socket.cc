#include "control/control_socket.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <poll.h>
#include <set>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <tcl.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "base/config.h"
#include "base/log.h"
#include "platform/io.h"
#include "platform/threads.h"

// One command on its way to the interpreter thread and back. The client's
// thread waits until `done`, so the request outlives the event.
struct ControlSocket::Request {
  Tcl_Interp* interp;
  std::string command;
  std::mutex mu;
  std::condition_variable cv;
  bool done = false;
  int code = TCL_OK;
  std::string result;
};

namespace {

// A Tcl event must begin with Tcl_Event; Tcl frees it after it has run.
struct ControlEvent {
  Tcl_Event header;
  ControlSocket::Request* request;
};

// Commands a control client may not run: each could block the interpreter
// thread beyond the time limit (which interrupts only Tcl's own work), or
// lift the limit by serving events inside the command, or reach files,
// processes and sockets. They are hidden while a client's command runs and
// exposed again after it, so the start-up script and its timers keep them.
constexpr const char* kWithheldFromClients[] = {
    "after", "cd",    "chan", "close", "eof",   "exec",   "fblocked", "fconfigure", "fcopy",  "file",
    "fileevent", "flush", "gets", "glob", "interp", "load", "open",    "puts",       "pwd",    "read",
    "seek",  "socket", "source", "tell", "update", "vwait", "zlib"};

// Hides the withheld commands that exist now; returns those hidden.
std::vector<const char*> Withhold(Tcl_Interp* interp) {
  std::vector<const char*> hidden;
  for (const char* name : kWithheldFromClients) {
    if (Tcl_HideCommand(interp, name, name) == TCL_OK) hidden.push_back(name);
  }
  Tcl_ResetResult(interp);
  return hidden;
}

// Exposes them again; a command the client made under such a name gives way.
void Restore(Tcl_Interp* interp, const std::vector<const char*>& hidden) {
  for (const char* name : hidden) {
    if (Tcl_ExposeCommand(interp, name, name) != TCL_OK) {
      Tcl_DeleteCommand(interp, name);
      Tcl_ExposeCommand(interp, name, name);
    }
  }
  Tcl_ResetResult(interp);
}

// Runs on the interpreter thread, from its event loop.
int RunCommand(Tcl_Event* event, int) {
  ControlSocket::Request* r = reinterpret_cast<ControlEvent*>(event)->request;
  Tcl_Interp* controlInterp = r->interp;
  Tcl_Time limit;
  Tcl_GetTime(&limit);
  limit.sec += kControlCommandSeconds;
  Tcl_LimitSetTime(controlInterp, &limit);
  Tcl_LimitTypeSet(controlInterp, TCL_LIMIT_TIME);
  const std::vector<const char*> hidden = Withhold(controlInterp);
  int code = Tcl_EvalEx(controlInterp, r->command.data(), int(r->command.size()), TCL_EVAL_GLOBAL);
  std::string result = Tcl_GetStringResult(controlInterp);
  Tcl_ResetResult(controlInterp);
  Restore(controlInterp, hidden);
  Tcl_LimitTypeReset(controlInterp, TCL_LIMIT_TIME);
  {
    std::lock_guard<std::mutex> lock(r->mu);
    r->code = code;
    r->result = std::move(result);
    r->done = true;
  }
  r->cv.notify_all();
  return 1;
}


bool SendFrame(int fd, int status, const std::string& text) {
  std::string frame = std::to_string(status) + " " + std::to_string(text.size()) + "\n" + text;
  return SendWithin(fd, frame.data(), frame.size(), DeadlineAfter(kControlIdleSeconds * 1000), 0);
}

// The refusal of a peer of another user; empty when the peer may go on.
std::string PeerRefusal(int fd) {
  ucred cred{};
  socklen_t length = sizeof cred;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &length) != 0) return "cannot identify the client";
  if (cred.uid == 0 || cred.uid == geteuid()) return "";
  return "user id " + std::to_string(cred.uid) + " may not use the control socket";
}

// Waits for input for the idle time; false on silence, hang-up or error.
bool WaitReadable(int fd) {
  pollfd p{fd, POLLIN, 0};
  int r;
  do {
    r = poll(&p, 1, kControlIdleSeconds * 1000);
  } while (r < 0 && errno == EINTR);
  return r > 0;
}

// After a refusal in the middle of a long line: reads and drops what the
// client still sends (until a second of silence, ten seconds at most), so
// that closing does not reset the connection before the client has read
// the refusal.
void DrainBriefly(int fd) {
  shutdown(fd, SHUT_WR);
  char sink[65536];
  Deadline end = DeadlineAfter(10000);
  while (std::chrono::steady_clock::now() < end) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 1000) <= 0 || recv(fd, sink, sizeof sink, 0) <= 0) return;
  }
}




// True when a relay answers on the socket file at `path`.
bool SomeoneListens(const sockaddr_un& address) {
  int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  bool answers = connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  close(probe);
  return answers;
}

// Binds and listens under a staging name and renames the socket into place,
// so the path appears only once it is private (0600 whatever the umask) and
// already takes connections.
bool BindPrivately(int fd, const std::string& path) {
  std::string staging = path + ".new";
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  memcpy(address.sun_path, staging.c_str(), staging.size() + 1);
  unlink(staging.c_str());
  bool bound = bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  if (bound && chmod(staging.c_str(), 0600) == 0 && listen(fd, 16) == 0 &&
      rename(staging.c_str(), path.c_str()) == 0) {
    return true;
  }
  int error = errno;
  if (bound) unlink(staging.c_str());
  errno = error;
  return false;
}

}  // namespace

std::string ControlSocketPath(const Config& config) {
  const char* path = config.GetConfigString("ControlSocket");
  if (path != nullptr) return path;
  const char* folder = config.GetConfigString("HistoryTablePath");
  std::string base = folder != nullptr ? folder : ".";
  if (!base.empty() && base.back() != '/') base += '/';
  return base + "veltrane.ctl";
}

bool ControlSocket::StartControlSocket(Tcl_Interp* interp) {
  std::string path = ControlSocketPath(base_->config);
  if (path.empty()) return false;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() + 4 >= sizeof address.sun_path) {  // room for the staging name
    base_->log.LogLinef("control socket path %s is longer than %zu bytes; no control socket", path.c_str(),
             sizeof address.sun_path - 5);
    return false;
  }
  memcpy(address.sun_path, path.c_str(), path.size() + 1);
  struct stat st;
  if (lstat(path.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode) || SomeoneListens(address)) {
      base_->log.LogLinef("control socket %s is in use or not a socket; no control socket", path.c_str());
      return false;
    }
    unlink(path.c_str());  // left by a relay that is gone
  }
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || !BindPrivately(fd, path)) {
    base_->log.LogLinef("control socket %s: %s; no control socket", path.c_str(), strerror(errno));
    if (fd >= 0) close(fd);
    return false;
  }
  interp_ = interp;
  interpThread_ = Tcl_GetCurrentThread();
  {
    std::lock_guard<std::mutex> lock(pathMu_);
    socketPath_ = path;
  }
  listenFd_ = fd;
  if (!threads_.Start([this, fd] { AcceptClients(fd); })) {
    StopControlSocket();
    close(fd);
    return false;
  }
  return true;
}

void ControlSocket::StopControlSocket() {
  {
    std::lock_guard<std::mutex> lock(listenMu_);
    int fd = listenFd_.exchange(-1);
    if (fd >= 0) shutdown(fd, SHUT_RDWR);
  }
  {
    std::lock_guard<std::mutex> lock(pathMu_);
    if (!socketPath_.empty()) unlink(socketPath_.c_str());
    socketPath_.clear();
  }
  // A client whose command runs gets its answer first: the interpreter
  // still serves it.
  {
    std::lock_guard<std::mutex> lock(clientsMu_);
    for (int fd : clientFds_) shutdown(fd, SHUT_RDWR);
  }
  threads_.JoinAll();
}

// Hands `command` to the interpreter thread and waits for its outcome.
void ControlSocket::Evaluate(Request* r) {
  auto* event = reinterpret_cast<ControlEvent*>(Tcl_Alloc(sizeof(ControlEvent)));
  event->header.proc = RunCommand;
  event->header.nextPtr = nullptr;
  event->request = r;
  Tcl_ThreadQueueEvent(static_cast<Tcl_ThreadId>(interpThread_), &event->header, TCL_QUEUE_TAIL);
  Tcl_ThreadAlert(static_cast<Tcl_ThreadId>(interpThread_));
  std::unique_lock<std::mutex> lock(r->mu);
  r->cv.wait(lock, [r] { return r->done; });
}

void ControlSocket::ServeClient(int fd) {
  SetSocketTimeouts(fd, kControlIdleSeconds * 1000);  // a client that never reads its replies
  std::string refusal = PeerRefusal(fd);
  if (!refusal.empty()) {
    SendFrame(fd, 400, refusal);
    return;
  }
  std::string input;
  char chunk[16384];
  for (;;) {
    size_t end;
    while ((end = input.find('\n')) != std::string::npos) {
      Request request;
      request.interp = interp_;
      request.command = input.substr(0, end > 0 && input[end - 1] == '\r' ? end - 1 : end);
      input.erase(0, end + 1);
      Evaluate(&request);
      if (!SendFrame(fd, request.code == TCL_OK ? 200 : 500, request.result)) return;
    }
    if (input.size() > kControlLineLimit) {
      SendFrame(fd, 400, "command line longer than " + std::to_string(kControlLineLimit) + " bytes");
      DrainBriefly(fd);
      return;
    }
    if (!WaitReadable(fd)) {
      SendFrame(fd, 400, "no command for " + std::to_string(kControlIdleSeconds) + " seconds");
      return;
    }
    ssize_t n = recv(fd, chunk, sizeof chunk, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    input.append(chunk, size_t(n));
  }
}

// A failed accept: out of descriptors or memory for a moment. Logged at
// most once a minute; the wait lets connections end before the next try.
void ControlSocket::AcceptFailed(int error) {
  auto now = std::chrono::steady_clock::now();
  if (!acceptFailed_ || now - acceptLogged_ >= std::chrono::minutes(1)) {
    base_->log.LogLinef("control socket: accept failed: %s; trying again", strerror(error));
    acceptLogged_ = now;
    acceptFailed_ = true;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

void ControlSocket::AcceptClients(int fd) {
  for (;;) {
    int client = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) {
      int error = errno;
      {
        std::lock_guard<std::mutex> lock(listenMu_);
        if (listenFd_.load() != fd) {  // shut down at stop: the descriptor is this thread's to close
          close(fd);
          return;
        }
      }
      if (error != EINTR && error != ECONNABORTED) AcceptFailed(error);
      continue;
    }
    if (clients_.fetch_add(1) >= kControlClients) {
      SendFrame(client, 400, "too many control clients (" + std::to_string(kControlClients) + ")");
      close(client);
      clients_--;
      continue;
    }
    {
      std::lock_guard<std::mutex> lock(clientsMu_);
      clientFds_.insert(client);
    }
    auto end = [this, client] {
      std::lock_guard<std::mutex> lock(clientsMu_);
      clientFds_.erase(client);
      close(client);
      clients_--;
    };
    if (!threads_.Start([this, client, end] {
          ServeClient(client);
          end();
        })) {
      end();
    }
  }
}
