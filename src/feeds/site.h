// Outgoing sites: one peer the relay feeds, with its host and port, its
// distribution (which articles it wants), its feeding parameters, its
// statistics and up to 20 feeders, each a connection with a thread of its
// own. A site's slot in its table is its bit in the articles' feed flags.
//
// The site hands its feeders batches of articles from the history under
// its lock. An article stays flagged for the site in its history entry
// until the site has answered it (or it is passed over on purpose), so the
// flags on disk are the record of what is still owed, and survive a crash;
// meanwhile the site's claims keep two feeders from holding one article.
// What a feeder held without an answer (its loop broke twice, it was
// deleted, the site said "try again later") goes back to the site and is
// offered again, before the history walk goes on.
//
// Lifetime: the control interpreter is the only writer of a table's slots.
// A deleted site leaves its slot but stays with its table until the table
// goes (after the relay's stop has ended every feeder and reader), so a
// feeder still winding down, or a statistics reader that fetched the
// pointer just before, can go on using it. A feeder hands itself to its
// site when it ends; the site joins and frees it.
#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "distrib/distrib.h"
#include "history/history.h"
#include "history/position_set.h"
#include "platform/threads.h"
#include "spool/article_spool.h"

class Feeder;

// The waits of a feeder. The defaults are the relay's; tests shorten them.
struct FeederTimings {
  int firstConnectFailedMs = 30000;  // before the first connection: refused
  int firstNoAccessMs = 300000;      // before the first connection: no access
  int reconnectMs = 5000;            // any later reconnection
  uint32_t recycleSeconds = 3600;    // a connection is renewed after this
  int checkThrottleMs = 6000;        // pause after a throttled check or ihave
  int takethisThrottleMs = 5000;     // pause after a throttled takethis
  uint32_t replySeconds = 600;       // a wait for a reply line fails after this
};
class SiteTable;

// A feeder's figures for monitoring: its counts of the current feed loop
// (they start again at each loop, as its state string shows them) and
// whether it holds a connection to its site.
struct FeederFigures {
  uint32_t index;
  bool connected;
  uint32_t accepted, refused, rejected;
};

inline constexpr uint32_t kMaxSites = 128;
inline constexpr uint32_t kFeedersPerSite = 20;
inline constexpr uint32_t kMaxHostName = 255;
// A batch of articles is at most this long (the check window's cap).
inline constexpr uint32_t kMaxPrefetch = 29;
// An article the site answers "try again later" this often is given up
// (counted as refused).
inline constexpr uint16_t kMaxDeferrals = 10;

// What became of an article of a feeder's batch.
enum class Outcome : uint8_t {
  kPending,    // no final answer yet: offered again
  kAnswered,   // accepted, rejected or refused: no longer owed
  kDeferred,   // "try again later": offered again after the deferral delay
  kSpoolGone,  // its spool file is gone: passed over
};

// Why a site passed articles over.
enum PassedOverReason { kPassedBacklog = 0, kPassedSpoolGone = 1 };

class Site {
 public:
  // A site named `hostName` (at most 255 characters) in slot `siteIndex`,
  // with the configured MaxBacklog, LatencyFeedPrefetch and
  // RegularFeedPrefetch (the prefetch values capped at 29).
  Site(const char* hostName, uint32_t siteIndex, SiteTable* table);
  ~Site();  // its feeders have ended

  int SetPort(uint32_t port);
  // Builds a distribution from `text` under the site's bit. On success the
  // new one replaces the old (which is unlinked, not freed) and 1 is
  // returned; a refused text leaves everything as it was and returns 0.
  int SetFeedInfo(const char* text);
  // Starts a feeder of type `feedType` at the article `startId` (nullptr,
  // or not in the history: at the end of the history) in the lowest free of
  // the 20 places. Its index, or -1 without a port or a distribution, or
  // with 20 feeders. A site that inherited its queue from before a restart
  // (InheritQueue) starts its feeders without `startId` at that queue
  // instead, except those of types 'n' and 'N', which skip what
  // accumulated by design.
  int CreateFeeder(char feedType, const char* startId);
  // Asks feeder `index` to stop and end itself (it does so after its
  // current batch, or at once when it waits for articles). Other indexes
  // are ignored. Returns 1.
  int DeleteFeeder(uint32_t index);
  // Unlinks the site's distribution from the list, so that no article
  // stored from now on is flagged for it (a deleted site's slot, and so its
  // bit, may go to a new site). The record stays for its readers.
  void StopDistribution();
  // Asks every feeder to end after its current batch, as the relay stops;
  // CutOffFeeders ends the waits for replies of those still at it.
  void StopFeeders();
  void CutOffFeeders();
  bool HasFeeders();
  // Called by a feeder's own thread as it ends: after this, nothing but the
  // site's list of ended feeders refers to the feeder.
  void ForgetFeeder(Feeder* feeder);
  // Joins and frees the feeders that have ended (or are ending: called
  // ForgetFeeder).
  void JoinEndedFeeders();

