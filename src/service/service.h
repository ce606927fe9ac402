// The process: command-line verbs, life under the service manager or on a
// console, and the fixed start-up and stop sequences.
#pragma once
#include <chrono>
#include <cstdint>


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

// The process's relay (service/relay.h), which the service manager's
// callbacks and the signal handlers reach: Relay::Start, Relay::Stop
// (returning 0), Relay::RequestStop and Relay::StopCode.
void ServiceStart();
int ServiceStop();
void ServiceRequestStop(int code);
int RequestedStopCode();
// Waits at most `limit` for the process's relay's stop sequence to end;
// false when it has not.
bool ServiceWaitStopped(std::chrono::milliseconds limit);

