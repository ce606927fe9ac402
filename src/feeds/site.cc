#include "feeds/site.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "base/config.h"
#include "feeds/feeder.h"
#include "history/history_cursor.h"

std::atomic<Site*> siteArray[kMaxSites];

Site* MakeSite(const char* hostName, uint32_t siteIndex) {
  static std::mutex storeMutex;
  // Never emptied, and never destroyed either: feeder threads may still use
  // their sites while a process that does not end by _exit runs its
  // static destructors.
  static auto* store = new std::vector<std::unique_ptr<Site>>;
  std::lock_guard<std::mutex> lock(storeMutex);
  return store->emplace_back(std::make_unique<Site>(hostName, siteIndex)).get();
}

namespace {

uint32_t ConfiguredOr(const char* key, uint32_t value) {
  GetConfigInt(key, &value);
  return value;
}

}  // namespace

Site::Site(const char* hostName, uint32_t siteIndex) : siteIndex_(siteIndex) {
  snprintf(hostName_, sizeof hostName_, "%s", hostName);
  maxBacklog = ConfiguredOr("MaxBacklog", 5000);
  latencyFeedPrefetch = std::min(ConfiguredOr("LatencyFeedPrefetch", 5), kMaxPrefetch);
  regularFeedPrefetch = std::min(ConfiguredOr("RegularFeedPrefetch", 20), kMaxPrefetch);
}

int Site::SetPort(uint32_t port) {
  port_ = port;
  return 1;
}

int Site::SetFeedInfo(const char* text) {
  std::string copy = text;  // shown exactly as given
  _distrib* record = BuildDistrib(siteIndex_, copy.c_str());
  if (record == nullptr) return 0;
  _distrib* old = distribution_.exchange(record);
  if (old != nullptr) DeleteDistrib(old);
  feedInfo_ = std::move(copy);
  return 1;
}

int Site::CreateFeeder(char feedType, const char* startId) {
  if (port_ == 0 || distribution_.load() == nullptr) return -1;
  _histentry* start = startId != nullptr ? FindArticle(startId) : nullptr;
  std::lock_guard<std::mutex> lock(lock_);
  auto free = std::find(std::begin(feeders_), std::end(feeders_), nullptr);
  Feeder* feeder = free == std::end(feeders_) ? nullptr : new Feeder(this, feedType, start);
  if (start != nullptr) DestroyEntry(start);
  if (feeder == nullptr) return -1;
  feeder->index = uint32_t(free - std::begin(feeders_));
  if (!feeder->Start()) {
    delete feeder;
    return -1;
  }
  *free = feeder;
  return int(feeder->index);
}

void Site::StopDistribution() {
  if (_distrib* d = distribution_.load()) DeleteDistrib(d);
}

int Site::DeleteFeeder(uint32_t index) {
  std::lock_guard<std::mutex> lock(lock_);
  if (index < kFeedersPerSite && feeders_[index] != nullptr) {
    feeders_[index]->RequestDelete();
    WakeHistoryWaiters();
  }
  return 1;
}

void Site::ForgetFeeder(Feeder* feeder) {
  std::lock_guard<std::mutex> lock(lock_);
  for (Feeder*& f : feeders_) {
    if (f == feeder) f = nullptr;
  }
}

int Site::GetNextEntry(_histentry* slots, uint32_t* count, const std::atomic<uint32_t>* stop) {
  uint32_t found = 0;
  {
    std::unique_lock<std::mutex> lock(lock_);
    for (uint32_t i = 0; i < *count; i++) {
      if (HistGetNextEntry(&slots[i], maxBacklog) == 0) break;
      found++;
      if (i + 1 < *count) {
        slots[i + 1].position = slots[i].position;
        slots[i + 1].expireSerial = slots[i].expireSerial;
        slots[i + 1].feedType = slots[i].feedType;
      }
    }
    while (found == 0 && (stop == nullptr || stop->load() == 0)) {
      lock.unlock();
      WaitNextHistoryEntry();
      lock.lock();
      if (HistGetNextEntry(&slots[0], maxBacklog) != 0) found = 1;
    }
  }
  *count = found;
  if (found > 1) {
    slots[0].position = slots[found - 1].position;
    slots[0].expireSerial = slots[found - 1].expireSerial;
  }
  return 1;
}

std::string Site::GetStateString() {
  uint32_t a = accepts, r = refused, j = rejects, elapsed = elapsedTime;
  float rate = 0;
  if (a + r + j != 0) {
    if (elapsed == 0) elapsedTime = elapsed = 1;
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
    std::lock_guard<std::mutex> lock(lock_);
    if (feeders_[i] != nullptr) info += feeders_[i]->GetStateString();
  }
  return info + "}} {statistics {" + GetStateString() + "}}}}";
}

std::vector<FeederFigures> Site::GetFeederFigures() {
  std::vector<FeederFigures> figures;
  std::lock_guard<std::mutex> lock(lock_);
  for (Feeder* f : feeders_) {
    if (f != nullptr) figures.push_back(f->Figures());
  }
  return figures;
}

std::string ReturnSiteStatsString() {
  std::string out = "{sites ";
  for (const std::atomic<Site*>& slot : siteArray) {
    if (Site* site = slot.load()) out += "{" + site->GetStateString() + "} ";
  }
  return out + "} ";
}
