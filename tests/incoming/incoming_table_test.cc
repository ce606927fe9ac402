#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <condition_variable>
#include <future>
#include <map>
#include <mutex>

#include "base/config.h"
#include "incoming/incoming_table.h"
#include "support/temp_dir.h"

namespace {

// Names the fake resolver knows; a name missing here fails to resolve.
std::map<std::string, std::vector<std::string>> names;
int lookups = 0;

bool FakeResolver(const char* host, std::vector<uint32_t>* addresses) {
  lookups++;
  auto it = names.find(host);
  if (it == names.end()) return false;
  for (const std::string& a : it->second) addresses->push_back(inet_addr(a.c_str()));
  return true;
}

uint32_t Address(const char* dotted) { return inet_addr(dotted); }

class IncomingTable : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(LoadConfigFile(dir_.Write("relay.conf", "UpdateIncomingEntries = 0\n").c_str()));
    IncomingInit();
    names.clear();
    lookups = 0;
    SetHostResolver(FakeResolver);
  }
  void TearDown() override { SetHostResolver(nullptr); }

  _incomingentry* Permitted(const char* dotted) {
    uint32_t a = Address(dotted);
    return CheckIncoming(&a);
  }

  TempDir dir_;
};

TEST_F(IncomingTable, AddTakesTheHighestFreeSlotAndNamesKeepTheirCase) {
  EXPECT_EQ(AddIncoming("a.example"), 1);
  EXPECT_EQ(AddIncoming("b.example"), 1);
  EXPECT_EQ(AddIncoming("c.example"), 1);
  EXPECT_EQ(ListIncoming(), "c.example b.example a.example ");
  EXPECT_STREQ(_incoming[254].host, "a.example");
  EXPECT_STREQ(_incoming[252].host, "c.example");

  EXPECT_EQ(AddIncoming("a.example"), 0);  // exact duplicate
  EXPECT_EQ(AddIncoming("A.example"), 1);  // another case: another entry
  // Case-blind look-ups reach the lower slot: the one added later.
  EXPECT_EQ(SetIncomingParameter("a.EXAMPLE", "max_connections", 3), 1);
  EXPECT_EQ(_incoming[251].max_connections, 3u);
  EXPECT_EQ(_incoming[254].max_connections, 7u);
  EXPECT_EQ(DelIncoming("A.EXAMPLE"), 0);  // deletion compares exactly
  EXPECT_EQ(DelIncoming("nothing"), 0);
}

TEST_F(IncomingTable, FullTableRefusesThe256thAndReusesAFreedSlot) {
  for (int i = 0; i < kIncomingSlots; i++) {
    ASSERT_EQ(AddIncoming(("10.0.0." + std::to_string(i)).c_str()), 1) << i;
  }
  EXPECT_EQ(AddIncoming("one.too.many"), 0);
  EXPECT_EQ(DelIncoming("10.0.0.7"), 1);
  EXPECT_EQ(AddIncoming("one.too.many"), 1);
  EXPECT_EQ(AddIncoming(std::string(256, 'x').c_str()), 0);  // does not fit
}

TEST_F(IncomingTable, ParametersConfigurationAndStatisticsTexts) {
  ASSERT_TRUE(LoadConfigFile(dir_.Write("two.conf", "SiteDefaultMaxIncomingConnections = 4\n").c_str()));
  EXPECT_EQ(ReturnIncomingStatsString(), "{incoming } ");
  EXPECT_EQ(ListIncoming(), "");
  ASSERT_EQ(AddIncoming("10.1.2.3"), 1);
  _incomingentry* e = Permitted("10.1.2.3");
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->streaming, 1u);
  EXPECT_EQ(e->max_connections, 4u);
  ASSERT_TRUE(LoadConfigFile(dir_.Write("three.conf", "SiteDefaultMaxIncomingConnections = 9\n").c_str()));
  EXPECT_EQ(e->max_connections, 4u);  // made entries keep their limit

  EXPECT_EQ(SetIncomingParameter("10.1.2.3", "weight", 99), 1);
  EXPECT_EQ(SetIncomingParameter("10.1.2.3", "Streaming", 0), 1);
  EXPECT_EQ(SetIncomingParameter("10.1.2.3", "colour", 1), 0);
  EXPECT_EQ(SetIncomingParameter("10.9.9.9", "streaming", 1), 0);
  e->accepts = 1;
  e->refused = 2;
  e->rejected = 3;
  e->precommit_saves = 4;
  e->connected = 5;
  e->connects = 6;
  std::string config;
  ASSERT_TRUE(GetIncomingConfig("10.1.2.3", &config));
  EXPECT_EQ(config,
            "{10.1.2.3 {{parameters {{max_connections 4} {streaming 0}}} {statistics {{accepts 1} {refuse 2} "
            "{reject 3} {precommit_saves 4} {connected 5} {connects 6}}}}}");
  EXPECT_FALSE(GetIncomingConfig("10.9.9.9", &config));
  EXPECT_EQ(ReturnIncomingStatsString(),
            "{incoming {{host 10.1.2.3} {connected 5} {connects 6} {accepts 1} {refused 2} {rejected 3} "
            "{precommit_saves 4}} } ");
  e->connected = 0;
}

