// Relay-wide statistics counters, and the parts of the statistics texts
// that report them (the full text, which adds the sites and the peers, is
// the service's).
//
// Every counter is an unsigned 32-bit value that wraps at 2^32 and is
// increased by many threads at once, so each is atomic; reports read them
// without a lock and may mix values from slightly different moments.
#pragma once
#include <atomic>
#include <cstdint>
#include <string>

using Counter = std::atomic<uint32_t>;

struct RelayStats {
  // Incoming offers and their replies.
  Counter ihave, ihave_accept, ihave_refuse, ihave_reject;
  Counter check, check_accept, check_refuse;
  Counter takethis, takethis_transferok, takethis_refuse;
  Counter precommit_saves;
  // History database look-ups and inserts; dwHistBytesUsed is a level.
  Counter dbSearchOps, dbDepth, dbMaxDepth, dbInsertOps, dwHistBytesUsed;
  // Seen database look-ups.
  Counter seenSearchCount, seenDepth, seenMaxDepth;
  // Outgoing offers as answered by the sites.
  Counter total_accept, total_refuse, total_reject;
};

inline void Bump(Counter& c) { c.fetch_add(1, std::memory_order_relaxed); }
inline void BumpBy(Counter& c, uint32_t n) { c.fetch_add(n, std::memory_order_relaxed); }
inline uint32_t Read(const Counter& c) { return c.load(std::memory_order_relaxed); }
// Raises a high-water mark to `value` if it is higher.
inline void RaiseTo(Counter& c, uint32_t value) {
  uint32_t seen = c.load(std::memory_order_relaxed);
  while (value > seen && !c.compare_exchange_weak(seen, value, std::memory_order_relaxed)) {
  }
}

// The groups both statistics texts open with: start time, uptime, the
// offer counters and the history figures, each group followed by a blank.
// `startTime` is when the relay's log was started.
std::string BaseStatsGroups(const RelayStats& stats, uint32_t startTime);
// The seen database's figures, as the full statistics carry them.
std::string SeenStatsGroups(const RelayStats& stats);

// The base statistics: BaseStatsGroups, then the outgoing totals, "\r\n".
std::string GetBaseStatsString(const RelayStats& stats, uint32_t startTime);
