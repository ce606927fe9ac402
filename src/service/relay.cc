// The relay's start-up and stop sequences. Each subsystem starts here, in a
// fixed order: nothing may log before the log is open, and the listener
// comes last; the stop runs the other way.
#include "control/interpreter.h"
#include "dedupe/precommit.h"
#include "dedupe/seen.h"
#include "incoming/incoming_table.h"
#include "incoming/listener.h"
#include "platform/process.h"
#include "service/metrics.h"
#include "service/relay.h"
#include "service/service.h"
#include "service/stats_text.h"
#include "spool/article_spool.h"
#include "spool/spool_dir.h"

Relay::~Relay() = default;

void Relay::RequestStop(int code) {
  {
    std::lock_guard<std::mutex> lock(stopMu_);
    if (!stopCode_) stopCode_ = code;
  }
  stopCv_.notify_all();
  listener_.StopListener();
}

int Relay::StopCode() {
  std::unique_lock<std::mutex> lock(stopMu_);
  stopCv_.wait(lock, [this] { return stopCode_.has_value(); });
  return *stopCode_;
}

void Relay::Start() {
  // Sockets need no start-up on Linux, and SIGPIPE is already ignored
  // process-wide, so a peer closing its socket cannot end the relay.
  config_init(&base_.config, configPath_.c_str());
  // Metrics read only counters, which are all valid from the start; a bad
  // MetricsListen stops the relay before anything else starts.
  metricsSources_.base = &base_;
  metrics_ = std::make_unique<MetricsServer>(&metricsSources_);
  peers_ = IncomingInit(base_.config);
  metricsSources_.peers = peers_.get();
  precommit_ = PrecommitInit(base_.config);
  metricsSources_.precommit = precommit_.get();
  base_.log.console_init(base_.config);
  seen_ = SeenInit(&base_);
  metricsSources_.seen = seen_.get();
  distributions_ = init_feed(&base_);
  history_ = std::make_unique<History>(&base_);
  spool_ = std::make_unique<ArticleSpool>(&base_);
  spool_->ArticleInit(history_.get(), seen_.get(), distributions_.get());
  metricsSources_.history = history_.get();
  metricsSources_.spool = spool_.get();
  spoolDirectory_ = std::make_unique<SpoolDirectory>(spool_.get(), base_.config);
  spoolDirectory_->DirInit();
  sites_ = std::make_unique<SiteTable>(&base_, distributions_.get(), history_.get(), spool_.get());
  metricsSources_.sites = sites_.get();
  controlTargets_.base = &base_;
  controlTargets_.peers = peers_.get();
  controlTargets_.sites = sites_.get();
  controlTargets_.listener = &listener_;
  controlTargets_.exit = [this](int code) { RequestStop(code); };
  interpreter_ = std::make_unique<ControlInterpreter>(&controlTargets_);
  interpreter_->InterfaceInit();
  intake_.base = &base_;
  intake_.spool = spool_.get();
  intake_.peers = peers_.get();
  intake_.precommit = precommit_.get();
  intake_.seen = seen_.get();
  intake_.statistics = [this] { return GetStatsString(base_, *peers_, *sites_); };
  // Returns at the stop, or at once without a listening socket: the relay
  // then feeds its sites until it is asked to stop.
  listener_.DoConnections();
  StopCode();
}

void Relay::Stop() {
  // Operators first, so that no command starts anything now; then the
  // peers, so that nothing more is stored.
  interpreter_.reset();
  listener_.EndConnections();
  // Feeders finish their batches and settle what they sent, so that the
  // history written below owes each site exactly what it was not sent.
  if (sites_ != nullptr) sites_->StopFeeds(std::chrono::seconds(5));
  if (spool_ != nullptr) spool_->CloseFiles();
  spoolDirectory_.reset();
  metrics_.reset();
  metricsSources_.spool = nullptr;
  metricsSources_.history = nullptr;
  metricsSources_.peers = nullptr;
  metricsSources_.precommit = nullptr;
  metricsSources_.seen = nullptr;
  metricsSources_.sites = nullptr;
  peers_.reset();
  precommit_.reset();
  sites_.reset();  // every feeder has ended
  spool_.reset();
  history_.reset();
  seen_.reset();
  distributions_.reset();
  stopped_.Set();
}

namespace {

// The relay of this process, for the service manager's callbacks and the
// signal handlers: made at the first use, never destroyed (the process
// ends by _exit).
Relay& ServiceRelay() {
  static Relay* relay = new Relay;
  return *relay;
}

}  // namespace

void ServiceStart() { ServiceRelay().Start(); }

int ServiceStop() {
  ServiceRelay().Stop();
  return 0;
}

void ServiceRequestStop(int code) { ServiceRelay().RequestStop(code); }

int RequestedStopCode() { return ServiceRelay().StopCode(); }

bool ServiceWaitStopped(std::chrono::milliseconds limit) { return ServiceRelay().Stopped().WaitFor(limit); }
