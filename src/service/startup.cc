// The start-up and stop sequences. Each subsystem starts here, in a fixed
// order: nothing may log before the log is open, and the listener comes last.
#include <condition_variable>
#include <mutex>
#include <optional>

#include "base/config.h"
#include "base/log.h"
#include "control/control_socket.h"
#include "control/interpreter.h"
#include "dedupe/precommit.h"
#include "dedupe/seen.h"
#include "feeds/site_queues.h"
#include "incoming/incoming_table.h"
#include "incoming/listener.h"
#include "incoming/nntp_server.h"
#include "platform/process.h"
#include "service/metrics.h"
#include "service/service.h"
#include "service/stats_text.h"
#include "spool/article_spool.h"
#include "spool/spool_dir.h"

namespace {

// A stop asked for, with the exit code it asks for.
std::mutex stopMu;
std::condition_variable stopCv;
std::optional<int> stopCode;

}  // namespace

void RequestStop(int code) {
  {
    std::lock_guard<std::mutex> lock(stopMu);
    if (!stopCode) stopCode = code;
  }
  stopCv.notify_all();
  StopListener();
}

int RequestedStopCode() {
  std::unique_lock<std::mutex> lock(stopMu);
  stopCv.wait(lock, [] { return stopCode.has_value(); });
  return *stopCode;
}

void ServiceStart() {
  // Sockets need no start-up on Linux, and SIGPIPE is already ignored
  // process-wide, so a peer closing its socket cannot end the relay.
  config_init(nullptr);
  // Metrics read only counters, which are all valid from the start; a bad
  // MetricsListen stops the relay before anything else starts.
  StartMetricsServer();
  IncomingInit();
  PrecommitInit();
  console_init();
  SeenInit();
  ArticleInit();
  DirInit();
  SetExitAction(RequestStop);
  InterfaceInit();
  SetStatisticsText(GetStatsString);
  // Returns at the stop, or at once without a listening socket: the relay
  // then feeds its sites until it is asked to stop.
  DoConnections();
  RequestedStopCode();
}

int ServiceStop() {
  // Operators first, so that no command starts anything now; then the
  // peers, so that nothing more is stored.
  StopControlSocket();
  InterfaceShutdown();
  EndConnections();
  // Feeders finish their batches and settle what they sent, so that the
  // history written below owes each site exactly what it was not sent.
  StopFeeds(std::chrono::seconds(5));
  CloseFiles();
  SeenClose();
  DirShutdown();
  IncomingShutdown();
  PrecommitShutdown();
  StopMetricsServer();
  ServerStopEvent.Set();
  return 0;
}
