// The control interpreter: a Tcl interpreter on a thread of its own that
// runs the operator's start-up script, opens the control socket, and then
// serves Tcl events (timers, channel handlers, control commands) until it
// is shut down. The relay owns it; it owns its thread, its interpreter and
// its control socket.
#pragma once
#include <functional>
#include <mutex>
#include <thread>

#include "control/commands.h"
#include "control/control_socket.h"

struct ControlTargets;
struct Tcl_Interp;

class ControlInterpreter {
 public:
  // Its commands act on `targets`, which must outlive it.
  explicit ControlInterpreter(const ControlTargets* targets) : targets_(targets), socket_(targets->base) {}
  ~ControlInterpreter() { InterfaceShutdown(); }
  ControlInterpreter(const ControlInterpreter&) = delete;
  ControlInterpreter& operator=(const ControlInterpreter&) = delete;

  // Starts the interpreter thread. Returns 1.
  int InterfaceInit();

  // Stops the control socket, then ends the interpreter thread: a script
  // still running is unwound, the event loop ends, the interpreter is
  // deleted, and the thread is joined. Not on the interpreter thread.
  void InterfaceShutdown();

 private:
  void InterfaceStartup();
  bool Quitting();

  const ControlTargets* const targets_;
  ControlSocket socket_;
  std::thread thread_;
  std::mutex mu_;
  Tcl_Interp* running_ = nullptr;  // under mu_ while the thread runs it
  void* runningThread_ = nullptr;  // its Tcl_ThreadId
  bool quit_ = false;              // under mu_; the thread reads it between events
};

// An interpreter with the control commands (and an "exit" that calls the
// targets' exit action), on the calling thread.
Tcl_Interp* CreateControlInterp(const ControlTargets* targets);

// Sources the start-up script (StartupScript, default "init.tcl") in
// `interp` and logs "Startup error:" and Tcl's message when it fails.
void SourceStartupScript(Tcl_Interp* interp, RelayBase& base);
