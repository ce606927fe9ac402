// Outgoing sites: one peer the relay feeds, with its host and port, its
// distribution (which articles it wants), its feeding parameters, its
// statistics and up to 20 feeders, each a connection with a thread of its
// own. A site's slot in siteArray is its bit in the articles' feed flags.
//
// The site hands its feeders batches of articles from the history under
// its lock; since taking an article clears the site's bit in its history
// entry, two feeders of one site never get the same article.
//
// Lifetime: the control interpreter is the only writer of siteArray. A
// deleted site leaves the table but is never freed, so a feeder still
// winding down, or a statistics reader that fetched the pointer just
// before, can go on using it. A feeder removes itself from its site when it
// ends and frees itself afterwards.
#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "distrib/distrib.h"
#include "history/history.h"

class Feeder;

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

class Site {
 public:
  // A site named `hostName` (at most 255 characters) in slot `siteIndex`,
  // with the configured MaxBacklog, LatencyFeedPrefetch and
  // RegularFeedPrefetch (the prefetch values capped at 29).
  Site(const char* hostName, uint32_t siteIndex);

  int SetPort(uint32_t port);
  // Builds a distribution from `text` under the site's bit. On success the
  // new one replaces the old (which is unlinked, not freed) and 1 is
  // returned; a refused text leaves everything as it was and returns 0.
  int SetFeedInfo(const char* text);
  // Starts a feeder of type `feedType` at the article `startId` (nullptr,
  // or not in the history: at the end of the history) in the lowest free of
  // the 20 places. Its index, or -1 without a port or a distribution, or
  // with 20 feeders.
  int CreateFeeder(char feedType, const char* startId);
  // Asks feeder `index` to stop and end itself (it does so after its
  // current batch, or at once when it waits for articles). Other indexes
  // are ignored. Returns 1.
  int DeleteFeeder(uint32_t index);
  // Unlinks the site's distribution from the list, so that no article
  // stored from now on is flagged for it (a deleted site's slot, and so its
  // bit, may go to a new site). The record stays for its readers.
  void StopDistribution();
  // Called by a feeder's own thread as it ends: after this, nothing refers
  // to the feeder.
  void ForgetFeeder(Feeder* feeder);

  const char* GetHostName() const { return hostName_; }
  _distrib* GetDistribution() const { return distribution_.load(); }
  uint32_t GetSitePort() const { return port_.load(); }
  uint32_t GetSiteIndex() const { return siteIndex_; }

  // Fills up to *count history cursor slots with the next articles for
  // this site, each slot continuing after the one before; waits, with the
  // lock released, until there is at least one or `stop` is set (then
  // delivering none). *count receives the number delivered; slot 0 is left
  // positioned after the last. Returns 1.
  int GetNextEntry(_histentry* slots, uint32_t* count, const std::atomic<uint32_t>* stop = nullptr);

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

 private:
  std::mutex lock_;  // the feeder table and the history walk
  Feeder* feeders_[kFeedersPerSite] = {};
  char hostName_[kMaxHostName + 1] = {};
  std::atomic<uint32_t> port_{0};
  uint32_t siteIndex_;
  std::string feedInfo_ = "not-set-yet";  // the control thread's alone
  std::atomic<_distrib*> distribution_{nullptr};
};

// Every site by slot; null where there is none.
extern std::atomic<Site*> siteArray[kMaxSites];

// Makes a site that lives as long as the process (see Lifetime above): the
// one way sites are made.
Site* MakeSite(const char* hostName, uint32_t siteIndex);

// "{sites " + "{<site's state string>} " for each site in slot order + "} ".
std::string ReturnSiteStatsString();