TEST_F(IncomingTable, DottedAddressesNeedNoLookupAndNamesResolveInOrder) {
  ASSERT_EQ(AddIncoming("192.0.2.1"), 1);
  EXPECT_EQ(lookups, 0);
  EXPECT_NE(Permitted("192.0.2.1"), nullptr);

  names["multi.example"] = {"192.0.2.10", "192.0.2.11"};
  ASSERT_EQ(AddIncoming("multi.example"), 1);
  _incomingentry* e = Permitted("192.0.2.11");
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->address_count, 2u);
  EXPECT_EQ(e->addresses[0], Address("192.0.2.10"));
  EXPECT_EQ(Permitted("192.0.2.12"), nullptr);

  // A name that does not resolve is listed but admits nobody until a
  // refresh resolves it.
  ASSERT_EQ(AddIncoming("later.example"), 1);
  EXPECT_EQ(Permitted("192.0.2.20"), nullptr);
  names["later.example"] = {"192.0.2.20"};
  RefreshIncomingEntries();
  EXPECT_NE(Permitted("192.0.2.20"), nullptr);
}

TEST_F(IncomingTable, AddressesSurvive21FailedRefreshesAndAreDroppedAtThe22nd) {
  names["flaky.example"] = {"192.0.2.30"};
  ASSERT_EQ(AddIncoming("flaky.example"), 1);
  names.erase("flaky.example");
  for (int failure = 1; failure <= 21; failure++) {
    RefreshIncomingEntries();
    ASSERT_NE(Permitted("192.0.2.30"), nullptr) << "after failure " << failure;
  }
  RefreshIncomingEntries();
  EXPECT_EQ(Permitted("192.0.2.30"), nullptr);
  names["flaky.example"] = {"192.0.2.31"};
  RefreshIncomingEntries();
  EXPECT_NE(Permitted("192.0.2.31"), nullptr);
}

TEST_F(IncomingTable, DeletionWithLiveConnectionsMarksUntilARefreshFindsThemGone) {
  ASSERT_EQ(AddIncoming("192.0.2.40"), 1);
  _incomingentry* e = nullptr;
  char host[256];
  uint32_t limit = 0;
  ASSERT_EQ(HoldIncoming(Address("192.0.2.40"), false, &e, host, &limit), Admission::kHeld);
  ASSERT_EQ(HoldIncoming(Address("192.0.2.40"), false, &e, host, &limit), Admission::kHeld);
  EXPECT_EQ(e->connected, 2);

  EXPECT_EQ(DelIncoming("192.0.2.40"), 1);
  EXPECT_EQ(e->deleted, 1u);
  EXPECT_EQ(ListIncoming(), "192.0.2.40 ");
  EXPECT_EQ(Permitted("192.0.2.40"), nullptr);  // no new connection
  EXPECT_EQ(HoldIncoming(Address("192.0.2.40"), false, &e, host, &limit), Admission::kNoAccess);
  EXPECT_EQ(AddIncoming("192.0.2.40"), 0);       // still occupies its name

  e = &_incoming[254];
  e->connected--;
  RefreshIncomingEntries();
  EXPECT_EQ(ListIncoming(), "192.0.2.40 ");  // one connection left
  e->connected--;
  RefreshIncomingEntries();
  EXPECT_EQ(ListIncoming(), "");
  EXPECT_EQ(AddIncoming("192.0.2.40"), 1);

  // Without connections a deletion frees the slot at once.
  EXPECT_EQ(DelIncoming("192.0.2.40"), 1);
  EXPECT_EQ(ListIncoming(), "");
}

