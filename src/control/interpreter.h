// The control interpreter: a Tcl interpreter on a thread of its own that
// runs the operator's start-up script, opens the control socket, and then
// serves Tcl events (timers, channel handlers, control commands) for the
// life of the process.
#pragma once

// Starts the interpreter thread. Returns 1.
int InterfaceInit();

// Creates an interpreter with the control commands, sources the start-up
// script (StartupScript, default "init.tcl") and logs "Startup error:" and
// Tcl's message when it fails. Returns the interpreter. Used by the
// interpreter thread; tests call it to run a script in their own thread.
struct Tcl_Interp;
Tcl_Interp* RunStartupScript();

// What the interpreter's "exit ?code?" does, from the start-up script or a
// control client: by default the process ends at once with the code; the
// relay sets its stop sequence here, so that everything is written back
// first.
void SetExitAction(void (*action)(int code));
