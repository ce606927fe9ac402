// The incoming peer table; names and parameters: tests/control.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "base/config.h"
#include "incoming/incoming_table.h"
#include "support/temp_dir.h"

namespace {

Admission Hold(PeerTable& t, const char* text) {
  NetAddress address;
  EXPECT_TRUE(ParseNetAddress(text, &address)) << text;
  _incomingentry* e;
  char host[256];
  uint32_t limit;
  return t.HoldIncoming(address, false, &e, host, &limit);
}

// A peer deleted while connected admits nobody new and keeps its name
// until a refresh finds its last connection gone.
TEST(IncomingTable, DeletedPeerWithConnectionsIsMarkedUntilARefreshFindsThemGone) {
  TempDir dir;
  Config config;
  ASSERT_TRUE(config.LoadConfigFile(dir.Write("relay.conf", "UpdateIncomingEntries = 0").c_str()));
  PeerTable t(&config);
  ASSERT_EQ(t.AddIncoming("0.0.0.40"), 1);
  for (int i = 0; i < 3; i++) ASSERT_EQ(Hold(t, "0.0.0.40"), Admission::kHeld);
  EXPECT_EQ(t.DelIncoming("0.0.0.40"), 1);
  EXPECT_EQ(t.AddIncoming("0.0.0.40"), 0);
  EXPECT_EQ(Hold(t, "0.0.0.40"), Admission::kNoAccess);
  for (int left = 3; left >= 0; left--) {
    t.RefreshIncomingEntries();
    EXPECT_EQ(t.ListIncoming(), left > 0 ? "0.0.0.40 " : "") << left;
    if (left > 0) PeerTable::ReleaseIncoming(&t.Slot(254));
  }
  EXPECT_EQ(t.AddIncoming("0.0.0.40"), 1);
  EXPECT_EQ(t.DelIncoming("0.0.0.40"), 1);  // no connection: freed at once
  EXPECT_EQ(t.ListIncoming(), "");
}

// Peers listed and deleted while their figures are read (as a metrics
// scrape and the statistics text read them): every name read is whole.
TEST(IncomingTable, FiguresReadWhilePeersComeAndGoAreWhole) {
  TempDir dir;
  Config config;
  ASSERT_TRUE(config.LoadConfigFile(dir.Write("relay.conf", "UpdateIncomingEntries = 0").c_str()));
  PeerTable t(&config);
  const std::string names[] = {"0.0.0.41", "0.0.0.142"};
  std::atomic<bool> done{false};
  std::thread changer([&] {
    for (int i = 0; i < 2000; i++) {
      t.AddIncoming(names[i % 2].c_str());
      t.DelIncoming(names[(i + 1) % 2].c_str());
    }
    done = true;
  });
  int torn = 0;
  while (!done) {
    for (const IncomingFigures& peer : t.IncomingSnapshot()) torn += peer.host != names[0] && peer.host != names[1];
    std::string text = t.ReturnIncomingStatsString();
    torn += text != "{incoming } " && text.find("{{host 0.0.0.") != std::string::npos &&
            text.find("{{host 0.0.0.41}") == std::string::npos && text.find("{{host 0.0.0.142}") == std::string::npos;
  }
  changer.join();
  EXPECT_EQ(torn, 0);
  for (const std::string& n : names) t.DelIncoming(n.c_str());
}

// Peers of both families: a name with A and AAAA records admits each of
// them; an IPv6 address is keyed, listed and found in its RFC 5952 form
// however it was written; an IPv4 peer seen on a dual-stack socket
// (::ffff:a.b.c.d) is its IPv4 address.
TEST(IncomingTable, PeersOfBothFamilies) {
  TempDir dir;
  Config config;
  ASSERT_TRUE(config.LoadConfigFile(dir.Write("relay.conf", "UpdateIncomingEntries = 0").c_str()));
  PeerTable t(&config);
  t.SetHostResolver([](const char* host, std::vector<NetAddress>* addresses) {
    if (strcmp(host, "dual.example") != 0) return false;
    for (const char* text : {"192.0.2.7", "2001:db8::7"}) {
      addresses->emplace_back();
      ParseNetAddress(text, &addresses->back());
    }
    return true;
  });
  ASSERT_EQ(t.AddIncoming("dual.example"), 1);
  EXPECT_EQ(t.Slot(254).address_count, 2u);
  ASSERT_EQ(t.AddIncoming("[2001:DB8:0:0:0:0:0:0001]"), 1);
  EXPECT_EQ(t.AddIncoming("2001:db8::1"), 0);
  EXPECT_EQ(t.ListIncoming(), "2001:db8::1 dual.example ");
  std::string text;
  EXPECT_TRUE(t.GetIncomingConfig("2001:0db8::1", &text));
  EXPECT_EQ(text.rfind("{2001:db8::1 {{parameters", 0), 0u) << text;
  const std::pair<const char*, Admission> peers[] = {
      {"192.0.2.7", Admission::kHeld},      {"::ffff:192.0.2.7", Admission::kHeld},
      {"2001:db8::7", Admission::kHeld},    {"2001:db8::1", Admission::kHeld},
      {"2001:db8::8", Admission::kNoAccess}, {"192.0.2.8", Admission::kNoAccess},
  };
  for (auto [peer, admission] : peers) EXPECT_EQ(Hold(t, peer), admission) << peer;
  EXPECT_EQ(t.DelIncoming("[2001:db8::1]"), 1);
}

}  // namespace
