#include "feeds/site.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "base/config.h"
#include "base/log.h"
#include "feeds/feeder.h"
#include "feeds/site_queues.h"
#include "history/history_cursor.h"

Site* SiteTable::MakeSite(const char* hostName, uint32_t siteIndex) {
  std::lock_guard<std::mutex> lock(storeMu_);
  return store_.emplace_back(std::make_unique<Site>(hostName, siteIndex, this)).get();
}

void SiteTable::SetFeederTimings(const FeederTimings& timings) {
  std::lock_guard<std::mutex> lock(timingsMu_);
  timings_ = timings;
}

FeederTimings SiteTable::Timings() {
  std::lock_guard<std::mutex> lock(timingsMu_);
  return timings_;
}

std::vector<Site*> SiteTable::SitesEverMade() {
  std::lock_guard<std::mutex> lock(storeMu_);
  std::vector<Site*> sites;
  for (auto& site : store_) sites.push_back(site.get());
  return sites;
}

namespace {

uint32_t ConfiguredOr(const Config& config, const char* key, uint32_t value) {
  config.GetConfigInt(key, &value);
  return value;
}

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

constexpr int64_t kPassedOverLogMs = 60000;
constexpr uint32_t kHourMs = 3600000;

bool WalksHistory(char type) { return type != 'n' && type != 'N'; }

}  // namespace

Site::Site(const char* hostName, uint32_t siteIndex, SiteTable* table) : siteIndex_(siteIndex), table_(table) {
  snprintf(hostName_, sizeof hostName_, "%s", hostName);
  const Config& config = table->base()->config;
  maxBacklog = ConfiguredOr(config, "MaxBacklog", 5000);
  latencyFeedPrefetch = std::min(ConfiguredOr(config, "LatencyFeedPrefetch", 5), kMaxPrefetch);
  regularFeedPrefetch = std::min(ConfiguredOr(config, "RegularFeedPrefetch", 20), kMaxPrefetch);
  // As long as another relay may hold the article in its precommit cache.
  deferDelayMs_ = ConfiguredOr(config, "MaxPrecommitAge", 30000);
}

Site::~Site() = default;

int Site::SetPort(uint32_t port) {
  port_ = port;
  return 1;
}

int Site::SetFeedInfo(const char* text) {
  std::string copy = text;  // shown exactly as given
  _distrib* record = table_->distributions()->BuildDistrib(siteIndex_, copy.c_str());
  if (record == nullptr) return 0;
  _distrib* old = distribution_.exchange(record);
  if (old != nullptr) table_->distributions()->DeleteDistrib(old);
  feedInfo_ = std::move(copy);
  return 1;
}

int Site::CreateFeeder(char feedType, const char* startId) {
  if (port_ == 0 || distribution_.load() == nullptr) return -1;
  _histentry start{};
  bool started = false;
  if (_histentry* found = startId != nullptr ? table_->history()->FindArticle(startId) : nullptr) {
    start = *found;
    started = true;
    table_->history()->DestroyEntry(found);
  }
  std::optional<std::string> queue;
  if (!started && WalksHistory(feedType)) {
    std::lock_guard<std::mutex> lock(feedersMu_);
    queue = inherited_;
  }
  if (queue) {
    table_->history()->HistStartAt(queue->c_str(), &start);
    started = true;
  }
  JoinEndedFeeders();
  // Made outside the locks: it reads the history.
  auto feeder = std::make_unique<Feeder>(this, feedType, started ? &start : nullptr);
  std::lock_guard<std::mutex> lock(feedersMu_);
  auto free = std::find(std::begin(feeders_), std::end(feeders_), nullptr);
  if (free == std::end(feeders_)) return -1;
  feeder->index = uint32_t(free - std::begin(feeders_));
  if (!feeder->Start()) return -1;
  *free = std::move(feeder);
  if (queue) {
    parked_ = UINT64_MAX;  // the new feeder walks from before it
    // After the start-up script only the first feeder takes the queue.
    if (table_->SiteStartupOver()) inherited_.reset();
  }
  hadFeeder_ = hadFeeder_ || WalksHistory(feedType);
  return int((*free)->index);
}

void Site::StopDistribution() {
  if (_distrib* d = distribution_.load()) table_->distributions()->DeleteDistrib(d);
}

int Site::DeleteFeeder(uint32_t index) {
  std::lock_guard<std::mutex> lock(feedersMu_);
  if (index < kFeedersPerSite && feeders_[index] != nullptr) {
    feeders_[index]->RequestDelete();
    WakeHistoryWaiters(*table_->history());
  }
  return 1;
}

void Site::StopFeeders() {
  std::lock_guard<std::mutex> lock(feedersMu_);
  for (auto& f : feeders_) {
    if (f != nullptr) f->RequestShutdown();
  }
  WakeHistoryWaiters(*table_->history());
}