  // The queue this site had before a restart, as the Message-ID of the
  // entry from which its feeders walk ("": the oldest); taken by the
  // feeders created while the start-up script runs, or else by the first
  // one created after it.
  void InheritQueue(const std::string& startId);
  // After the start-up script: a queue inherited and taken is used up.
  void EndStartup();
  // The Message-ID of an entry at or before everything still owed to this
  // site as far as its feeders know (claimed, given back, deferred, not yet
  // walked). False when nothing is known (no feeder walks the history).
  bool QueueMark(std::string* id);

  const char* GetHostName() const { return hostName_; }
  SiteTable* table() const { return table_; }
  _distrib* GetDistribution() const { return distribution_.load(); }
  uint32_t GetSitePort() const { return port_.load(); }
  uint32_t GetSiteIndex() const { return siteIndex_; }

  // Fills up to *count slots with the next articles for this site: first
  // what was given back or is due after a deferral and suits the cursor's
  // feed type, then what the cursor finds walking on. Each is claimed for
  // the caller until Settle or GiveBack. Waits, with the lock released,
  // until there is at least one or `stop` is nonzero (then delivering
  // none). *count receives the number delivered. Returns 1.
  int GetNextEntry(_histentry* cursor, _histentry* slots, uint32_t* count,
                   const std::atomic<uint32_t>* stop = nullptr);
  // Settles a batch: answered articles are no longer owed (their bits are
  // cleared), those whose spool file is gone are passed over (counted),
  // deferred ones wait for the deferral delay. Pending ones stay claimed by
  // the caller and move, in order, to the front of `slots`; their number is
  // returned.
  uint32_t Settle(_histentry* slots, Outcome* outcomes, uint32_t count);
  // Articles a feeder held and will not offer: offered again by the next
  // feeder that asks.
  void GiveBack(const _histentry* slots, uint32_t count);

  void ConnectIncr() { connects.fetch_add(1, std::memory_order_relaxed); }

  // "{site %s} {accepts %u} {refused %u} {rejects %u} {articles_per_second
  // %4.4f} {elapsed_time %u} {flagged_for %u} {inpath %u} {connects %u}".
  // With articles counted and no elapsed time yet, the time becomes 1 s.
  std::string GetStateString();
  // The site's parameters, its feeders' state strings and its statistics.
  std::string GetSiteInfo();
  // The figures of each of its feeders.
  std::vector<FeederFigures> GetFeederFigures();

  // Parameters, written by the control commands (which check their ranges)
  // and read by the feeders.
  std::atomic<uint32_t> streaming{1};
  std::atomic<uint32_t> noCheckN{0}, noCheckL{0};
  std::atomic<uint32_t> latencyFeedPrefetch{5}, regularFeedPrefetch{20};
  std::atomic<uint32_t> maxBacklog{5000};
  // Raised after a parameter change; feeders end their feed loop when it
  // moved since the loop began.
  std::atomic<uint32_t> updateCount{0};

  // Statistics, added to by the feeders.
  std::atomic<uint32_t> accepts{0}, refused{0}, rejects{0};
  std::atomic<uint32_t> elapsedTime{0};  // seconds of all feed loops
  std::atomic<uint32_t> connects{0};
  std::atomic<uint32_t> deferred{0};  // "try again later" answers
  std::atomic<uint64_t> passedOver[2] = {0, 0};  // by PassedOverReason

  // Logs what was passed over since the last such line, at most once a
  // minute (or now with `force`).
  void LogPassedOver(bool force = false);

 private:
  // An article the site holds for its feeders, by absolute position.
  struct Owed {
    uint64_t position;
    int64_t dueMs;  // deferred: not offered before this tick
    uint16_t deferrals;
  };
  // Moves the owed articles that suit `cursor`'s feed type (and are due)
  // into the slots; drops those no longer owed.
  uint32_t TakeOwed(std::deque<Owed>* owed, const _histentry& cursor, _histentry* slots, uint32_t room, int64_t now,
                    bool deferredQueue);
  void Unclaim(uint64_t position) { claims_.Erase(position); }
  int64_t NextDueMs();  // -1 when nothing is deferred

