// The incoming peer table with a fake name server: slots, names, texts,
// deletion, look-up failures, and look-ups that hold up nobody.
#include <gtest/gtest.h>

#include <future>
#include <map>

#include "base/config.h"
#include "incoming/incoming_table.h"
#include "support/relay_process.h"
#include "support/temp_dir.h"

namespace {

std::map<std::string, uint32_t> names;  // a name resolves to {n, n + 1}; unlisted ones fail
std::atomic<int> lookups = 0;
std::shared_future<void> slowAnswer;  // "slow.example" waits for it

bool FakeResolver(const char* host, std::vector<uint32_t>* addresses) {
  lookups++;
  if (strcmp(host, "slow.example") == 0) slowAnswer.wait();
  if (names.contains(host)) addresses->assign({names[host], names[host] + 1});
  return names.contains(host);
}

_incomingentry* Permitted(uint32_t address) { return CheckIncoming(&address); }
Admission Hold(uint32_t address, bool underLoad) {
  _incomingentry* e;
  char host[256];
  uint32_t limit;
  return HoldIncoming(address, underLoad, &e, host, &limit);
}
std::string Config(const std::string& host) {
  std::string text;
  return GetIncomingConfig(host.c_str(), &text) ? text : "(none)";
}

class IncomingTable : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(LoadConfigFile(dir_.Write("relay.conf", "UpdateIncomingEntries = 0").c_str()));
    IncomingInit();
    names.clear();
    lookups = 0;
    SetHostResolver(FakeResolver);
  }
  void TearDown() override { SetHostResolver(nullptr); }
  TempDir dir_;
};

TEST_F(IncomingTable, AddressesFollowLookupsWithAGraceOf21Failures) {
  EXPECT_EQ(ReturnIncomingStatsString(), "{incoming } ");
  names["multi.example"] = 10;
  ASSERT_EQ(AddIncoming("multi.example"), 1);
  ASSERT_EQ(AddIncoming("later.example"), 1);  // listed, admits nobody until it resolves
  ASSERT_EQ(AddIncoming("0.0.0.9"), 1);
  EXPECT_EQ(lookups, 2);  // a dotted address needs none
  for (uint32_t a : {10, 11, 12, 20}) EXPECT_EQ(Permitted(a), a < 12 ? &_incoming[254] : nullptr) << a;
  names["later.example"] = 20;
  names.erase("multi.example");
  for (int failure = 1; failure <= 22; failure++) {
    RefreshIncomingEntries();
    EXPECT_EQ(Permitted(21), &_incoming[253]);
    ASSERT_EQ(Permitted(11) != nullptr, failure <= 21) << "after failure " << failure;
  }
  names["multi.example"] = 30;
  RefreshIncomingEntries();
  EXPECT_EQ(Permitted(30), &_incoming[254]);
  EXPECT_EQ(Config("multi.example"), "{multi.example {{parameters {{max_connections 7} {streaming 1}}} {statistics "
                                     "{{accepts 0} {refuse 0} {reject 0} {precommit_saves 0} {connected 0} "
                                     "{connects 0}}}}}");
}

TEST_F(IncomingTable, DeletedPeerWithConnectionsIsMarkedUntilARefreshFindsThemGone) {
  ASSERT_EQ(AddIncoming("0.0.0.40"), 1);
  ASSERT_EQ(SetIncomingParameter("0.0.0.40", "max_connections", 1), 1);
  // Refused only under load, and only holding exactly its limit.
  using enum Admission;
  for (auto [underLoad, outcome] : std::vector<std::pair<bool, Admission>>{
           {false, kHeld}, {true, kAtLimit}, {false, kHeld}, {true, kHeld}}) {
    EXPECT_EQ(Hold(40u << 24, underLoad), outcome) << underLoad;
  }
  EXPECT_EQ(Hold(41u << 24, false), Admission::kNoAccess);
  EXPECT_EQ(DelIncoming("0.0.0.40"), 1);
  EXPECT_EQ(AddIncoming("0.0.0.40"), 0);
  EXPECT_EQ(Hold(40u << 24, false), Admission::kNoAccess);
  for (int left = 3; left >= 0; left--) {
    RefreshIncomingEntries();
    EXPECT_EQ(ListIncoming(), left > 0 ? "0.0.0.40 " : "") << left;
    if (left > 0) ReleaseIncoming(&_incoming[254]);
  }
  EXPECT_EQ(AddIncoming("0.0.0.40"), 1);
  EXPECT_EQ(DelIncoming("0.0.0.40"), 1);  // no connection: freed at once
  EXPECT_EQ(ListIncoming(), "");
}

// While a look-up waits on the name server, admissions and additions go
// on; refreshes rewriting address lists beside the listener are no race.
TEST_F(IncomingTable, SlowLookupsHoldUpNobody) {
  std::promise<void> answer;
  slowAnswer = answer.get_future().share();
  names["slow.example"] = 60;
  auto slow = std::async(std::launch::async, [] { return AddIncoming("slow.example"); });
  EXPECT_TRUE(WaitUntil([] { return lookups == 1; }));
  auto others = std::async(std::launch::async,
                           [] { return AddIncoming("0.0.0.62") == 1 && Hold(62u << 24, false) == Admission::kHeld; });
  bool prompt = others.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
  answer.set_value();
  EXPECT_TRUE(prompt && others.get() && slow.get() == 1);
  std::atomic<bool> stop{false};
  auto refreshes = std::async(std::launch::async, [&stop] { while (!stop) RefreshIncomingEntries(); });
  int held = 0;
  for (int i = 0; i < 5000; i++) held += Hold(61, false) == Admission::kHeld;
  stop = true;
  EXPECT_EQ(held, 5000);
}

}  // namespace