void Site::CutOffFeeders() {
  std::lock_guard<std::mutex> lock(feedersMu_);
  for (auto& f : feeders_) {
    if (f != nullptr) f->CutOff();
  }
}

bool Site::HasFeeders() {
  std::lock_guard<std::mutex> lock(feedersMu_);
  return std::any_of(std::begin(feeders_), std::end(feeders_), [](auto& f) { return f != nullptr; });
}

void Site::ForgetFeeder(Feeder* feeder) {
  std::lock_guard<std::mutex> lock(feedersMu_);
  for (auto& f : feeders_) {
    if (f.get() == feeder) ended_.push_back(std::move(f));
  }
  // What it had not walked yet is still owed: a restart walks from there.
  uint64_t at = table_->history()->HistAbsolutePosition(feeder->Cursor());
  if (WalksHistory(feeder->FeedType()) && at != 0) parked_ = std::min(parked_, at);
}

void Site::JoinEndedFeeders() {
  std::vector<std::unique_ptr<Feeder>> joining;
  {
    std::lock_guard<std::mutex> lock(feedersMu_);
    joining.swap(ended_);
  }
  for (auto& f : joining) f->Join();  // outside the lock, which an ending feeder may still want
}

void Site::InheritQueue(const std::string& startId) {
  std::lock_guard<std::mutex> lock(feedersMu_);
  inherited_ = startId;
}

void Site::EndStartup() {
  std::lock_guard<std::mutex> lock(feedersMu_);
  if (hadFeeder_) inherited_.reset();
}

bool Site::QueueMark(std::string* id) {
  std::lock_guard<std::mutex> walk(walkMu_);  // the claims and the feeders' cursors
  std::lock_guard<std::mutex> lock(feedersMu_);
  if (inherited_) {
    *id = *inherited_;
    return true;
  }
  uint64_t lowest = std::min(claims_.Lowest(), parked_);
  for (auto& f : feeders_) {
    uint64_t at = f != nullptr && WalksHistory(f->FeedType()) ? table_->history()->HistAbsolutePosition(f->Cursor()) : 0;
    if (at != 0) lowest = std::min(lowest, at);  // 0: at the end once it looks again ('L', 'l')
  }
  if (lowest == UINT64_MAX) return false;
  *id = table_->history()->HistMarkAt(lowest);
  return true;
}

uint32_t Site::TakeOwed(std::deque<Owed>* owed, const _histentry& cursor, _histentry* slots, uint32_t room,
                        int64_t now, bool deferredQueue) {
  uint32_t taken = 0;
  for (auto it = owed->begin(); it != owed->end() && taken < room;) {
    if (deferredQueue && it->dueMs > now) break;  // in order of their due time
    _histentry& slot = slots[taken];
    slot = cursor;
    if (!table_->history()->HistEntryAt(it->position, cursor.distribution, &slot)) {  // cut away, or answered meanwhile
      Unclaim(it->position);
      it = owed->erase(it);
      continue;
    }
    if (!FeedTypeTakesLength(cursor.feedType, slot.header.length)) {  // it passed the lag rules once
      ++it;
      continue;
    }
    slot.deferrals = it->deferrals;
    it = owed->erase(it);
    taken++;
  }
  return taken;
}

int64_t Site::NextDueMs() { return deferred_.empty() ? -1 : deferred_.front().dueMs; }

int Site::GetNextEntry(_histentry* cursor, _histentry* slots, uint32_t* count, const std::atomic<uint32_t>* stop) {
  uint32_t found = 0;
  CursorSite walk{&claims_};
  {
    std::unique_lock<std::mutex> lock(walkMu_);
    for (;;) {
      int64_t now = NowMs();
      found = TakeOwed(&returned_, *cursor, slots, *count, now, false);
      found += TakeOwed(&deferred_, *cursor, slots + found, *count - found, now, true);
      while (found < *count && HistGetNextEntry(*table_->history(), cursor, maxBacklog, &walk) == 1) {
        slots[found++] = *cursor;
        if (!WalksHistory(cursor->feedType)) cursor->position = 0;  // back to the end after each
      }
      if (found != 0 || (stop != nullptr && stop->load() != 0)) break;
      int64_t due = NextDueMs();
      uint32_t waitMs = due < 0 ? kHourMs : uint32_t(std::clamp<int64_t>(due - now, 1, kHourMs));
      lock.unlock();
      WaitNextHistoryEntry(*table_->history(), *cursor, waitMs);
      lock.lock();
    }
  }
  *count = found;
  if (walk.passedOver != 0) {
    passedOver[kPassedBacklog] += walk.passedOver;
    {
      std::lock_guard<std::mutex> lock(logMu_);
      unloggedPassed_[kPassedBacklog] += walk.passedOver;
    }
    LogPassedOver();
  }
  return 1;
}

