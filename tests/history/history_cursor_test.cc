// The history cursor: walking in arrival order, feed types, backlog, the
// site bit and the new-entry wake-up.
#include <chrono>
#include <future>
#include <map>
#include <vector>

#include "history_fixture.h"
#include "platform/ticks.h"

namespace {

using namespace std::chrono_literals;

class HistoryCursorTest : public HistoryTest {
 protected:
  // Identifiers handed out to `c` until it has none.
  static std::vector<std::string> Drain(_histentry* c, uint32_t maxBacklog = 200000) {
    std::vector<std::string> out;
    while (HistGetNextEntry(c, maxBacklog) == 1) out.push_back(c->identifier);
    return out;
  }

  // Appends entries without any site bit so that the end lies exactly
  // `behind` bytes after the entry at `entry`.
  void PadTo(uint32_t entry, uint32_t behind) {
    for (;;) {
      uint32_t gap = entry + behind - Used();
      if (gap == 0) return;
      // Entries are 49 to 303 bytes; never leave a gap below 49.
      uint32_t size = gap <= 303 ? gap : (gap - 303 < 49 ? gap - 49 : 303);
      ASSERT_GE(size, 49u);
      std::string id(size - 49, 'z');
      ASSERT_EQ(AddArticleToHistory(id.c_str(), kNoSites, 0, 1, 1), 1);
    }
  }
};

TEST_F(HistoryCursorTest, NullCursorWaitsAtTheEndAndTakesEachEntryOnce) {
  Open();
  Add("before@x");
  _histentry c = Cursor(37);
  EXPECT_EQ(HistGetNextEntry(&c, 5000), 0);
  EXPECT_EQ(c.position, Used());
  const uint32_t flags[4] = {0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF};
  uint32_t at = Add("first@x", flags, 777, 12, 9);
  ASSERT_EQ(HistGetNextEntry(&c, 5000), 1);
  EXPECT_EQ(c.position, at);
  EXPECT_STREQ(c.identifier, "first@x");
  EXPECT_EQ(c.header.length, 777u);
  EXPECT_EQ(c.header.spoolOffset, 12u);
  EXPECT_EQ(c.header.spoolFile, 9u);
  EXPECT_EQ(c.header.feedFlags[1], 0xFFFFFFDFu);  // the copy shows the bit taken
  // Only this site's bit was cleared, in the data itself.
  _histentry* e = FindArticle("first@x");
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->header.feedFlags[0], 0xFFFFFFFFu);
  EXPECT_EQ(e->header.feedFlags[1], 0xFFFFFFDFu);
  EXPECT_EQ(e->header.feedFlags[2], 0xFFFFFFFFu);
  EXPECT_EQ(e->header.feedFlags[3], 0xFFFFFFFFu);
  DestroyEntry(e);
  EXPECT_EQ(HistGetNextEntry(&c, 5000), 0);
  EXPECT_EQ(c.position, at);  // a fruitless scan keeps the position
  // A second cursor of the same site does not get it again; another site does.
  _histentry same = Cursor(37, 'f', at), other = Cursor(127, 'f', at);
  EXPECT_EQ(HistGetNextEntry(&same, 5000), 0);
  ASSERT_EQ(HistGetNextEntry(&other, 5000), 1);
  EXPECT_STREQ(other.identifier, "first@x");
}

TEST_F(HistoryCursorTest, EntriesWithoutTheSiteBitAreNeverHandedOut) {
  Open();
  const uint32_t word2bit5[4] = {0, 0, 1u << 5, 0};
  const uint32_t allButIt[4] = {~0u, ~0u, ~(1u << 5), ~0u};
  uint32_t start = Add("a@x", word2bit5);
  Add("b@x", allButIt);
  Add("c@x", word2bit5);
  Add("d@x", kNoSites);
  _histentry c = Cursor(69, 'f', start);  // bit 69: word 2, mask 1 << 5
  EXPECT_EQ(Drain(&c), (std::vector<std::string>{"a@x", "c@x"}));
  _histentry neighbour = Cursor(70, 'f', start);
  EXPECT_EQ(Drain(&neighbour), (std::vector<std::string>{"b@x"}));
}

TEST_F(HistoryCursorTest, FeedTypesSelectBySize) {
  Open({200000, 1024, true});
  const std::vector<uint32_t> lengths = {0,     4095,   4096,   10239,  10240, 51199,
                                         51200, 255999, 256000, 511999, 512000, 9000000};
  uint32_t start = 0;
  for (uint32_t len : lengths) {
    uint32_t at = Add("len" + std::to_string(len) + "@x", kAllSites, len);
    if (start == 0) start = at;
  }
  auto below = [&](uint32_t limit) {
    std::vector<uint32_t> v;
    for (uint32_t len : lengths) if (len < limit) v.push_back(len);
    return v;
  };
  auto atLeast = [&](uint32_t limit) {
    std::vector<uint32_t> v;
    for (uint32_t len : lengths) if (len >= limit) v.push_back(len);
    return v;
  };
  const std::map<char, std::vector<uint32_t>> expected = {
      {'f', lengths},       {'x', lengths},        {'S', below(10240)},   {'s', below(51200)},
      {'M', below(256000)}, {'m', below(512000)},  {'b', atLeast(51200)}, {'B', atLeast(512000)},
      {'L', below(10240)},  {'l', below(51200)}};
  uint32_t bit = 0;
  for (const auto& [type, want] : expected) {
    _histentry c = Cursor(bit++, type, start);
    std::vector<uint32_t> got;
    while (HistGetNextEntry(&c, 200000) == 1) got.push_back(c.header.length);
    EXPECT_EQ(got, want) << "feed type " << type;
  }
}

