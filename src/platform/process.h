// Process-wide helpers: exit, executable path, signal set-up.
#pragma once
#include <string>

// Flushes standard output and error and ends the process at once. Other
// threads of the relay keep running until then, so static destructors must
// not run under them: this never returns through exit().
[[noreturn]] void ExitProcess(int code);

// Absolute path of the running program; empty when it cannot be read.
std::string ExecutablePath();

// Blocks the stop signals (SIGINT, SIGQUIT, SIGTERM) in the calling thread,
// so that every thread started later inherits the mask and only the signal
// thread receives them; ignores SIGPIPE, so a peer that closes its socket
// makes a send fail instead of ending the relay. Call first thing in main.
void PrepareProcessSignals();

// Handler for one stop signal; runs on the signal thread, never inside an
// asynchronous signal handler.
using SignalHandler = void (*)(int signo);

// Routes `signo` (SIGINT, SIGQUIT or SIGTERM) to `handler`, starting the
// signal thread on first use. A later call for the same signal replaces the
// handler. Signals without a handler are ignored.
void SetSignalHandler(int signo, SignalHandler handler);