uint32_t Site::Settle(_histentry* slots, Outcome* outcomes, uint32_t count) {
  uint32_t gone = 0, kept = 0;
  {
    std::lock_guard<std::mutex> lock(walkMu_);
    const int64_t due = NowMs() + deferDelayMs_;
    for (uint32_t i = 0; i < count; i++) {
      const uint64_t position = table_->history()->HistAbsolutePosition(slots[i]);
      switch (outcomes[i]) {
        case Outcome::kPending:
          if (kept != i) slots[kept] = slots[i];
          outcomes[kept++] = Outcome::kPending;
          break;
        case Outcome::kDeferred:
          deferred_.push_back(Owed{position, due, uint16_t(slots[i].deferrals + 1)});
          break;
        case Outcome::kSpoolGone:
          gone += table_->history()->HistClearBit(position, slots[i].distribution);
          Unclaim(position);
          break;
        case Outcome::kAnswered:
          table_->history()->HistClearBit(position, slots[i].distribution);
          Unclaim(position);
          break;
      }
    }
  }
  if (gone != 0) {
    passedOver[kPassedSpoolGone] += gone;
    {
      std::lock_guard<std::mutex> lock(logMu_);
      unloggedPassed_[kPassedSpoolGone] += gone;
    }
    LogPassedOver();
  }
  return kept;
}

void Site::GiveBack(const _histentry* slots, uint32_t count) {
  if (count == 0) return;
  {
    std::lock_guard<std::mutex> lock(walkMu_);
    for (uint32_t i = 0; i < count; i++) returned_.push_back(Owed{table_->history()->HistAbsolutePosition(slots[i]), 0, slots[i].deferrals});
  }
  WakeHistoryWaiters(*table_->history());
}

void Site::LogPassedOver(bool force) {
  static const char* const kWhy[] = {"more than MaxBacklog behind", "spool file gone"};
  std::lock_guard<std::mutex> lock(logMu_);
  if (unloggedPassed_[0] + unloggedPassed_[1] == 0) return;
  int64_t now = NowMs();
  if (!force && lastPassedLogMs_ >= 0 && now - lastPassedLogMs_ < kPassedOverLogMs) return;
  lastPassedLogMs_ = now;
  for (int why = 0; why < 2; why++) {
    if (unloggedPassed_[why] == 0) continue;
    table_->base()->log.LogLinef("passed over %llu articles for %s: %s", static_cast<unsigned long long>(unloggedPassed_[why]), hostName_,
             kWhy[why]);
    unloggedPassed_[why] = 0;
  }
}

std::string Site::GetStateString() {
  uint32_t a = accepts, r = refused, j = rejects, elapsed = elapsedTime;
  float rate = 0;
  if (a + r + j != 0) {
    if (elapsed == 0) {
      // Only a zero becomes 1: a feeder's addition meanwhile is kept (and read).
      elapsedTime.compare_exchange_strong(elapsed, 1);
      if (elapsed == 0) elapsed = 1;
    }
    rate = float(double(a + r + j) / double(elapsed));
  }
  _distrib* d = distribution_.load();
  char text[512];
  snprintf(text, sizeof text,
           "{site %s} {accepts %u} {refused %u} {rejects %u} {articles_per_second %4.4f} {elapsed_time %u} "
           "{flagged_for %u} {inpath %u} {connects %u}",
           hostName_, a, r, j, double(rate), elapsed, d != nullptr ? d->flaggedFor.load() : 0,
           d != nullptr ? d->inPath.load() : 0, connects.load());
  return text;
}

std::string Site::GetSiteInfo() {
  char head[512];
  snprintf(head, sizeof head,
           "{%s {{parameters {{Port %u} {LatencyFeedPrefetch %u} {RegularFeedPrefetch %u} {Streaming %u} "
           "{MaxBacklog %u} {NoCheckN %u} {NoCheckL %u} {Distribution {",
           hostName_, port_.load(), latencyFeedPrefetch.load(), regularFeedPrefetch.load(), streaming.load(),
           maxBacklog.load(), noCheckN.load(), noCheckL.load());
  std::string info = head + feedInfo_ + "}}}} {feeders {";
  for (uint32_t i = 0; i < kFeedersPerSite; i++) {
    std::lock_guard<std::mutex> lock(feedersMu_);
    if (feeders_[i] != nullptr) info += feeders_[i]->GetStateString();
  }
  return info + "}} {statistics {" + GetStateString() + "}}}}";
}

std::vector<FeederFigures> Site::GetFeederFigures() {
  std::vector<FeederFigures> figures;
  std::lock_guard<std::mutex> lock(feedersMu_);
  for (auto& f : feeders_) {
    if (f != nullptr) figures.push_back(f->Figures());
  }
  return figures;
}

std::string SiteTable::ReturnSiteStatsString() {
  std::string out = "{sites ";
  for (const std::atomic<Site*>& slot : siteArray) {
    if (Site* site = slot.load()) out += "{" + site->GetStateString() + "} ";
  }
  return out + "} ";
}
