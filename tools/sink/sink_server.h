// A receiving news server for benchmarks and tests: it listens on a
// loopback address, takes every article a relay's feeder sends it by
// streaming (check/takethis) or IHAVE, keeps nothing but the Message-IDs,
// and counts what arrived, when, and how late.
//
// Replies: greeting "200 veltrane-sink ready", "mode stream" 203, "check"
// 238 (438 for an id seen before), "takethis" 239 (439 for a repeat),
// "ihave" 335 then 235 (435 for a repeat), "quit" 205, anything else 500.
// Replies to pipelined commands are gathered and written before the next
// read, so a batch of replies costs one write.
//
// Options for measuring a relay's delivery: an ids file gets each distinct
// Message-ID (with its angle brackets) on a line of its own as it
// arrives, flushed every 100 ms and when Run ends; "defer every N" answers
// "431 <id>" (try again later) instead of 238 to every N-th check of an id
// that has not arrived yet, counted over all connections.
//
// Delay: an article whose head holds "X-Loadgen-Sent: <ns>" (the realtime
// clock in nanoseconds when veltrane-loadgen formatted it) is timed from
// then to the moment its last byte was read here.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

namespace sink {

struct SinkTotals {
  uint64_t articles = 0;    // distinct articles received whole
  uint64_t repeats = 0;     // articles offered or sent that had come before
  uint64_t bytes = 0;       // article text, through the "." line
  uint64_t connections = 0;
  uint64_t deferred = 0;    // checks answered 431 (defer every N)
  double firstAt = -1, lastAt = -1;  // monotonic seconds of the first and last article
  std::vector<uint32_t> delaysUs;    // of the stamped articles
};

class SinkServer {
 public:
  // Serves the connections that come to `listenFd` (bound and listening).
  explicit SinkServer(int listenFd) : listenFd_(listenFd) {}

  // Optional: the file that gets each new Message-ID (nullptr: none), and
  // N for answering 431 to every N-th check of a new id (0: never).
  // Called before Run.
  void SetIdsFile(FILE* ids) { idsFile_ = ids; }
  void SetDeferEvery(uint64_t n) { deferEvery_ = n; }

  // Accepts connections, each served by a thread of its own, until
  // `expected` distinct articles have arrived, `seconds` have passed or
  // *stop is set (looked at every 100 ms). True when all expected
  // articles arrived.
  bool Run(uint64_t expected, double seconds, const std::atomic<bool>* stop);

  // A copy taken under the lock (the ids file flushed with it).
  SinkTotals Totals();

  // For the connections: whether `id` has arrived, and the record of a
  // whole article (false when its id had arrived before).
  bool Known(const std::string& id);
  // The reply code to "check <id>": 438 for a known id, 431 for a
  // deferred one, else 238.
  int CheckCode(const std::string& id);
  bool Arrived(const std::string& id, uint64_t bytes, const char* head, size_t headLength);

 private:
  void Serve(int fd);

  int listenFd_;
  std::mutex lock_;
  std::condition_variable changed_;
  std::unordered_set<std::string> ids_;
  SinkTotals totals_;
  FILE* idsFile_ = nullptr;
  uint64_t deferEvery_ = 0;
  uint64_t newChecks_ = 0;  // checks of ids not arrived yet
  uint64_t expected_ = 0;   // Run wakes when this many have arrived
};

}  // namespace sink
