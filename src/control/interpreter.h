// The control interpreter: a Tcl interpreter on a thread of its own that
// runs the operator's start-up script, opens the control socket, and then
// serves Tcl events (timers, channel handlers, control commands) until it
// is shut down.
#pragma once
#include <functional>

struct ControlTargets;

// Starts the interpreter thread, whose commands act on `targets` (which
// must outlive it). Returns 1.
int InterfaceInit(const ControlTargets* targets);

// Ends the interpreter thread: a script still running is unwound, the
// event loop ends, the interpreter is deleted, and the thread is joined.
// The control socket must be stopped first. Not on the interpreter thread.
void InterfaceShutdown();

// Creates an interpreter with the control commands, sources the start-up
// script (StartupScript, default "init.tcl") and logs "Startup error:" and
// Tcl's message when it fails. Returns the interpreter. Used by the
// interpreter thread; tests call it to run a script in their own thread.
struct Tcl_Interp;
Tcl_Interp* RunStartupScript(const ControlTargets* targets);

// What the interpreter's "exit ?code?" does, from the start-up script or a
// control client: by default the process ends at once with the code; the
// relay sets here a request for its stop sequence, so that everything is
// written back first. The action must not wait for the stop (which ends
// the interpreter thread); the calling script is unwound after it.
void SetExitAction(std::function<void(int code)> action);
