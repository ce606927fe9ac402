#include "base/stats.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>


namespace {

void Appendf(std::string* out, const char* format, ...) __attribute__((format(printf, 2, 3)));

void Appendf(std::string* out, const char* format, ...) {
  char scratch[256];
  va_list ap;
  va_start(ap, format);
  vsnprintf(scratch, sizeof scratch, format, ap);
  va_end(ap);
  out->append(scratch);
}

// Summed depth over look-ups in single precision; 0 when either is 0.
double Average(const Counter& depth, const Counter& ops) {
  uint32_t d = Read(depth), n = Read(ops);
  if (d == 0 || n == 0) return 0.0;
  return float(d) / float(n);
}

}  // namespace

std::string BaseStatsGroups(const RelayStats& stats, uint32_t startTime) {
  std::string out;
  uint32_t now = uint32_t(time(nullptr));
  Appendf(&out, "{starttime %u} {uptime %u} {ihave %u} {ihave_accept %u} {ihave_refuse %u} {ihave_reject %u} ",
          startTime, now - startTime, Read(stats.ihave), Read(stats.ihave_accept),
          Read(stats.ihave_refuse), Read(stats.ihave_reject));
  Appendf(&out, "{check %u} {check_refuse %u} {takethis %u} {takethis_refuse %u} {precommit_saves %u} ",
          Read(stats.check), Read(stats.check_refuse), Read(stats.takethis),
          Read(stats.takethis_refuse), Read(stats.precommit_saves));
  Appendf(&out,
          "{search %u} {insert %u} {max_search_depth %u} {avg_search_depth %4.4f} "
          "{history_bytes_in_use %u} ",
          Read(stats.dbSearchOps), Read(stats.dbInsertOps), Read(stats.dbMaxDepth),
          Average(stats.dbDepth, stats.dbSearchOps), Read(stats.dwHistBytesUsed));
  return out;
}

std::string SeenStatsGroups(const RelayStats& stats) {
  std::string out;
  Appendf(&out, "{SeenSearchCount %u} {SeenMaxDepth %u} {avg_search_depth %4.4f} ",
          Read(stats.seenSearchCount), Read(stats.seenMaxDepth),
          Average(stats.seenDepth, stats.seenSearchCount));
  return out;
}

std::string GetBaseStatsString(const RelayStats& stats, uint32_t startTime) {
  std::string out = BaseStatsGroups(stats, startTime);
  Appendf(&out, "{total_accept %u} {total_refuse %u} {total_reject %u}", Read(stats.total_accept),
          Read(stats.total_refuse), Read(stats.total_reject));
  out += "\r\n";
  return out;
}
