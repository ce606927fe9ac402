// Parses share no state: threads parsing different texts at once each get
// the result a lone parse gives.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "date_test_util.h"

namespace {

TEST(ParsedateConcurrency, ThreadsParseIndependently) {
  ScopedTimeZone tz("America/New_York");
  const _timenow now = ReferenceAt(UtcSeconds(2026, 7, 15, 15));
  const std::vector<std::string> texts = {
      "Sun, 05 Jan 1997 10:00:00 GMT", "5 Jan 97 10:00 -0500 (comment (nested))",
      "Jan 5, 1997",                   "+1 month 1 Mar 2026 12:00",
      "5 Jan 1997 10:00 EST+0100",     "1030 pm",
      "07/05/97 23:59:61 EDT",         "",
  };
  std::vector<int32_t> expected;
  for (const std::string& t : texts) expected.push_back(parsedate(t.c_str(), &now));

  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (size_t i = 0; i < 4; i++) {
    threads.emplace_back([&, i] {
      for (int n = 0; n < 5000; n++) {
        size_t k = (i + n) % texts.size();
        if (parsedate(texts[k].c_str(), &now) != expected[k]) mismatches++;
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(mismatches.load(), 0);
  EXPECT_EQ(expected[0], 852458400);
  EXPECT_EQ(expected[4], -1);
}

}  // namespace
