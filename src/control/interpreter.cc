#include "control/interpreter.h"

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

}  // namespace

Tcl_Interp* RunStartupScript() {
  Tcl_FindExecutable(nullptr);
  Tcl_Interp* interp = Tcl_CreateInterp();
  RegisterControlCommands(interp);
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
