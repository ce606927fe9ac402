// Relays feeding relays on loopback: what goes into the first arrives at
// the last, once and byte for byte apart from the path stamps, along a
// chain fed by streaming and by IHAVE.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "base/config.h"
#include "history/history.h"
#include "support/nntp_client.h"
#include "support/relay_instance.h"
#include "support/test_articles.h"

namespace {

using namespace std::chrono_literals;

// A relay named `name` that lists loopback as a peer and, when `site` is
// not 0, feeds the relay on that port with one feeder (streaming unless
// `ihave`).
std::unique_ptr<RelayInstance> Relay(const std::string& name, uint16_t site, bool ihave = false) {
  std::string script = "AddIncoming 127.0.0.1\n";
  if (site != 0) {
    script += "CreateSite 127.0.0.1 " + std::to_string(site) + "\nSetSite 127.0.0.1 distribution *\n";
    if (ihave) script += "SetSite 127.0.0.1 streaming 0\n";
    script += "SetSite 127.0.0.1 createfeeder f\n";
  }
  std::string config = "HostPathIdentifier = " + name + "\nHistoryDataSize = 4000000\nHistoryTableSize = 100003\n";
  return std::make_unique<RelayInstance>(config, script);
}

// Articles by id, as fed to a relay.
using Fed = std::vector<std::pair<std::string, std::string>>;

Fed Feed(RelayInstance& relay, const std::string& prefix, int count) {
  NntpClient c;
  EXPECT_TRUE(c.Connect("127.0.0.1", relay.port()));
  EXPECT_EQ(c.Line().substr(0, 4), "200 ");
  Fed fed;
  for (int i = 0; i < count; i++) {
    std::string id = prefix + std::to_string(i) + "@relay.test";
    fed.emplace_back(id, Article(id, "Text of " + id + ".\r\n"));
    EXPECT_TRUE(c.Send(Takethis(id, fed.back().second)));
    EXPECT_EQ(c.Line(), "239 <" + id + ">");
  }
  return fed;
}

// The articles `relay` has entered in its history, from its statistics.
uint32_t Inserted(RelayInstance& relay) {
  NntpClient c;
  if (!c.Connect("127.0.0.1", relay.port()) || c.Line().substr(0, 4) != "200 " || !c.SendLine("ssp")) return 0;
  std::string stats = c.Line();
  size_t at = stats.find("{insert ");
  return at == std::string::npos ? 0 : uint32_t(std::stoul(stats.substr(at + 8)));
}

// With `relay` stopped: the bytes it stored for `id`.
std::string StoredAt(RelayInstance& relay, const std::string& id) {
  return StoppedRelayHistory(relay).StoredBytes(id);
}

// What a relay stores for an article that reached it through `stamps`.
std::string Expected(const std::string& article, const std::string& stamps) {
  return article.substr(0, 6) + stamps + article.substr(6, article.size() - 8);
}

TEST(RelayToRelay, AChainPassesEverythingOnByEitherCommand) {
  // a -> b streaming, b -> c by IHAVE.
  auto c = Relay("relay.c", 0);
  ASSERT_TRUE(c->WaitReady());
  auto b = Relay("relay.b", c->port(), true);
  ASSERT_TRUE(b->WaitReady());
  auto a = Relay("relay.a", b->port());
  ASSERT_TRUE(a->WaitReady());
  Fed fed = Feed(*a, "chain", 300);
  // The feeders take what is stored from their creation on, connected or
  // not; each article is entered once (nothing else is offered).
  ASSERT_TRUE(WaitUntil([&] { return Inserted(*c) == fed.size(); }, 20000ms));
  EXPECT_EQ(c->Stop(), 1);
  for (const auto& [id, article] : {fed.front(), fed.back()}) {
    EXPECT_EQ(StoredAt(*c, id), Expected(article, "relay.c!relay.b!relay.a!")) << id;
  }

}

}  // namespace
