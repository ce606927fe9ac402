// The precommit cache: identifier hashes of the articles whose offers were
// accepted in the last MaxPrecommitAge milliseconds. While an article is on
// its way from one peer, a second peer offering the same identifier hash is
// turned away. Entries are never removed when a transfer ends; a cleaner
// thread ages them out once a second, so an entry lives between
// MaxPrecommitAge and MaxPrecommitAge + 1000 ms. Nothing is kept on disk.
//
// The identifier hash is the only key: two Message-IDs with the same hash
// count as the same article here.
//
// Ownership: the relay owns its cache; connections borrow it while they
// run. The cache owns its entries and its cleaner thread, which its
// destruction stops and joins.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "article/article_id.h"
#include "platform/large_table.h"
#include "platform/threads.h"

// Entries in the cache and on the free list (at most 11).
struct PrecommitCounts {
  uint32_t live;
  uint32_t free;
};

class PrecommitCache {
 public:
  // The millisecond tick source of the ages (GetTickCount when null). Tests
  // and benchmarks use it to move time on; the relay never sets it.
  using Clock = uint32_t (*)();

  // An empty cache with `hashSize` buckets (0 counts as 263) whose entries
  // live `maxAgeMs`, and its cleaner thread. A bucket array that cannot be
  // allocated ends the process (exit code 1).
  PrecommitCache(uint32_t hashSize, uint32_t maxAgeMs, Clock clock = nullptr);
  ~PrecommitCache();
  PrecommitCache(const PrecommitCache&) = delete;
  PrecommitCache& operator=(const PrecommitCache&) = delete;

  // 1 when the entry was added (the caller may take the article), 0 when an
  // entry with the same identifier hash is present (a duplicate in
  // transfer). Of any number of threads adding one hash at once, exactly
  // one gets 1.
  int AddPrecommit(uint32_t idHash);
  int AddPrecommit(const ArticleIdentity& id) { return AddPrecommit(id.idHash); }

  // One pass of the cleaner: removes every entry older than MaxPrecommitAge.
  // The cleaner thread runs it once a second; tests and benchmarks may call
  // it themselves.
  void PrecommitClean();

  PrecommitCounts Counts();
  // The live entries alone, read without the lock.
  uint32_t Entries() const { return liveCount_.load(std::memory_order_relaxed); }

 private:
  struct Entry;
  uint32_t Now() const;
  int CheckPrecommit(uint32_t idHash);
  Entry* TakeEntry();
  void ReleaseEntry(Entry* e);
  void UnlinkOldest();
  static void FreeList(Entry* e);

  // Everything below is guarded by mu_, except liveCount_'s reads by the
  // cleaner, which only decide whether to take the lock.
  std::mutex mu_;
  LargeTable bucketMemory_;
  Entry** buckets_ = nullptr;  // in bucketMemory_
  uint32_t size_;
  uint32_t maxAge_;
  Entry* head_ = nullptr;  // the newest
  Entry* tail_ = nullptr;  // the oldest
  Entry* freeHead_ = nullptr;
  uint32_t freeCount_ = 0;
  std::atomic<uint32_t> liveCount_{0};
  const Clock clock_;
  PeriodicThread cleaner_;  // last: stopped first
};

// The relay's cache as configured: PrecommitHashSize (buckets, default 263;
// 0 counts as 263) and MaxPrecommitAge (ms, default 30000).
class Config;
std::unique_ptr<PrecommitCache> PrecommitInit(const Config& config);
