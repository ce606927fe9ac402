// The relay on networks of both families and of IPv6 alone, each test in a
// network of its own whose names resolve through the system's resolver
// from a hosts file of the test's.
#include <gtest/gtest.h>

#include "platform/net_address.h"
#include "support/isolated_network.h"
#include "support/nntp_client.h"
#include "support/relay_instance.h"
#include "support/test_articles.h"

namespace {

const std::string kNoAccess = "502 No Access -- Veltrane News Router -- https://veltrane.example.org/";

// A connection from `local` to the relay, and the first line it was sent.
std::string Greeting(const RelayInstance& relay, const std::string& local, NntpClient* client) {
  if (!client->Connect(local, relay.port(), local)) return "no connection";
  return client->Line();
}

std::string IncomingFigure(const RelayInstance& relay, const std::string& peer, const std::string& figure) {
  std::string text = std::get<1>(Ctl(relay, "GetIncomingConfig " + peer));
  size_t at = text.find("{" + figure + " ");
  return at == std::string::npos ? text : text.substr(at, text.find('}', at) - at + 1);
}

// A peer that reaches the relay over IPv6 only feeds it, and the relay feeds
// sites named by a name with only an AAAA record and by a bracketed address.
TEST(Network, OverIpv6Alone) {
  std::string why = EnterIsolatedNetwork(false, "::1 v6only.test\n");
  if (!why.empty()) GTEST_SKIP() << why;
  RelayInstance site("ListenAddress = ::1\n", "AddIncoming v6only.test\n");
  ASSERT_TRUE(site.WaitReady());
  const std::string port = std::to_string(site.port());
  RelayInstance relay("ListenAddress =\n", "AddIncoming v6only.test\n"
                      "CreateSite v6only.test " + port + "\nSetSite v6only.test distribution *\n"
                      "SetSite v6only.test createfeeder f\n"
                      "CreateSite {[::1]} " + port + "\nSetSite {[::1]} distribution *\n"
                      "SetSite {[::1]} createfeeder f\n");
  ASSERT_TRUE(relay.WaitReady());
  NntpClient peer;
  ASSERT_EQ(Greeting(relay, "::1", &peer).substr(0, 4), "200 ");
  for (std::string id : {"a0@v6.test", "a1@v6.test", "a2@v6.test"}) {
    EXPECT_EQ(peer.Send(Takethis(id, Article(id))) ? peer.Line() : "not sent", "239 <" + id + ">");
  }
  EXPECT_TRUE(WaitUntil([&] { return IncomingFigure(site, "v6only.test", "accepts") == "{accepts 3}"; }))
      << IncomingFigure(site, "v6only.test", "accepts");
  std::string stats;
  auto via = [&] {
    stats = std::get<1>(Ctl(relay, "", "GetSiteConfig v6only.test\nGetSiteConfig {[::1]}\n"));
    size_t n = 0;
    for (size_t at = 0; (at = stats.find(" via ::1}", at)) != std::string::npos; at++) n++;
    return n == 2;
  };
  EXPECT_TRUE(WaitUntil(via)) << stats;
  EXPECT_EQ(std::get<1>(Ctl(relay, "ListIncoming")), "v6only.test \n");
}

// A dual-stack listener tells IPv4 and IPv6 peers apart and names IPv4 ones
// by their dotted addresses; a name with records of both families admits
// both; a site whose first address refuses is reached at the next.
TEST(Network, DualStack) {
  std::string why = EnterIsolatedNetwork(true, "127.0.0.1 dual.test\n::1 dual.test\n");
  if (!why.empty()) GTEST_SKIP() << why;
  RelayInstance relay("ListenAddress =\n", "");
  ASSERT_TRUE(relay.WaitReady());
  NntpClient v4, v6;
  EXPECT_EQ(Greeting(relay, "127.0.0.1", &v4), kNoAccess);
  EXPECT_TRUE(relay.WaitForLog("chopped 127.0.0.1, no access"));
  EXPECT_EQ(Ctl(relay, "AddIncoming 127.0.0.1"), CtlRun(0, "", ""));
  EXPECT_EQ(Greeting(relay, "127.0.0.1", &v4).substr(0, 4), "200 ");
  EXPECT_EQ(Greeting(relay, "::1", &v6), kNoAccess);
  EXPECT_TRUE(relay.WaitForLog("chopped ::1, no access"));
  EXPECT_EQ(Ctl(relay, "AddIncoming dual.test"), CtlRun(0, "", ""));
  EXPECT_EQ(Greeting(relay, "::1", &v6).substr(0, 4), "200 ");
  EXPECT_EQ(IncomingFigure(relay, "dual.test", "connected"), "{connected 1}");
  EXPECT_EQ(IncomingFigure(relay, "127.0.0.1", "connected"), "{connected 1}");

  // The site listens on the second of dual.test's addresses only.
  std::vector<SocketAddress> order;
  ASSERT_TRUE(ResolveHost("dual.test", 0, &order) && order.size() == 2);
  char first[kNetAddressTextSize], second[kNetAddressTextSize];
  NetAddress a;
  NetAddressOf(order[0].get(), &a), FormatNetAddress(a, first);
  NetAddressOf(order[1].get(), &a), FormatNetAddress(a, second);
  RelayInstance site("ListenAddress = " + std::string(second) + "\n", "AddIncoming dual.test\n");
  ASSERT_TRUE(site.WaitReady());
  EXPECT_EQ(std::get<0>(Ctl(relay, "", "CreateSite dual.test " + std::to_string(site.port()) +
                                           "\nSetSite dual.test distribution *\nSetSite dual.test createfeeder f\n")),
            0);
  EXPECT_EQ(v4.Send(Takethis("b0@dual.test", Article("b0@dual.test"))) ? v4.Line() : "", "239 <b0@dual.test>");
  EXPECT_TRUE(WaitUntil([&] { return IncomingFigure(site, "dual.test", "accepts") == "{accepts 1}"; }));
  EXPECT_TRUE(relay.WaitForLog("feeder for dual.test: cannot connect to " + std::string(first) +
                               ": Connection refused"));
  EXPECT_TRUE(relay.WaitForLog("feeder for dual.test connected to " + std::string(second)));
  EXPECT_NE(std::get<1>(Ctl(relay, "GetSiteConfig dual.test")).find(" via " + std::string(second) + "}"),
            std::string::npos);
}

}  // namespace
