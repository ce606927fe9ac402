// The listener of the real relay over loopback: admission, limits, texts.
#include <gtest/gtest.h>

#include <list>

#include "support/nntp_client.h"
#include "support/relay_instance.h"

namespace {

const std::string kWeb = " -- Veltrane News Router -- https://veltrane.example.org/";

std::string Greeting(NntpClient* client, const RelayInstance& relay, const std::string& local = "127.0.0.1") {
  return client->Connect("127.0.0.1", relay.port(), local) ? client->Line() : "(connect failed)";
}

TEST(Listener, AdmissionLimitsAndTheirTexts) {
  const std::string banner(70, 'b'), siteFull(200, 's');
  RelayInstance relay("MaxIncomingConnections = 20\nConnectBanner = " + banner +
                          "\nNoAccessMessage = " + std::string(201, 'n') + "\nSiteTooManyMessage = " + siteFull,
                      "AddIncoming localhost\nSetIncoming localhost max_connections 1\nAddIncoming 127.0.0.2\n"
                      "AddIncoming 127.0.0.3\nSetIncoming 127.0.0.3 max_connections 2");
  ASSERT_TRUE(relay.WaitReady());
  NntpClient unlisted;
  EXPECT_EQ(Greeting(&unlisted, relay, "127.0.0.8"), "502 No Access" + kWeb);
  EXPECT_TRUE(unlisted.WaitClosed());
  EXPECT_TRUE(relay.WaitForLog(": chopped 127.0.0.8, no access\n\n"));
  // Peer limits apply only above 90% of the system limit, to a peer holding
  // exactly its limit; the system limit comes first, for everyone.
  std::list<NntpClient> open;
  auto connect = [&](const std::string& local) { return Greeting(&open.emplace_back(), relay, local); };
  EXPECT_EQ(connect("127.0.0.1"), "200 " + banner);
  for (int i = 0; i < 2; i++) ASSERT_EQ(connect("127.0.0.3"), "200 " + banner);
  for (int i = 0; i < 15; i++) ASSERT_EQ(connect("127.0.0.2"), "200 " + banner);
  EXPECT_EQ(connect("127.0.0.3"), "200 " + banner);  // 18 of 20 is not above 90%
  EXPECT_EQ(connect("127.0.0.1"), "400 " + siteFull);
  EXPECT_TRUE(relay.WaitForLog(": chopped localhost, connection limit (1) reached\n\n"));
  EXPECT_EQ(connect("127.0.0.2"), "200 " + banner);  // 15 is not its 7
  EXPECT_EQ(connect("127.0.0.1"), "400 System connection limit reached" + kWeb);
  EXPECT_EQ(connect("127.0.0.9"), "400 System connection limit reached" + kWeb);
  EXPECT_TRUE(relay.WaitForLog(": chopped 127.0.0.9, connection limit reached\n\n"));
  open.front().SendLine("quit");  // an ended connection makes room
  EXPECT_TRUE(WaitUntil([&] { return connect("127.0.0.1").starts_with("200 "); }));
}

}  // namespace
