// One news relay: the subsystems it is made of, started in the order each
// needs the others and stopped in the reverse order.
//
// Ownership: a Relay owns every object below, and through them all the
// state of the relay: nothing of one relay lives outside it, so several
// relays may run in one process. It lends pointers to them (every
// subsystem borrows the base; a connection borrows the spool and the
// precommit cache; the metrics server reads the caches' figures); each
// lent pointer stays valid until the borrower has been stopped, which the
// stop sequence does first.
#pragma once
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "base/relay_base.h"
#include "control/commands.h"
#include "control/interpreter.h"
#include "dedupe/precommit.h"
#include "dedupe/seen.h"
#include "feeds/site.h"
#include "history/history.h"
#include "incoming/client_context.h"
#include "incoming/incoming_table.h"
#include "incoming/listener.h"
#include "platform/event.h"
#include "service/metrics.h"
#include "spool/article_spool.h"
#include "spool/spool_dir.h"

class Relay {
 public:
  // A relay on the configuration file `configPath`; empty: the file named
  // by VELTRANE_CONFIG.
  explicit Relay(std::string configPath = {}) : configPath_(std::move(configPath)), listener_(&intake_) {}
  ~Relay();
  Relay(const Relay&) = delete;
  Relay& operator=(const Relay&) = delete;

  // The start-up sequence, strictly in order, then the listener; returns
  // once a stop has been requested. The caller then runs Stop.
  void Start();

  // Asks the relay to stop with the process exit code `code` (the first
  // request's code counts): Start returns. From any thread, without
  // waiting for the stop.
  void RequestStop(int code);

  // Waits for a stop request; its exit code.
  int StopCode();

  // The stop sequence, on the thread that ran Start after it has returned:
  // ends the control socket and interpreter, the connections, the
  // feeders, shuts the store, history and log, ends the background
  // threads and the metrics server, then signals Stopped. Every thread
  // the relay started has been joined when it returns.
  void Stop();

  // Set once Stop has ended.
  ManualResetEvent& Stopped() { return stopped_; }

 private:
  const std::string configPath_;
  RelayBase base_;  // first made, last gone: every other object borrows it
  MetricsSources metricsSources_;
  std::unique_ptr<MetricsServer> metrics_;
  std::unique_ptr<PeerTable> peers_;
  std::unique_ptr<PrecommitCache> precommit_;
  std::unique_ptr<SeenDb> seen_;
  std::unique_ptr<Distributions> distributions_;
  std::unique_ptr<History> history_;
  std::unique_ptr<ArticleSpool> spool_;
  std::unique_ptr<SpoolDirectory> spoolDirectory_;
  std::unique_ptr<SiteTable> sites_;
  // What the relay lends the interpreter's commands and the connections.
  ControlTargets controlTargets_;
  Intake intake_;
  Listener listener_;  // made with the relay, so that a stop may be asked at any time
  std::unique_ptr<ControlInterpreter> interpreter_;

  std::mutex stopMu_;
  std::condition_variable stopCv_;
  std::optional<int> stopCode_;
  ManualResetEvent stopped_;
};
