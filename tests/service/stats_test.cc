#include <gtest/gtest.h>

#include <ctime>

#include "base/log.h"
#include "base/stats.h"
#include "service/stats_text.h"

namespace {

// The texts carry the uptime, which can tick between building the expected
// text and the real one: accept the two neighbouring values.
template <typename Render>
void ExpectText(Render render, const std::string& before, const std::string& after) {
  uint32_t now = uint32_t(time(nullptr));
  std::string text = render();
  std::string a = before + std::to_string(now - startTime) + after;
  std::string b = before + std::to_string(now + 1 - startTime) + after;
  EXPECT_TRUE(text == a || text == b) << text << "\nexpected\n" << a;
}

TEST(Stats, TextsAreFormattedExactly) {
  startTime = uint32_t(time(nullptr)) - 100;
  std::string head = "{starttime " + std::to_string(startTime) + "} {uptime ";

  // No look-ups yet: both averages print as 0.0000.
  ExpectText(GetStatsString, head,
             "} {ihave 0} {ihave_accept 0} {ihave_refuse 0} {ihave_reject 0} "
             "{check 0} {check_refuse 0} {takethis 0} {takethis_refuse 0} {precommit_saves 0} "
             "{search 0} {insert 0} {max_search_depth 0} {avg_search_depth 0.0000} {history_bytes_in_use 0} "
             "{SeenSearchCount 0} {SeenMaxDepth 0} {avg_search_depth 0.0000} "
             "{sites } {incoming } \r\n");

  BumpBy(stats.ihave, 5);
  Bump(stats.ihave_accept);
  BumpBy(stats.ihave_refuse, 2);
  BumpBy(stats.ihave_reject, 3);
  BumpBy(stats.check, 7);
  Bump(stats.check_accept);  // counted, never reported
  BumpBy(stats.check_refuse, 4);
  BumpBy(stats.takethis, 6);
  BumpBy(stats.takethis_refuse, 8);
  BumpBy(stats.precommit_saves, 9);
  BumpBy(stats.dbSearchOps, 3);
  BumpBy(stats.dbDepth, 1);
  RaiseTo(stats.dbMaxDepth, 2);
  RaiseTo(stats.dbMaxDepth, 1);  // lower: ignored
  BumpBy(stats.dbInsertOps, 11);
  stats.dwHistBytesUsed = 4096;
  BumpBy(stats.seenSearchCount, 8);
  BumpBy(stats.seenDepth, 3);
  RaiseTo(stats.seenMaxDepth, 1);
  BumpBy(stats.total_accept, 12);
  BumpBy(stats.total_refuse, 13);
  BumpBy(stats.total_reject, 14);

  std::string counters =
      "} {ihave 5} {ihave_accept 1} {ihave_refuse 2} {ihave_reject 3} "
      "{check 7} {check_refuse 4} {takethis 6} {takethis_refuse 8} {precommit_saves 9} "
      "{search 3} {insert 11} {max_search_depth 2} {avg_search_depth 0.3333} {history_bytes_in_use 4096} ";
  ExpectText(GetStatsString, head,
             counters + "{SeenSearchCount 8} {SeenMaxDepth 1} {avg_search_depth 0.3750} {sites } {incoming } \r\n");
  ExpectText(GetBaseStatsString, head, counters + "{total_accept 12} {total_refuse 13} {total_reject 14}\r\n");
}

TEST(Stats, CountersWrapAt32Bits) {
  Counter c{0xFFFFFFFFu};
  Bump(c);
  EXPECT_EQ(Read(c), 0u);
}

}  // namespace
