// The listener and the first command loop, over loopback against the real
// relay binary.
#include <gtest/gtest.h>

#include <fstream>
#include <list>

#include "support/nntp_client.h"
#include "support/relay_instance.h"

namespace {

const std::string kBuiltInBanner = "Veltrane 1.1Beta1 -- https://veltrane.example.org/";

// Connects from `local` and returns the greeting (or refusal) line.
std::string Greeting(NntpClient* client, const RelayInstance& relay, const std::string& local = "127.0.0.1") {
  if (!client->Connect("127.0.0.1", relay.port(), local)) return "(connect failed)";
  return client->Line();
}

TEST(Listener, ListedPeerIsGreetedAndUnlistedIsRefused) {
  RelayInstance relay("ConnectBanner = " + std::string(70, 'b') + "\nNoAccessMessage = " + std::string(201, 'n'),
                      "AddIncoming 127.0.0.1");
  ASSERT_TRUE(relay.WaitReady());
  NntpClient listed, unlisted;
  EXPECT_EQ(Greeting(&listed, relay), "200 " + std::string(70, 'b'));
  EXPECT_EQ(Greeting(&unlisted, relay, "127.0.0.2"),
            "502 No Access -- Veltrane News Router -- https://veltrane.example.org/");
  EXPECT_TRUE(unlisted.WaitClosed());
  EXPECT_TRUE(relay.WaitForLog(": chopped 127.0.0.2, no access\n\n"));

  // The first command loop: mode stream per the peer's flag, unknown
  // commands, statistics, quit.
  listed.SendLine("mode stream");
  EXPECT_EQ(listed.Line(), "203 StreamOK");
  listed.SendLine("article <a@b>");
  EXPECT_EQ(listed.Line(), "500 invalid command");
  listed.SendLine("SSP");
  std::string stats = listed.Line();
  EXPECT_EQ(stats.rfind("{starttime ", 0), 0u) << stats;
  EXPECT_NE(stats.find("{incoming {{host 127.0.0.1} {connected 1} {connects 1} "), std::string::npos) << stats;
  listed.SendLine("quitting");
  EXPECT_EQ(listed.Line(), "205 Goodbye");
  EXPECT_TRUE(listed.WaitClosed());

  NntpClient reader;
  ASSERT_EQ(Greeting(&reader, relay).substr(0, 4), "200 ");
  reader.SendLine("mode reader");
  EXPECT_TRUE(reader.WaitClosed());
  EXPECT_EQ(reader.Line(std::chrono::milliseconds(10)), "");  // closed without a reply
}

TEST(Listener, BannerAndRefusalTextsFallBackWhenTooLong) {
  RelayInstance relay("ConnectBanner = " + std::string(71, 'b') + "\nNoAccessMessage = " + std::string(200, 'n'),
                      "AddIncoming 127.0.0.1\nSetIncoming 127.0.0.1 streaming 0");
  ASSERT_TRUE(relay.WaitReady());
  NntpClient listed, unlisted;
  EXPECT_EQ(Greeting(&listed, relay), "200 " + kBuiltInBanner);
  EXPECT_EQ(Greeting(&unlisted, relay, "127.0.0.3"), "502 " + std::string(200, 'n'));
  listed.SendLine("mode stream");
  EXPECT_EQ(listed.Line(), "500 invalid command");
}

TEST(Listener, SystemLimitComesFirstAndPeerLimitsApplyOnlyAboveNinetyPercent) {
  RelayInstance relay("MaxIncomingConnections = 20\nSiteTooManyMessage = site full",
                      "AddIncoming localhost\nSetIncoming localhost max_connections 2\nAddIncoming 127.0.0.2");
  ASSERT_TRUE(relay.WaitReady());
  std::list<NntpClient> open;
  auto connect = [&](const std::string& local) { return Greeting(&open.emplace_back(), relay, local); };

  for (int i = 0; i < 2; i++) ASSERT_EQ(connect("127.0.0.1").substr(0, 4), "200 ") << i;
  // Lightly loaded, 127.0.0.2 gathers 17 connections against its limit of 7.
  for (int i = 0; i < 17; i++) ASSERT_EQ(connect("127.0.0.2").substr(0, 4), "200 ") << i;
  // 19 of 20 is above 90%: localhost, holding exactly its 2, is refused.
  EXPECT_EQ(connect("127.0.0.1"), "400 site full");
  EXPECT_TRUE(relay.WaitForLog(": chopped localhost, connection limit (2) reached\n\n"));
  // 127.0.0.2 holds more than its limit, not exactly it: admitted.
  EXPECT_EQ(connect("127.0.0.2").substr(0, 4), "200 ");
  // Full: the system limit answers before any peer is looked at.
  EXPECT_EQ(connect("127.0.0.1"),
            "400 System connection limit reached -- Veltrane News Router -- https://veltrane.example.org/");
  EXPECT_EQ(connect("127.0.0.9"),
            "400 System connection limit reached -- Veltrane News Router -- https://veltrane.example.org/");
  EXPECT_TRUE(relay.WaitForLog(": chopped 127.0.0.9, connection limit reached\n\n"));
}

TEST(Listener, TenOfTenAreAdmittedAndTheEleventhRefused) {
  RelayInstance relay("MaxIncomingConnections = 10\nSystemTooManyMessage = full up", "AddIncoming 127.0.0.1");
  ASSERT_TRUE(relay.WaitReady());
  std::list<NntpClient> open;
  for (int i = 0; i < 10; i++) ASSERT_EQ(Greeting(&open.emplace_back(), relay).substr(0, 4), "200 ") << i;
  EXPECT_EQ(Greeting(&open.emplace_back(), relay), "400 full up");
  // A connection that ends makes room again.
  open.front().SendLine("quit");
  ASSERT_EQ(open.front().Line(), "205 Goodbye");
  EXPECT_TRUE(WaitUntil([&] {
    NntpClient c;
    return Greeting(&c, relay).substr(0, 4) == "200 ";
  }));
}

TEST(Listener, LinesWithoutEndAreGarbageAbove275Bytes) {
  RelayInstance relay("", "AddIncoming localhost");
  ASSERT_TRUE(relay.WaitReady());
  NntpClient patient, garbage;
  ASSERT_EQ(Greeting(&patient, relay).substr(0, 4), "200 ");
  ASSERT_EQ(Greeting(&garbage, relay).substr(0, 4), "200 ");

  // 275 bytes wait for the rest of their line ...
  patient.Send(std::string(275, 'x'));
  garbage.Send(std::string(276, 'x'));
  EXPECT_TRUE(garbage.WaitClosed());
  EXPECT_TRUE(relay.WaitForLog(": main: garbage on connection from localhost\n\n"));
  // ... and are an ordinary (unknown) command once it comes.
  patient.Send("\r\n");
  EXPECT_EQ(patient.Line(), "500 invalid command");
  // Several commands in one packet are answered in order.
  patient.Send("foo\r\nmode stream\r\nquit\r\n");
  EXPECT_EQ(patient.Line(), "500 invalid command");
  EXPECT_EQ(patient.Line(), "203 StreamOK");
  EXPECT_EQ(patient.Line(), "205 Goodbye");
}

TEST(Listener, IdleConnectionsSitOnTheSmallBuffer) {
  RelayInstance relay("", "AddIncoming 127.0.0.1");
  ASSERT_TRUE(relay.WaitReady());
  auto residentKiB = [&] {
    std::ifstream status("/proc/" + std::to_string(relay.process().pid()) + "/status");
    std::string line;
    while (std::getline(status, line)) {
      if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    }
    return 0L;
  };
  NntpClient warmup;
  ASSERT_EQ(Greeting(&warmup, relay).substr(0, 4), "200 ");
  long before = residentKiB();
  std::list<NntpClient> idle;
  const int kIdle = 200;
  for (int i = 0; i < kIdle; i++) ASSERT_EQ(Greeting(&idle.emplace_back(), relay).substr(0, 4), "200 ") << i;
  long perConnection = (residentKiB() - before) / kIdle;
  RecordProperty("resident_kib_per_idle_connection", std::to_string(perConnection));
  printf("resident memory per idle connection: %ld KiB\n", perConnection);
  // A connection may touch its small buffer and its thread's stack, but
  // never the 1 MiB it could grow to.
  EXPECT_LT(perConnection, 256);
}

}  // namespace
