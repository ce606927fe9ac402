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

// The interpreter thread, its interpreter and what ends its event loop.
std::thread interpreterThread;
std::mutex interpMu;
Tcl_Interp* runningInterp = nullptr;  // under interpMu while the thread runs
Tcl_ThreadId runningThread;
bool quit = false;  // under interpMu; the thread reads it between events

std::function<void(int code)> exitAction;

bool Quitting() {
  std::lock_guard<std::mutex> lock(interpMu);
  return quit;
}

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

void InterfaceStartup(const ControlTargets* targets) {
  // Tcl 8.6's finalization can lose the write end of its notifier's pipe:
  // the notifier thread may clear the descriptor between the finalizer's
  // "quit" and its close. Such an end, its reader gone, is closed below.
  const std::set<int> before = OpenDescriptors();
  BeginSiteStartup();
  Tcl_Interp* interp = RunStartupScript(targets);
  EndSiteStartup();
  // Only now are the sites there to flag articles for: the listener
  // admits no peer before.
  if (targets->listener != nullptr) targets->listener->OpenIntake();
  if (!Quitting()) StartControlSocket(interp);
  // Tcl_DoOneEvent waits for the next event itself, with the block time the
  // event sources ask for. A separate Tcl_WaitForEvent without a time limit
  // would sleep past the next timer, since the timer source only sets its
  // deadline inside Tcl_DoOneEvent: the script's timers would stop firing.
  while (!Quitting()) Tcl_DoOneEvent(0);
  {
    std::lock_guard<std::mutex> lock(interpMu);
    runningInterp = nullptr;
  }
  Tcl_DeleteInterp(interp);
  // Ends this thread's part of Tcl, its notifier thread with it.
  Tcl_FinalizeThread();
  for (int fd : OpenDescriptors()) {
    if (before.count(fd) == 0 && OrphanedPipeWriter(fd)) close(fd);
  }
}

// "exit ?code?", in place of Tcl's own, which would end the process
// without the stop sequence. The stop runs elsewhere (it ends this
// thread); the script that called exit is unwound at once.
int ExitCommand(ClientData, Tcl_Interp* interp, int argc, const char* argv[]) {
  int code = 0;
  if (argc > 2) {
    Tcl_AppendResult(interp, "wrong # args: should be \"exit ?returnCode?\"", nullptr);
    return TCL_ERROR;
  }
  if (argc == 2 && Tcl_GetInt(interp, argv[1], &code) != TCL_OK) return TCL_ERROR;
  if (exitAction == nullptr) exit(code);
  exitAction(code);
  Tcl_CancelEval(interp, Tcl_NewStringObj("exiting", -1), nullptr, TCL_CANCEL_UNWIND);
  Tcl_AppendResult(interp, "exiting", nullptr);
  return TCL_ERROR;
}

}  // namespace

void SetExitAction(std::function<void(int code)> action) { exitAction = std::move(action); }

Tcl_Interp* RunStartupScript(const ControlTargets* targets) {
  Tcl_FindExecutable(nullptr);
  Tcl_Interp* interp = Tcl_CreateInterp();
  {
    std::lock_guard<std::mutex> lock(interpMu);
    runningInterp = interp;
    runningThread = Tcl_GetCurrentThread();
  }
  RegisterControlCommands(interp, targets);
  Tcl_CreateCommand(interp, "exit", ExitCommand, nullptr, nullptr);
  const char* path = GetConfigString("StartupScript");
  if (path == nullptr) path = "init.tcl";
  if (strlen(path) > kMaxScriptPath) {
    LogLine("Startup error:");
    LogLine("StartupScript path too long");
    return interp;
  }
  // A list quotes the path, so names with blanks or brackets source as they are.
  const char* words[] = {"source", path};
  char* script = Tcl_Merge(2, words);
  if (Tcl_Eval(interp, script) == TCL_ERROR) {
    LogLine("Startup error:");
    LogLine(Tcl_GetStringResult(interp));
  }
  Tcl_Free(script);
  return interp;
}

int InterfaceInit(const ControlTargets* targets) {
  quit = false;
  try {
    interpreterThread = std::thread(InterfaceStartup, targets);
  } catch (const std::system_error&) {
    // Without the thread the relay runs with no sites and no listed peers.
    LogLine("control: could not start the interpreter thread");
    if (targets->listener != nullptr) targets->listener->OpenIntake();
  }
  return 1;
}

void InterfaceShutdown() {
  if (!interpreterThread.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(interpMu);
    quit = true;
    if (runningInterp != nullptr) {
      // A script still running (the start-up script, a timer's) is unwound;
      // then the event wakes the loop.
      Tcl_CancelEval(runningInterp, nullptr, nullptr, TCL_CANCEL_UNWIND);
      auto* event = reinterpret_cast<Tcl_Event*>(Tcl_Alloc(sizeof(Tcl_Event)));
      event->proc = QuitEvent;
      event->nextPtr = nullptr;
      Tcl_ThreadQueueEvent(runningThread, event, TCL_QUEUE_TAIL);
      Tcl_ThreadAlert(runningThread);
    }
  }
  interpreterThread.join();
}
