// The process: command-line verbs, life under the service manager or on a
// console, and the fixed start-up and stop sequences.
#pragma once
#include <cstdint>

#include "platform/event.h"

inline constexpr const char* kServiceName = "Veltrane";
inline constexpr const char* kDisplayName = "Veltrane News Router";

// The process entry: runs a verb, or hands the process to the service
// manager. Returns the process exit code.
int RelayMain(int argc, char** argv);

enum class Verb { kNone, kInstall, kRemove, kDebug };

// A verb is "-" or "/" followed by exactly "install", "remove" or "debug" in
// any letter case; anything else (including a null argument) is no verb.
Verb ParseVerb(const char* arg);

// The three verbs.
void CmdInstallService();
void CmdRemoveService();
void CmdDebugService(int argc, char** argv);

// Service states as reported to the service manager.
enum ServiceState : uint32_t {
  SERVICE_STOPPED = 1,
  SERVICE_START_PENDING = 2,
  SERVICE_STOP_PENDING = 3,
  SERVICE_RUNNING = 4,
};

// Runs the service under the service manager: the status reports, then the
// start-up sequence on its own thread. Returns false when the process was
// not started by the service manager; otherwise returns once the service
// has reported itself stopped.
bool StartServiceCtrlDispatcher();

// Reports `state` to the service manager (nothing in console mode).
// Returns nonzero on success.
int ReportStatusToSCMgr(uint32_t state, uint32_t exitCode, uint32_t waitHint);

// The start-up sequence, strictly in order, then the listener; returns
// once a stop has been requested (RequestStop). The caller then runs
// ServiceStop.
void ServiceStart();

// Asks the relay to stop with the process exit code `code` (the first
// request's code counts): ServiceStart returns. From any thread, without
// waiting for the stop.
void RequestStop(int code);

// Waits for a stop request; its exit code.
int RequestedStopCode();

// The stop sequence, on the thread that ran ServiceStart after it has
// returned: ends the control socket and interpreter, the connections, the
// feeders, shuts the store, history and log, ends the background threads
// and the metrics server, then signals ServerStopEvent. Every thread the
// relay started has been joined when it returns. Returns 0.
int ServiceStop();

// Signalled by the stop sequence.
extern ManualResetEvent ServerStopEvent;
