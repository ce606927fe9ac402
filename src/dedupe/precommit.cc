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

// Both lists run newest first: following `bucketNext` or `ageNext` leads
// to older entries. `ageNext` also chains the free list.
struct PrecommitEntry {
  uint32_t hash;
  uint32_t tick;
  uint32_t bucket;
  PrecommitEntry* bucketNext;
  PrecommitEntry* bucketPrev;
  PrecommitEntry* ageNext;
  PrecommitEntry* agePrev;
};

// Everything below is guarded by csPrecommit, except liveCount's reads by
// the cleaner, which only decide whether to take the lock.
std::mutex csPrecommit;
PrecommitEntry** precommitHash = nullptr;
uint32_t PrecommitSize = kDefaultHashSize;
uint32_t MaxPrecommitAge = kDefaultMaxAge;
PrecommitEntry* pcHead = nullptr;
PrecommitEntry* pcTail = nullptr;
PrecommitEntry* freeHead = nullptr;
uint32_t precommitFreeCount = 0;
std::atomic<uint32_t> liveCount{0};

std::atomic<PrecommitClock> clockSource{nullptr};

PeriodicThread cleaner;

uint32_t Now() {
  PrecommitClock clock = clockSource.load(std::memory_order_relaxed);
  return clock != nullptr ? clock() : GetTickCount();
}

// Caller holds csPrecommit.
int CheckPrecommit(uint32_t idHash) {
  for (PrecommitEntry* e = precommitHash[idHash % PrecommitSize]; e != nullptr; e = e->bucketNext) {
    if (e->hash == idHash) return 1;
  }
  return 0;
}

// Caller holds csPrecommit. Null when the heap is exhausted.
PrecommitEntry* TakeEntry() {
  if (freeHead == nullptr) return new (std::nothrow) PrecommitEntry;
  PrecommitEntry* e = freeHead;
  freeHead = e->ageNext;
  precommitFreeCount--;
  return e;
}

// Caller holds csPrecommit.
void ReleaseEntry(PrecommitEntry* e) {
  if (precommitFreeCount < kMaxFreeCount) {
    e->ageNext = freeHead;
    freeHead = e;
    precommitFreeCount++;
  } else {
    delete e;
  }
}

// Caller holds csPrecommit. The oldest entry is the last of its bucket.
void UnlinkOldest() {
  PrecommitEntry* e = pcTail;
  if (e->bucketPrev != nullptr) {
    e->bucketPrev->bucketNext = nullptr;
  } else {
    precommitHash[e->bucket] = nullptr;
  }
  pcTail = e->agePrev;
  if (pcTail != nullptr) {
    pcTail->ageNext = nullptr;
  } else {
    pcHead = nullptr;
  }
  liveCount.store(liveCount.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
  ReleaseEntry(e);
}

void PrecommitCleaner() {
  if (liveCount.load(std::memory_order_relaxed) != 0) PrecommitClean();
}

void FreeList(PrecommitEntry* e) {
  while (e != nullptr) {
    PrecommitEntry* next = e->ageNext;
    delete e;
    e = next;
  }
}

}  // namespace

int PrecommitInit() {
  uint32_t hashSize = kDefaultHashSize, maxAge = kDefaultMaxAge;
  GetConfigInt("PrecommitHashSize", &hashSize);
  GetConfigInt("MaxPrecommitAge", &maxAge);
  PrecommitStart(hashSize, maxAge);
  return 1;
}

void PrecommitStart(uint32_t hashSize, uint32_t maxAgeMs) {
  PrecommitShutdown();
  {
    std::lock_guard<std::mutex> lock(csPrecommit);
    PrecommitSize = hashSize != 0 ? hashSize : kDefaultHashSize;
    MaxPrecommitAge = maxAgeMs;
    precommitHash = new (std::nothrow) PrecommitEntry*[PrecommitSize]();
    if (precommitHash == nullptr) {
      StartupFailure("could not allocate the precommit hash table\n");
    }
  }
  cleaner.Start(std::chrono::milliseconds(1000), PrecommitCleaner, false);
}

int AddPrecommit(uint32_t idHash) {
  std::lock_guard<std::mutex> lock(csPrecommit);
  if (CheckPrecommit(idHash)) return 0;
  PrecommitEntry* e = TakeEntry();
  // Without memory the offer is still taken: only the guard against a
  // second sender is lost for this article.
  if (e == nullptr) return 1;
  e->tick = Now();
  e->hash = idHash;
  e->bucket = idHash % PrecommitSize;
  PrecommitEntry*& bucketHead = precommitHash[e->bucket];
  e->bucketPrev = nullptr;
  e->bucketNext = bucketHead;
  if (bucketHead != nullptr) bucketHead->bucketPrev = e;
  bucketHead = e;
  e->agePrev = nullptr;
  e->ageNext = pcHead;
  if (pcHead != nullptr) {
    pcHead->agePrev = e;
  } else {
    pcTail = e;
  }
  pcHead = e;
  liveCount.store(liveCount.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  return 1;
}

void PrecommitClean() {
  std::lock_guard<std::mutex> lock(csPrecommit);
  uint32_t now = Now();
  // Unsigned difference: ages stay right across the wrap of the tick count.
  while (pcTail != nullptr && now - pcTail->tick > MaxPrecommitAge) UnlinkOldest();
}

void PrecommitShutdown() {
  cleaner.Stop();
  std::lock_guard<std::mutex> lock(csPrecommit);
  FreeList(pcHead);
  FreeList(freeHead);
  pcHead = pcTail = freeHead = nullptr;
  precommitFreeCount = 0;
  liveCount.store(0, std::memory_order_relaxed);
  delete[] precommitHash;
  precommitHash = nullptr;
}

PrecommitCounts GetPrecommitCounts() {
  std::lock_guard<std::mutex> lock(csPrecommit);
  return PrecommitCounts{liveCount.load(std::memory_order_relaxed), precommitFreeCount};
}

uint32_t PrecommitEntries() { return liveCount.load(std::memory_order_relaxed); }

void SetPrecommitClock(PrecommitClock clock) { clockSource.store(clock, std::memory_order_relaxed); }
