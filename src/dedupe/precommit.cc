#include "dedupe/precommit.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <new>

#include "base/config.h"
#include "base/message_log.h"
#include "platform/process.h"
#include "platform/threads.h"
#include "platform/ticks.h"

namespace {

constexpr uint32_t kDefaultHashSize = 263;
constexpr uint32_t kDefaultMaxAge = 30000;
// A free list this long absorbs the churn of a steady offer stream; a burst
// beyond it goes back to the heap.
constexpr uint32_t kMaxFreeCount = 11;

}  // namespace

// Both lists run newest first: following `bucketNext` or `ageNext` leads
// to older entries. `ageNext` also chains the free list.
struct PrecommitCache::Entry {
  uint32_t hash;
  uint32_t tick;
  uint32_t bucket;
  Entry* bucketNext;
  Entry* bucketPrev;
  Entry* ageNext;
  Entry* agePrev;
};

PrecommitCache::PrecommitCache(uint32_t hashSize, uint32_t maxAgeMs, Clock clock)
    : size_(hashSize != 0 ? hashSize : kDefaultHashSize), maxAge_(maxAgeMs), clock_(clock) {
  if (!bucketMemory_.Allocate(size_t(size_) * sizeof(Entry*))) {
    StartupFailure("could not allocate the precommit hash table\n");
  }
  buckets_ = static_cast<Entry**>(bucketMemory_.data());
  cleaner_.Start(
      std::chrono::milliseconds(1000), [this] { if (Entries() != 0) PrecommitClean(); }, false);
}

PrecommitCache::~PrecommitCache() {
  cleaner_.Stop();
  FreeList(head_);
  FreeList(freeHead_);
}

uint32_t PrecommitCache::Now() const { return clock_ != nullptr ? clock_() : GetTickCount(); }

// Caller holds mu_.
int PrecommitCache::CheckPrecommit(uint32_t idHash) {
  for (Entry* e = buckets_[idHash % size_]; e != nullptr; e = e->bucketNext) {
    if (e->hash == idHash) return 1;
  }
  return 0;
}

// Caller holds mu_. Null when the heap is exhausted.
PrecommitCache::Entry* PrecommitCache::TakeEntry() {
  if (freeHead_ == nullptr) return new (std::nothrow) Entry;
  Entry* e = freeHead_;
  freeHead_ = e->ageNext;
  freeCount_--;
  return e;
}

// Caller holds mu_.
void PrecommitCache::ReleaseEntry(Entry* e) {
  if (freeCount_ < kMaxFreeCount) {
    e->ageNext = freeHead_;
    freeHead_ = e;
    freeCount_++;
  } else {
    delete e;
  }
}

// Caller holds mu_. The oldest entry is the last of its bucket.
void PrecommitCache::UnlinkOldest() {
  Entry* e = tail_;
  if (e->bucketPrev != nullptr) {
    e->bucketPrev->bucketNext = nullptr;
  } else {
    buckets_[e->bucket] = nullptr;
  }
  tail_ = e->agePrev;
  if (tail_ != nullptr) {
    tail_->ageNext = nullptr;
  } else {
    head_ = nullptr;
  }
  liveCount_.store(liveCount_.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
  ReleaseEntry(e);
}

int PrecommitCache::AddPrecommit(uint32_t idHash) {
  std::lock_guard<std::mutex> lock(mu_);
  if (CheckPrecommit(idHash)) return 0;
  Entry* e = TakeEntry();
  // Without memory the offer is still taken: only the guard against a
  // second sender is lost for this article.
  if (e == nullptr) return 1;
  e->tick = Now();
  e->hash = idHash;
  e->bucket = idHash % size_;
  Entry*& bucketHead = buckets_[e->bucket];
  e->bucketPrev = nullptr;
  e->bucketNext = bucketHead;
  if (bucketHead != nullptr) bucketHead->bucketPrev = e;
  bucketHead = e;
  e->agePrev = nullptr;
  e->ageNext = head_;
  if (head_ != nullptr) {
    head_->agePrev = e;
  } else {
    tail_ = e;
  }
  head_ = e;
  liveCount_.store(liveCount_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  return 1;
}

void PrecommitCache::PrecommitClean() {
  std::lock_guard<std::mutex> lock(mu_);
  uint32_t now = Now();
  // Unsigned difference: ages stay right across the wrap of the tick count.
  while (tail_ != nullptr && now - tail_->tick > maxAge_) UnlinkOldest();
}

PrecommitCounts PrecommitCache::Counts() {
  std::lock_guard<std::mutex> lock(mu_);
  return PrecommitCounts{liveCount_.load(std::memory_order_relaxed), freeCount_};
}

void PrecommitCache::FreeList(Entry* e) {
  while (e != nullptr) {
    Entry* next = e->ageNext;
    delete e;
    e = next;
  }
}

std::unique_ptr<PrecommitCache> PrecommitInit(const Config& config) {
  uint32_t hashSize = kDefaultHashSize, maxAge = kDefaultMaxAge;
  config.GetConfigInt("PrecommitHashSize", &hashSize);
  config.GetConfigInt("MaxPrecommitAge", &maxAge);
  return std::make_unique<PrecommitCache>(hashSize, maxAge);
}