TEST_F(HistoryCursorTest, TypesNAndnRestartAtTheEndAfterEachEntry) {
  Open();
  _histentry big = Cursor(1, 'N'), small = Cursor(2, 'n');
  EXPECT_EQ(HistGetNextEntry(&big, 5000), 0);
  EXPECT_EQ(HistGetNextEntry(&small, 5000), 0);
  Add("five@x", 5000);
  Add("four@x", 4000);
  Add("tail@x", 100);
  ASSERT_EQ(HistGetNextEntry(&big, 5000), 1);
  EXPECT_STREQ(big.identifier, "four@x");
  EXPECT_EQ(big.position, 0u);
  ASSERT_EQ(HistGetNextEntry(&small, 5000), 1);
  EXPECT_STREQ(small.identifier, "five@x");
  // What came after the entry taken is skipped: the next step starts at the end.
  EXPECT_EQ(HistGetNextEntry(&big, 5000), 0);
  EXPECT_EQ(HistGetNextEntry(&small, 5000), 0);
  Add("next@x", 100);
  ASSERT_EQ(HistGetNextEntry(&big, 5000), 1);
  EXPECT_STREQ(big.identifier, "next@x");
}

TEST_F(HistoryCursorTest, LatencyTypesLoseTheirPlaceWhenTooFarBehind) {
  Open({400000, 1024, true});
  uint32_t bit = 10;
  for (char type : {'L', 'l'}) {
    uint32_t limit = type == 'L' ? 9800 : 98000;
    // Exactly at the limit, the entry is offered.
    uint32_t near = Add(std::string(1, type) + "-near@x", 100);
    PadTo(near, limit);
    _histentry keeps = Cursor(bit++, type, near);
    ASSERT_EQ(HistGetNextEntry(&keeps, 200000), 1) << type;
    EXPECT_EQ(std::string(keeps.identifier), std::string(1, type) + "-near@x");
    // One byte further, the cursor drops its place and restarts at the end.
    uint32_t far = Add(std::string(1, type) + "-far@x", 100);
    PadTo(far, limit + 1);
    _histentry c = Cursor(bit++, type, far);
    EXPECT_EQ(HistGetNextEntry(&c, 200000), 0) << type;
    EXPECT_EQ(c.position, 0u);
    EXPECT_EQ(HistGetNextEntry(&c, 200000), 0);
    EXPECT_EQ(c.position, Used());
    Add(std::string(1, type) + "-new@x", 100);
    ASSERT_EQ(HistGetNextEntry(&c, 200000), 1);
    EXPECT_EQ(std::string(c.identifier), std::string(1, type) + "-new@x");
  }
}

TEST_F(HistoryCursorTest, BacklogLimitPassesOverOldEntriesAndKeepsThePosition) {
  Open({2000000, 4096, true});
  uint32_t old = Add("old@x");
  PadTo(old, 490001);
  _histentry c = Cursor(6, 'f', old);
  EXPECT_EQ(HistGetNextEntry(&c, 5000), 0);
  EXPECT_EQ(c.position, old);
  uint32_t edge = Add("edge@x");
  PadTo(edge, 490000);
  c.position = edge;
  ASSERT_EQ(HistGetNextEntry(&c, 5000), 1);
  EXPECT_STREQ(c.identifier, "edge@x");
}

TEST_F(HistoryCursorTest, PositionsThatLeadNowhereRestartAtTheEnd) {
  Open();
  uint32_t a = Add("a@x");
  Add("b@x");
  for (uint32_t bad : {a + 1, a + 48, 100u, 39000u}) {
    _histentry c = Cursor(8, 'f', bad);
    EXPECT_EQ(HistGetNextEntry(&c, 5000), 0) << bad;
    EXPECT_EQ(c.position, Used()) << bad;
  }
}

TEST_F(HistoryCursorTest, LookupRecordCarriesTheSerial) {
  Open();
  uint32_t at = Add("found@x");
  _histentry* e = FindArticle("found@x");
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->position, at);
  EXPECT_EQ(e->expireSerial, HistExpireSerial());
  EXPECT_EQ(DestroyEntry(e), 1);
}

TEST_F(HistoryCursorTest, AnAppendAfterAFailedStepWakesTheWaitAtOnce) {
  Open();
  _histentry c = Cursor(9);
  // Nothing new: the wait runs out.
  EXPECT_EQ(HistGetNextEntry(&c, 5000), 0);
  EXPECT_EQ(WaitNextHistoryEntry(50), 0);
  // An append between the failed step and the wait is not missed: with an
  // hour's bound, returning at all shows it.
  EXPECT_EQ(HistGetNextEntry(&c, 5000), 0);
  std::thread([this] { Add("between@x"); }).join();
  uint32_t t0 = GetTickCount();
  EXPECT_EQ(WaitNextHistoryEntry(), 1);
  EXPECT_LT(GetTickCount() - t0, 5000u);
  ASSERT_EQ(HistGetNextEntry(&c, 5000), 1);
  // A waiter already asleep is woken by the next append.
  std::promise<void> stepped;
  auto waiter = std::async(std::launch::async, [&c, &stepped] {
    int found = HistGetNextEntry(&c, 5000);  // notes the sequence on this thread
    stepped.set_value();
    return found == 0 ? WaitNextHistoryEntry() : -1;
  });
  stepped.get_future().wait();
  EXPECT_EQ(waiter.wait_for(100ms), std::future_status::timeout);
  Add("wakes@x");
  ASSERT_EQ(waiter.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(waiter.get(), 1);
}

}  // namespace