TEST_F(IncomingTable, HoldRefusesAPeerAtItsLimitOnlyUnderLoad) {
  ASSERT_EQ(AddIncoming("192.0.2.50"), 1);
  ASSERT_EQ(SetIncomingParameter("192.0.2.50", "max_connections", 1), 1);
  _incomingentry* e = nullptr;
  char host[256];
  uint32_t limit = 0;
  ASSERT_EQ(HoldIncoming(Address("192.0.2.50"), false, &e, host, &limit), Admission::kHeld);
  ASSERT_EQ(HoldIncoming(Address("192.0.2.50"), false, &e, host, &limit), Admission::kHeld);
  EXPECT_EQ(HoldIncoming(Address("192.0.2.50"), true, &e, host, &limit), Admission::kHeld);  // 2 != 1
  e->connected = 1;
  EXPECT_EQ(HoldIncoming(Address("192.0.2.50"), true, &e, host, &limit), Admission::kAtLimit);
  EXPECT_STREQ(host, "192.0.2.50");
  EXPECT_EQ(limit, 1u);
  e->connected = 0;
}

// A name server that answers "slow.example" only when the test lets it.
struct SlowNameServer {
  std::mutex mu;
  std::condition_variable cv;
  int waiting = 0;
  bool answer = false;
} slow;

void AnswerSlowLookups() {
  std::lock_guard<std::mutex> lock(slow.mu);
  slow.answer = true;
  slow.cv.notify_all();
}

bool SlowLookupsWaiting(int n) {
  std::unique_lock<std::mutex> lock(slow.mu);
  return slow.cv.wait_for(lock, std::chrono::seconds(10), [n] { return slow.waiting == n; });
}

// Lets waiting look-ups finish before the futures that wait for them end.
struct AnswerOnExit {
  ~AnswerOnExit() { AnswerSlowLookups(); }
};

bool SlowResolver(const char* host, std::vector<uint32_t>* addresses) {
  if (strcmp(host, "slow.example") != 0) return FakeResolver(host, addresses);
  std::unique_lock<std::mutex> lock(slow.mu);
  slow.waiting++;
  slow.cv.notify_all();
  slow.cv.wait(lock, [] { return slow.answer; });
  addresses->push_back(Address("192.0.2.60"));
  return true;
}

// A slow look-up holds up neither admissions nor other additions, and two
// additions of one name waiting on it still list the name once.
TEST_F(IncomingTable, SlowLookupsHoldUpNoAdmission) {
  ASSERT_EQ(AddIncoming("192.0.2.61"), 1);
  slow.waiting = 0;
  slow.answer = false;
  SetHostResolver(SlowResolver);
  auto first = std::async(std::launch::async, [] { return AddIncoming("slow.example"); });
  auto second = std::async(std::launch::async, [] { return AddIncoming("slow.example"); });
  AnswerOnExit answerAdds;
  ASSERT_TRUE(SlowLookupsWaiting(2));
  auto admit = std::async(std::launch::async, [] {
    _incomingentry* e = nullptr;
    char host[256];
    uint32_t limit = 0;
    Admission a = HoldIncoming(Address("192.0.2.61"), false, &e, host, &limit);
    if (a == Admission::kHeld) ReleaseIncoming(e);
    return a == Admission::kHeld && AddIncoming("192.0.2.62") == 1;
  });
  bool prompt = admit.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
  AnswerSlowLookups();
  EXPECT_TRUE(prompt);
  EXPECT_TRUE(admit.get());
  EXPECT_EQ(first.get() + second.get(), 1);
  EXPECT_EQ(ListIncoming(), "slow.example 192.0.2.62 192.0.2.61 ");  // listed when its look-up ended
  EXPECT_NE(Permitted("192.0.2.60"), nullptr);

  // A refresh waiting on the name server holds up nobody either.
  slow.waiting = 0;
  slow.answer = false;
  auto refresh = std::async(std::launch::async, RefreshIncomingEntries);
  AnswerOnExit answerRefresh;
  ASSERT_TRUE(SlowLookupsWaiting(1));
  auto add = std::async(std::launch::async, [] { return AddIncoming("192.0.2.63"); });
  prompt = add.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
  AnswerSlowLookups();
  EXPECT_TRUE(prompt);
  EXPECT_EQ(add.get(), 1);
  refresh.get();

  // Refreshes rewrite address lists while the listener admits (a data race
  // for ThreadSanitizer when the lists are written outside the lock).
  SetHostResolver(FakeResolver);
  names["slow.example"] = {"192.0.2.60", "192.0.2.64"};
  std::atomic<bool> stop{false};
  auto refreshes = std::async(std::launch::async, [&stop] {
    while (!stop) RefreshIncomingEntries();
  });
  for (int i = 0; i < 20000; i++) {
    _incomingentry* e = nullptr;
    char host[256];
    uint32_t limit = 0;
    ASSERT_EQ(HoldIncoming(Address("192.0.2.60"), false, &e, host, &limit), Admission::kHeld);
    ReleaseIncoming(e);
  }
  stop = true;
  refreshes.get();
}

}  // namespace