  // Two locks, taken in this order when both are needed: the history walk
  // (the claims, the lists of owed articles, the feeders' cursors), which a
  // feeder may hold while its steps wait out an expiry; and the feeder
  // table with what decides where new feeders start, which statistics and
  // site commands take and which is never held for long.
  std::mutex walkMu_;
  std::mutex feedersMu_;
  std::unique_ptr<Feeder> feeders_[kFeedersPerSite];
  // Feeders whose threads have ended or are ending, to be joined and freed
  // by the next CreateFeeder or JoinEndedFeeders, never by themselves.
  std::vector<std::unique_ptr<Feeder>> ended_;
  char hostName_[kMaxHostName + 1] = {};
  std::atomic<uint32_t> port_{0};
  uint32_t siteIndex_;
  SiteTable* const table_;  // its owner
  std::string feedInfo_ = "not-set-yet";  // the control thread's alone
  std::atomic<_distrib*> distribution_{nullptr};
  // Under walkMu_:
  PositionSet claims_;         // every article below, and those feeders hold
  std::deque<Owed> returned_;  // given back by feeders
  std::deque<Owed> deferred_;  // deferred, in order of their due time
  uint32_t deferDelayMs_;  // fixed
  // Under feedersMu_:
  std::optional<std::string> inherited_;  // the queue from before a restart ("": the oldest entry)
  uint64_t parked_ = UINT64_MAX;  // the lowest place where an ended feeder stopped walking
  bool hadFeeder_ = false;
  // Passed-over articles not logged yet, and when the last line went out.
  std::mutex logMu_;
  uint64_t unloggedPassed_[2] = {0, 0};
  int64_t lastPassedLogMs_ = -1;
};

// The relay's sites: the table by slot, every site ever made (deleted
// ones stay, for feeders still ending and readers that hold them), and the
// record of where their queues start (site_queues.h). The relay owns it;
// the control commands, the statistics and the metrics borrow it.
class SiteTable {
 public:
  // Its sites' distributions are made in `distributions`; their feeders
  // walk `history` and send from `spool`; all log to and count in `base`.
  // All four must outlive the table.
  SiteTable(RelayBase* base, Distributions* distributions, History* history, ArticleSpool* spool)
      : base_(base), distributions_(distributions), history_(history), spool_(spool) {}
  ~SiteTable();  // stops the recorder; the feeders must have been stopped
  SiteTable(const SiteTable&) = delete;
  SiteTable& operator=(const SiteTable&) = delete;

  // Every site by slot; null where there is none. The control interpreter
  // is the only writer.
  std::atomic<Site*> siteArray[kMaxSites] = {};

  // Makes a site that lives as long as the table: the one way sites are made.
  Site* MakeSite(const char* hostName, uint32_t siteIndex);

  // "{sites " + "{<site's state string>} " for each site in slot order + "} ".
  std::string ReturnSiteStatsString();

  RelayBase* base() const { return base_; }
  Distributions* distributions() const { return distributions_; }
  History* history() const { return history_; }
  ArticleSpool* spool() const { return spool_; }

  // The waits of this table's feeders; the defaults restored by a
  // default-constructed value. For tests.
  void SetFeederTimings(const FeederTimings& timings);
  FeederTimings Timings();

  // The queues' record (site_queues.h).
  void BeginSiteStartup();
  void InheritRecordedQueue(Site* site);
  void EndSiteStartup();
  bool SiteStartupOver() const { return !startupRunning_; }
  bool WriteSiteQueues();
  void StopFeeds(std::chrono::milliseconds limit);

 private:
  struct RecordedQueue {
    std::string name;
    std::string startId;
    bool inherited = false;
  };
  // Every site made so far, deleted ones too (whose feeders may still end).
  std::vector<Site*> SitesEverMade();
  void ReadRecord();
  void ClearUninherited();
  void RecordNow();

  RelayBase* const base_;
  Distributions* const distributions_;
  History* const history_;
  ArticleSpool* const spool_;
  std::mutex timingsMu_;
  FeederTimings timings_;
  std::mutex storeMu_;
  std::vector<std::unique_ptr<Site>> store_;
  std::mutex recordMu_;
  std::map<uint32_t, RecordedQueue> recorded_;  // by slot, while the start-up script runs
  std::atomic<bool> startupRunning_{false};
  std::mutex writing_;  // one staging file: one writer at a time
  PeriodicThread recorder_;  // last: stopped first
};
