#include "feeds/site_queues.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <unistd.h>

#include "base/config.h"
#include "base/log.h"
#include "platform/threads.h"
#include "feeds/site.h"

namespace {

constexpr auto kRecordEvery = std::chrono::seconds(2);

constexpr auto kCutOffBound = std::chrono::milliseconds(130000);

std::string RecordPath(const Config& config) {
  const char* dir = config.GetConfigString("SiteRecordPath");
  if (dir == nullptr) dir = config.GetConfigString("HistoryDataPath");
  return dir == nullptr ? "" : std::string(dir) + "/site-queues";
}

HistFeedBit BitOf(uint32_t slot) { return HistFeedBit{1u << (slot % 32), slot / 32}; }

// "<slot>\t<name>\t<id>", with nothing else on the line; false otherwise.
bool ParseLine(const std::string& line, uint32_t* slot, std::string* name, std::string* startId) {
  size_t tab1 = line.find('\t'), tab2 = tab1 == std::string::npos ? tab1 : line.find('\t', tab1 + 1);
  if (tab2 == std::string::npos || line.find('\t', tab2 + 1) != std::string::npos) return false;
  std::string number = line.substr(0, tab1);
  if (number.empty() || number.size() > 3 || number.find_first_not_of("0123456789") != std::string::npos) return false;
  *slot = uint32_t(std::stoul(number));
  *name = line.substr(tab1 + 1, tab2 - tab1 - 1);
  *startId = line.substr(tab2 + 1);
  return *slot < kMaxSites && !name->empty();
}




// Waits until none of `sites` has a feeder, at most `limit`.
void WaitForFeeders(const std::vector<Site*>& sites, std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  for (Site* site : sites) {
    while (site->HasFeeders() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
}

}  // namespace

void SiteTable::ReadRecord() {
  std::string path = RecordPath(base_->config);
  FILE* f = path.empty() ? nullptr : fopen(path.c_str(), "r");
  if (f == nullptr) return;
  char buffer[1024];
  uint32_t bad = 0;
  while (fgets(buffer, sizeof buffer, f) != nullptr) {
    std::string line = buffer;
    if (!line.empty() && line.back() == '\n') line.pop_back();
    uint32_t slot;
    RecordedQueue q;
    if (ParseLine(line, &slot, &q.name, &q.startId)) {
      recorded_[slot] = q;
    } else {
      bad++;
    }
  }
  fclose(f);
  if (bad != 0) base_->log.LogLinef("site queues: %u unreadable lines in %s ignored", bad, path.c_str());
}

// A slot whose recorded site is not there any more: what was owed to that
// site is not the new owner's.
void SiteTable::ClearUninherited() {
  for (auto& [slot, q] : recorded_) {
    if (q.inherited) continue;
    uint32_t cleared = history_->HistClearBitFrom(q.startId.c_str(), BitOf(slot));
    Site* now = siteArray[slot].load();
    base_->log.LogLinef("site queues: slot %u was %s's and is now %s: %u articles owed to %s are not offered", slot,
             q.name.c_str(), now != nullptr ? now->GetHostName() : "empty", cleared, q.name.c_str());
  }
  recorded_.clear();
}

void SiteTable::RecordNow() {
  WriteSiteQueues();
  for (std::atomic<Site*>& slot : siteArray) {
    if (Site* site = slot.load()) site->LogPassedOver();
  }
}

SiteTable::~SiteTable() { recorder_.Stop(); }

void SiteTable::BeginSiteStartup() {
  std::lock_guard<std::mutex> lock(recordMu_);
  recorded_.clear();
  ReadRecord();
  startupRunning_ = true;
}

void SiteTable::InheritRecordedQueue(Site* site) {
  std::lock_guard<std::mutex> lock(recordMu_);
  if (!startupRunning_) return;
  auto it = recorded_.find(site->GetSiteIndex());
  if (it == recorded_.end() || it->second.inherited || it->second.name != site->GetHostName()) return;
  it->second.inherited = true;
  site->InheritQueue(it->second.startId);
}

void SiteTable::EndSiteStartup() {
  {
    std::lock_guard<std::mutex> lock(recordMu_);
    ClearUninherited();
    startupRunning_ = false;
  }
  for (std::atomic<Site*>& slot : siteArray) {
    if (Site* site = slot.load()) site->EndStartup();
  }
  // At once: a run killed before its first tick must still leave where its
  // queues start (a first start has no record at all).
  WriteSiteQueues();
  recorder_.Start(kRecordEvery, [this] { RecordNow(); }, false);
}

bool SiteTable::WriteSiteQueues() {
  std::lock_guard<std::mutex> lock(writing_);
  std::string path = RecordPath(base_->config);
  if (path.empty()) return true;
  std::string text;
  for (std::atomic<Site*>& slot : siteArray) {
    Site* site = slot.load();
    std::string id;
    if (site == nullptr || strpbrk(site->GetHostName(), "\t\n") != nullptr || !site->QueueMark(&id)) continue;
    text += std::to_string(site->GetSiteIndex()) + "\t" + site->GetHostName() + "\t" + id + "\n";
  }
  std::string staging = path + ".new";
  FILE* f = fopen(staging.c_str(), "w");
  bool ok = f != nullptr && fwrite(text.data(), 1, text.size(), f) == text.size();
  ok = f != nullptr && fflush(f) == 0 && fdatasync(fileno(f)) == 0 && ok;
  if (f != nullptr) ok = fclose(f) == 0 && ok;
  ok = ok && rename(staging.c_str(), path.c_str()) == 0;
  if (!ok) base_->log.LogLinef("site queues: could not write %s: %s", path.c_str(), strerror(errno));
  return ok;
}

void SiteTable::StopFeeds(std::chrono::milliseconds limit) {
  recorder_.Stop();
  // Deleted sites too: their feeders may still be ending.
  const std::vector<Site*> sites = SitesEverMade();
  for (Site* site : sites) site->StopFeeders();
  WaitForFeeders(sites, limit);
  // Feeders still waiting for replies now are cut off; what they sent goes
  // back to their sites and is offered again after the restart.
  for (Site* site : sites) site->CutOffFeeders();
  // A feeder connecting or sending one article ends within its own
  // time-outs (60 s each).
  WaitForFeeders(sites, kCutOffBound);
  for (Site* site : sites) site->JoinEndedFeeders();
  WriteSiteQueues();
  for (std::atomic<Site*>& slot : siteArray) {
    if (Site* site = slot.load()) site->LogPassedOver(true);
  }
}
