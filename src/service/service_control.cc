// Life under the service manager: status reports, the stop control and the
// console (signal) handler.
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <atomic>
#include <system_error>
#include <mutex>
#include <string>
#include <thread>

#include "base/message_log.h"
#include "platform/process.h"
#include "platform/service_manager.h"
#include "service/service.h"

namespace {

// What the process tells the service manager, in one place: the service
// manager's callbacks reach it, as they reach the process's relay.
struct ServiceStatus {
  // The status record and its checkpoint counter. Only the service_main
  // thread and the stop control write them, one after the other.
  uint32_t currentState = SERVICE_START_PENDING;
  uint32_t checkPoint = 1;
  // The dispatcher returns once SERVICE_STOPPED has been reported.
  std::mutex dispatcherMu;
  std::condition_variable dispatcherCv;
  bool stoppedReported = false;
  // The stop control (SIGTERM under systemd) asked for the running stop:
  // it reports the end itself.
  std::atomic<bool> managerStop{false};
};

ServiceStatus& Status() {
  static ServiceStatus* status = new ServiceStatus;  // never destroyed: the process ends by _exit
  return *status;
}

constexpr auto kStopStep = std::chrono::milliseconds(15000);

const char* StateName(uint32_t state) {
  switch (state) {
    case SERVICE_STOPPED: return "stopped";
    case SERVICE_START_PENDING: return "start pending";
    case SERVICE_STOP_PENDING: return "stop pending";
    case SERVICE_RUNNING: return "running";
  }
  return "unknown";
}

// The notification for one report: the systemd assignment that matches the
// state, the state and checkpoint as status text, and the wait hint as the
// time the manager should allow for a pending state.
std::string StatusAssignments(uint32_t state, uint32_t checkPoint, uint32_t waitHint) {
  std::string msg;
  if (state == SERVICE_RUNNING) msg = "READY=1\n";
  // systemd has no "stopped" message: the process ending is the stop, and
  // STOPPING=1 tells it that the end is ours.
  if (state == SERVICE_STOP_PENDING || state == SERVICE_STOPPED) msg = "STOPPING=1\n";
  if (waitHint != 0 && state != SERVICE_RUNNING && state != SERVICE_STOPPED) {
    msg += "EXTEND_TIMEOUT_USEC=" + std::to_string(uint64_t(waitHint) * 1000) + "\n";
  }
  msg += "STATUS=";
  msg += StateName(state);
  msg += ", checkpoint " + std::to_string(checkPoint);
  return msg;
}

// Console events: interrupt and quit always; terminate only in console mode
// (under the service manager it is the stop control). The thread that
// started the relay stops it and ends the process with exit code 1.
void ControlHandler(int) {
  printf("Stopping %s.\n", kDisplayName);
  fflush(stdout);
  ServiceRequestStop(1);
}

void InstallControlHandler() {
  SetSignalHandler(SIGINT, ControlHandler);
  SetSignalHandler(SIGQUIT, ControlHandler);
  if (bDebug) SetSignalHandler(SIGTERM, ControlHandler);
}

void service_ctrl(int) {
  // The only control delivered here is the stop (SIGTERM).
  Status().currentState = SERVICE_STOP_PENDING;
  Status().managerStop = true;
  ServiceRequestStop(0);
  while (!ServiceWaitStopped(kStopStep)) {
    ReportStatusToSCMgr(SERVICE_STOP_PENDING, 0, 15000);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(3000));
  Status().currentState = SERVICE_STOPPED;
  ReportStatusToSCMgr(SERVICE_STOPPED, 0, 0);
}

void ReleaseDispatcher() {
  ServiceStatus& status = Status();
  std::lock_guard<std::mutex> lock(status.dispatcherMu);
  status.stoppedReported = true;
  status.dispatcherCv.notify_all();
}

void service_main() {
  SetSignalHandler(SIGTERM, service_ctrl);
  if (!ReportStatusToSCMgr(SERVICE_START_PENDING, 0, 3000)) return ReleaseDispatcher();
  InstallControlHandler();
  if (!ReportStatusToSCMgr(SERVICE_RUNNING, 0, 0)) return ReleaseDispatcher();
  ServiceStart();
  ServiceStop();
  // Stopped by the interpreter's "exit": nobody else reports the end.
  if (!Status().managerStop) ExitProcess(RequestedStopCode());
}

}  // namespace

int ReportStatusToSCMgr(uint32_t state, uint32_t, uint32_t waitHint) {
  if (bDebug) return 1;
  Status().currentState = state;
  uint32_t checkPoint = 0;
  if (state != SERVICE_RUNNING && state != SERVICE_STOPPED) checkPoint = Status().checkPoint++;
  bool ok = NotifyServiceManager(StatusAssignments(state, checkPoint, waitHint));
  if (!ok) AddToMessageLog("SetServiceStatus");
  if (state == SERVICE_STOPPED) ReleaseDispatcher();
  return ok ? 1 : 0;
}

bool StartServiceCtrlDispatcher() {
  if (!StartedByServiceManager()) return false;
  std::thread serviceMain;
  try {
    serviceMain = std::thread(service_main);
  } catch (const std::system_error&) {
    return false;
  }
  {
    ServiceStatus& status = Status();
    std::unique_lock<std::mutex> lock(status.dispatcherMu);
    status.dispatcherCv.wait(lock, [&status] { return status.stoppedReported; });
  }
  serviceMain.join();
  return true;
}

void CmdDebugService(int, char**) {
  printf("Debugging %s.\n", kDisplayName);
  fflush(stdout);
  InstallControlHandler();
  ServiceStart();
  ServiceStop();
  ExitProcess(RequestedStopCode());
}
