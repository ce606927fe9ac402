#include "control/interpreter.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <system_error>
#include <tcl.h>
#include <thread>

#include "base/config.h"
#include "base/log.h"
#include "control/commands.h"
#include "control/control_socket.h"
#include "feeds/site_queues.h"
#include "incoming/listener.h"
#include "platform/threads.h"

namespace {

// Longest StartupScript path accepted in the "source" command.
constexpr size_t kMaxScriptPath = 1000;

[[noreturn]] void InterfaceStartup() {
  BeginSiteStartup();
  Tcl_Interp* interp = RunStartupScript();
  EndSiteStartup();
  // Only now are the sites there to flag articles for: the listener
  // admits no peer before.
  OpenIntake();
  StartControlSocket(interp);
  // Tcl_DoOneEvent waits for the next event itself, with the block time the
  // event sources ask for. A separate Tcl_WaitForEvent without a time limit
  // would sleep past the next timer, since the timer source only sets its
  // deadline inside Tcl_DoOneEvent: the script's timers would stop firing.
  for (;;) Tcl_DoOneEvent(0);
}

void (*exitAction)(int code) = nullptr;

// "exit ?code?", in place of Tcl's own, which would end the process
// without the stop sequence.
int ExitCommand(ClientData, Tcl_Interp* interp, int argc, const char* argv[]) {
  int code = 0;
  if (argc > 2) {
    Tcl_AppendResult(interp, "wrong # args: should be \"exit ?returnCode?\"", nullptr);
    return TCL_ERROR;
  }
  if (argc == 2 && Tcl_GetInt(interp, argv[1], &code) != TCL_OK) return TCL_ERROR;
  if (exitAction != nullptr) exitAction(code);
  exit(code);
}

}  // namespace

void SetExitAction(void (*action)(int code)) { exitAction = action; }

Tcl_Interp* RunStartupScript() {
  Tcl_FindExecutable(nullptr);
  Tcl_Interp* interp = Tcl_CreateInterp();
  RegisterControlCommands(interp);
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

int InterfaceInit() {
  // Without the thread the relay runs with no sites and no listed peers.
  if (!StartThread(InterfaceStartup)) {
    LogLine("control: could not start the interpreter thread");
    OpenIntake();
  }
  return 1;
}
