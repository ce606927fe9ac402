#include "control/interpreter.h"

#include <cstdlib>
#include <dirent.h>
#include <poll.h>
#include <set>
#include <unistd.h>
#include <cstring>
#include <string>
#include <system_error>
#include <tcl.h>
#include <mutex>
#include <thread>

#include "base/config.h"
#include "base/log.h"
#include "control/commands.h"
#include "control/control_socket.h"
#include "feeds/site_queues.h"
#include "incoming/listener.h"

namespace {

// Longest StartupScript path accepted in the "source" command.
constexpr size_t kMaxScriptPath = 1000;

// Queued to the interpreter thread by InterfaceShutdown: its only work is
// to have been run, so that Tcl_DoOneEvent returns and the loop looks.
int QuitEvent(Tcl_Event*, int) { return 1; }

// The descriptors open now.
std::set<int> OpenDescriptors() {
  std::set<int> open;
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return open;
  while (dirent* d = readdir(dir)) {
    if (d->d_name[0] != '.' && atoi(d->d_name) != dirfd(dir)) open.insert(atoi(d->d_name));
  }
  closedir(dir);
  return open;
}

// True when `fd` is the write end of a pipe whose reader is gone.
bool OrphanedPipeWriter(int fd) {
  char target[64] = {};
  if (readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), target, sizeof target - 1) <= 0) return false;
  pollfd p{fd, POLLOUT, 0};
  return strncmp(target, "pipe:", 5) == 0 && poll(&p, 1, 0) == 1 && (p.revents & POLLERR) != 0;
}


// "exit ?code?", in place of Tcl's own, which would end the process
// without the stop sequence. The stop runs elsewhere (it ends this thread)
// and soon unwinds a script still running; the command itself succeeds, so
// a control client sees its "exit" taken (or the connection end).
int ExitCommand(ClientData data, Tcl_Interp* interp, int argc, const char* argv[]) {
  int code = 0;
  if (argc > 2) {
    Tcl_AppendResult(interp, "wrong # args: should be \"exit ?returnCode?\"", nullptr);
    return TCL_ERROR;
  }
  if (argc == 2 && Tcl_GetInt(interp, argv[1], &code) != TCL_OK) return TCL_ERROR;
  const std::function<void(int)>& exitAction = Targets(data).exit;
  if (exitAction == nullptr) exit(code);
  exitAction(code);
  return TCL_OK;
}

}  // namespace

Tcl_Interp* CreateControlInterp(const ControlTargets* targets) {
  Tcl_FindExecutable(nullptr);
  Tcl_Interp* interp = Tcl_CreateInterp();
  RegisterControlCommands(interp, targets);
  Tcl_CreateCommand(interp, "exit", ExitCommand, const_cast<ControlTargets*>(targets), nullptr);
  return interp;
}

void SourceStartupScript(Tcl_Interp* interp, RelayBase& base) {
  const char* path = base.config.GetConfigString("StartupScript");
  if (path == nullptr) path = "init.tcl";
  if (strlen(path) > kMaxScriptPath) {
    base.log.LogLine("Startup error:");
    base.log.LogLine("StartupScript path too long");
    return;
  }
  // A list quotes the path, so names with blanks or brackets source as they are.
  const char* words[] = {"source", path};
  char* script = Tcl_Merge(2, words);
  if (Tcl_Eval(interp, script) == TCL_ERROR) {
    base.log.LogLine("Startup error:");
    base.log.LogLine(Tcl_GetStringResult(interp));
  }
  Tcl_Free(script);
}

bool ControlInterpreter::Quitting() {
  std::lock_guard<std::mutex> lock(mu_);
  return quit_;
}

void ControlInterpreter::InterfaceStartup() {
  // Tcl 8.6's finalization can lose the write end of its notifier's pipe:
  // the notifier thread may clear the descriptor between the finalizer's
  // "quit" and its close. Such an end, its reader gone, is closed below.
  const std::set<int> before = OpenDescriptors();
  targets_->sites->BeginSiteStartup();
  Tcl_Interp* interp = CreateControlInterp(targets_);
  {
    std::lock_guard<std::mutex> lock(mu_);
    running_ = interp;
    runningThread_ = Tcl_GetCurrentThread();
  }
  if (!Quitting()) SourceStartupScript(interp, *targets_->base);
  targets_->sites->EndSiteStartup();
  // Only now are the sites there to flag articles for: the listener
  // admits no peer before.
  if (targets_->listener != nullptr) targets_->listener->OpenIntake();
  if (!Quitting()) socket_.StartControlSocket(interp);
  // Tcl_DoOneEvent waits for the next event itself, with the block time the
  // event sources ask for. A separate Tcl_WaitForEvent without a time limit
  // would sleep past the next timer, since the timer source only sets its
  // deadline inside Tcl_DoOneEvent: the script's timers would stop firing.
  while (!Quitting()) Tcl_DoOneEvent(0);
  {
    std::lock_guard<std::mutex> lock(mu_);
    running_ = nullptr;
  }
  Tcl_DeleteInterp(interp);
  // Ends this thread's part of Tcl, its notifier thread with it.
  Tcl_FinalizeThread();
  for (int fd : OpenDescriptors()) {
    if (before.count(fd) == 0 && OrphanedPipeWriter(fd)) close(fd);
  }
}

int ControlInterpreter::InterfaceInit() {
  quit_ = false;
  try {
    thread_ = std::thread([this] { InterfaceStartup(); });
  } catch (const std::system_error&) {
    // Without the thread the relay runs with no sites and no listed peers.
    targets_->base->log.LogLine("control: could not start the interpreter thread");
    if (targets_->listener != nullptr) targets_->listener->OpenIntake();
  }
  return 1;
}

void ControlInterpreter::InterfaceShutdown() {
  // A client's command under way is answered first: the interpreter still
  // serves it.
  socket_.StopControlSocket();
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mu_);
    quit_ = true;
    if (running_ != nullptr) {
      // A script still running (the start-up script, a timer's) is unwound;
      // then the event wakes the loop.
      Tcl_CancelEval(running_, nullptr, nullptr, TCL_CANCEL_UNWIND);
      auto* event = reinterpret_cast<Tcl_Event*>(Tcl_Alloc(sizeof(Tcl_Event)));
      event->proc = QuitEvent;
      event->nextPtr = nullptr;
      auto thread = static_cast<Tcl_ThreadId>(runningThread_);
      Tcl_ThreadQueueEvent(thread, event, TCL_QUEUE_TAIL);
      Tcl_ThreadAlert(thread);
    }
  }
  thread_.join();
}
