// The precommit cache: identifier hashes of the articles whose offers were
// accepted in the last MaxPrecommitAge milliseconds. While an article is on
// its way from one peer, a second peer offering the same identifier hash is
// turned away. Entries are never removed when a transfer ends; a cleaner
// thread ages them out once a second, so an entry lives between
// MaxPrecommitAge and MaxPrecommitAge + 1000 ms. Nothing is kept on disk.
//
// The identifier hash is the only key: two Message-IDs with the same hash
// count as the same article here.
#pragma once
#include <cstdint>

#include "article/article_id.h"

// Start-up: reads PrecommitHashSize (buckets, default 263; 0 counts as 263)
// and MaxPrecommitAge (ms, default 30000) and starts the cache. Returns 1.
// A bucket array that cannot be allocated ends the process (exit code 1).
int PrecommitInit();

// Starts an empty cache with `hashSize` buckets (0 counts as 263) and the
// cleaner thread, after tearing down a cache started before.
void PrecommitStart(uint32_t hashSize, uint32_t maxAgeMs);

// 1 when the entry was added (the caller may take the article), 0 when an
// entry with the same identifier hash is present (a duplicate in transfer).
// Of any number of threads adding one hash at once, exactly one gets 1.
int AddPrecommit(uint32_t idHash);
inline int AddPrecommit(const ArticleIdentity& id) { return AddPrecommit(id.idHash); }

// One pass of the cleaner: removes every entry older than MaxPrecommitAge.
// The cleaner thread runs it once a second; tests and benchmarks may call it
// themselves.
void PrecommitClean();

// Stops the cleaner thread and frees every entry and the bucket array.
void PrecommitShutdown();

// Entries in the cache and on the free list (at most 11).
struct PrecommitCounts {
  uint32_t live;
  uint32_t free;
};
PrecommitCounts GetPrecommitCounts();
// The live entries alone, read without the lock.
uint32_t PrecommitEntries();

// The millisecond tick source of the ages (GetTickCount when null). Tests
// and benchmarks use it to move time on; the relay never sets it.
using PrecommitClock = uint32_t (*)();
void SetPrecommitClock(PrecommitClock clock);
