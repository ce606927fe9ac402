// The incoming peer table; names and parameters: tests/control.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "base/config.h"
#include "incoming/incoming_table.h"
#include "support/temp_dir.h"

namespace {

Admission Hold(uint32_t address) {
  _incomingentry* e;
  char host[256];
  uint32_t limit;
  return HoldIncoming(address, false, &e, host, &limit);
}

// A peer deleted while connected admits nobody new and keeps its name
// until a refresh finds its last connection gone.
TEST(IncomingTable, DeletedPeerWithConnectionsIsMarkedUntilARefreshFindsThemGone) {
  TempDir dir;
  ASSERT_TRUE(LoadConfigFile(dir.Write("relay.conf", "UpdateIncomingEntries = 0").c_str()));
  IncomingInit();
  ASSERT_EQ(AddIncoming("0.0.0.40"), 1);
  for (int i = 0; i < 3; i++) ASSERT_EQ(Hold(40u << 24), Admission::kHeld);
  EXPECT_EQ(DelIncoming("0.0.0.40"), 1);
  EXPECT_EQ(AddIncoming("0.0.0.40"), 0);
  EXPECT_EQ(Hold(40u << 24), Admission::kNoAccess);
  for (int left = 3; left >= 0; left--) {
    RefreshIncomingEntries();
    EXPECT_EQ(ListIncoming(), left > 0 ? "0.0.0.40 " : "") << left;
    if (left > 0) ReleaseIncoming(&_incoming[254]);
  }
  EXPECT_EQ(AddIncoming("0.0.0.40"), 1);
  EXPECT_EQ(DelIncoming("0.0.0.40"), 1);  // no connection: freed at once
  EXPECT_EQ(ListIncoming(), "");
}

// Peers listed and deleted while their figures are read (as a metrics
// scrape and the statistics text read them): every name read is whole.
TEST(IncomingTable, FiguresReadWhilePeersComeAndGoAreWhole) {
  TempDir dir;
  ASSERT_TRUE(LoadConfigFile(dir.Write("relay.conf", "UpdateIncomingEntries = 0").c_str()));
  IncomingInit();
  const std::string names[] = {"0.0.0.41", "0.0.0.142"};
  std::atomic<bool> done{false};
  std::thread changer([&] {
    for (int i = 0; i < 2000; i++) {
      AddIncoming(names[i % 2].c_str());
      DelIncoming(names[(i + 1) % 2].c_str());
    }
    done = true;
  });
  int torn = 0;
  while (!done) {
    for (const IncomingFigures& peer : IncomingSnapshot()) torn += peer.host != names[0] && peer.host != names[1];
    std::string text = ReturnIncomingStatsString();
    torn += text != "{incoming } " && text.find("{{host 0.0.0.") != std::string::npos &&
            text.find("{{host 0.0.0.41}") == std::string::npos && text.find("{{host 0.0.0.142}") == std::string::npos;
  }
  changer.join();
  EXPECT_EQ(torn, 0);
  for (const std::string& n : names) DelIncoming(n.c_str());
}

}  // namespace
