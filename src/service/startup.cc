// The start-up and stop sequences. Each subsystem starts here, in a fixed
// order: nothing may log before the log is open, and the listener comes last.
#include "base/config.h"
#include "base/log.h"
#include "base/message_log.h"
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

// A listening address or port that is no address stops the start before
// any file is opened; one that cannot be bound is logged by the listener,
// and the relay runs on without incoming service.
void CheckListenEndpoint() {
  ListenEndpoint endpoint;
  if (ParseListenEndpoint(&endpoint)) return;
  const char* address = GetConfigString("ListenAddress");
  uint32_t port = 119;
  GetConfigInt("ListenPort", &port);
  if (port > 65535) StartupFailure("ListenPort = " + std::to_string(port) + " is not a port, exiting...\n");
  StartupFailure(std::string("ListenAddress = ") + (address != nullptr ? address : "") +
                 " is not an IPv4 or IPv6 address, exiting...\n");
}

}  // namespace

void ServiceStart() {
  // Sockets need no start-up on Linux, and SIGPIPE is already ignored
  // process-wide, so a peer closing its socket cannot end the relay.
  config_init(nullptr);
  // Metrics read only counters, which are all valid from the start; a bad
  // MetricsListen stops the relay before anything else starts.
  StartMetricsServer();
  CheckListenEndpoint();
  IncomingInit();
  PrecommitInit();
  console_init();
  SeenInit();
  ArticleInit();
  DirInit();
  SetExitAction([](int code) {
    ServiceStop();
    ExitProcess(code);
  });
  InterfaceInit();
  SetStatisticsText(GetStatsString);
  DoConnections();
}

int ServiceStop() {
  StopControlSocket();
  // Feeders finish their batches and settle what they sent, so that the
  // history written below owes each site exactly what it was not sent.
  StopFeeds(std::chrono::seconds(5));
  CloseFiles();
  ServerStopEvent.Set();
  return 0;
}
