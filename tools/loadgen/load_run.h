// One bounded load run: opens the connections, drives them until every
// article is answered or the time limit passes, and sums up what came back.
// The streaming modes run every connection from one poll loop; ihave runs a
// thread per connection.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "loadgen/load_connection.h"
#include "loadgen/load_options.h"

namespace loadgen {

struct RunResult {
  bool completed = false;       // every article of every connection answered
  bool timedOut = false;
  std::vector<std::string> errors;
  uint64_t articlesFinished = 0;
  uint64_t articlesTransferred = 0;
  ReplyCounts replies{};
  std::vector<float> replyDelays;  // seconds from queueing each takethis to its reply, sorted
  // From the first article command to the last article's reply.
  double elapsedSeconds = 0;

  uint64_t accepted() const { return replies[239] + replies[235]; }
  double ArticlesPerSecond() const;
  double MegabytesPerSecond(uint32_t articleSize) const;  // 10^6 bytes
};

RunResult RunLoad(const Options& options);

// The report printed by the program: one line per figure, then a summary
// line of name=value pairs for scripts.
std::string FormatReport(const Options& options, const RunResult& result);

}  // namespace loadgen
