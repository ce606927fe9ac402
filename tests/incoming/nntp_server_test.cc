// Articles in, end to end over loopback, read back from the spool after the
// relay stopped; then odd lines, articles in transfer elsewhere, time-outs.
#include <gtest/gtest.h>

#include <map>

#include "base/config.h"
#include "history/history.h"
#include "support/nntp_client.h"
#include "support/relay_instance.h"
#include "support/test_articles.h"

namespace {

const char* kConfig = "HistoryDataSize = 4000000\nHistoryTableSize = 100003\nMaxArticleFileSize = 100000000\n";

struct Peer : NntpClient {
  explicit Peer(const RelayInstance& relay) {
    EXPECT_TRUE(Connect("127.0.0.1", relay.port()));
    EXPECT_EQ(Line().substr(0, 4), "200 ");
  }
  std::string Ask(const std::string& bytes) { return Send(bytes) ? Line() : "(send failed)"; }
};

std::string Sized(const std::string& id, size_t total) {
  std::string head = Article(id, "");
  return head + std::string(total - 5 - head.size(), 'y') + "\r\n";
}

TEST(NntpServer, ArticlesAreFiledOnceByEitherCommandAndCounted) {
  RelayInstance relay(kConfig, "AddIncoming 127.0.0.1");
  ASSERT_TRUE(relay.WaitReady());
  std::map<std::string, std::string> stored;
  for (const char* id : {"s0@test", "s1@test", "s2@test", "i0@test", "gone@test"}) stored[id] = Article(id);
  stored["big@test"] = Sized("big@test", 300000);
  Peer streamer(relay), peer(relay);
  streamer.Send("check <s0@test>\r\ncheck <s1@test>\r\n" + Takethis("s0@test", stored["s0@test"]) +
                Takethis("s1@test", stored["s1@test"]) + Takethis("s2@test", stored["s2@test"]));  // one packet
  for (const char* reply : {"238 <s0@test>", "238 <s1@test>", "239 <s0@test>", "239 <s1@test>", "239 <s2@test>"}) {
    EXPECT_EQ(streamer.Line(), reply);
  }
  // A peer that goes in the middle of an article loses only that article.
  Peer(relay).Send("takethis <gone@test>\r\n" + stored["gone@test"].substr(0, 40));
  // 1048575 bytes with the terminator fill the grown buffer: too large,
  // read to their end and refused, and the connection goes on.
  for (const auto& [bytes, reply] : std::vector<std::pair<std::string, std::string>>{
           {"ihave <i0@test>\r\n", "335 Send it"}, {stored["i0@test"] + ".\r\n", "235 Got it"},
           {"check <s0@test>\r\n", "438 <s0@test>"}, {"ihave <i0@test>\r\n", "435 Already got it"},
           {Takethis("s1@test", stored["s1@test"]), "439 <s1@test>"},
           {Takethis("big@test", stored["big@test"]), "239 <big@test>"},
           {Takethis("big3@test", Sized("big3@test", 1048575)), "439 <big3@test>"},
           {"ihave <big4@test>\r\n", "335 Send it"}, {Sized("big4@test", 2000000) + ".\r\n", "437 Bad Article"},
           {"ihave <e1@test>\r\n", "335 Send it"}, {".\r\n", "437 Bad Article"},
           {Takethis("gone@test", stored["gone@test"]), "239 <gone@test>"}}) {
    EXPECT_EQ(peer.Ask(bytes), reply);
  }
  std::string stats;
  const char* peerCounts = "{incoming {{host 127.0.0.1} {connected 2} {connects 3} {accepts 6} {refused 3} "
                           "{rejected 3} {precommit_saves 0}} }";
  EXPECT_TRUE(WaitUntil([&] { return (stats = peer.Ask("ssp\r\n")).find(peerCounts) != std::string::npos; })) << stats;
  EXPECT_NE(stats.find("{ihave 4} {ihave_accept 1} {ihave_refuse 1} {ihave_reject 2} {check 3} {check_refuse 1} "
                       "{takethis 7} {takethis_refuse 2} {precommit_saves 0} "),
            std::string::npos) << stats;
  EXPECT_EQ(relay.Stop(), 1);
  StoppedRelayHistory history(relay);
  for (const auto& [id, text] : stored) EXPECT_EQ(history.StoredBytes(id), Stored(text)) << id;
}

TEST(NntpServer, CommandLinesAndPeersThatStop) {
  // Peers enough for a statistics text over the 8 KiB that replies wait in.
  RelayInstance relay(std::string(kConfig) + "IncomingReadTimeout = 1\nIncomingTransferTimeout = 1\n",
                      "AddIncoming 127.0.0.1\nfor {set i 1} {$i < 100} {incr i} {AddIncoming 10.0.0.$i}");
  ASSERT_TRUE(relay.WaitReady());
  Peer peer(relay);
  // Command words are known by their first letters in any case; a NUL is a
  // byte of its line; identifiers of 255 characters or more are cut.
  static const char kOdd[] =
      "foo\r\nmode streaming\r\narticle <a@b>\r\ncheck<a@b>\r\ncheck <n1@test>\r\nihave <n4\0@test>\r\n"
      "ch\0eck <n5@test>\r\ncheck <broken\r\nCHECK <\xe9t\xe9\xff@test>\r\ninnoculate <in@test>\r\n"
      "innoculatex <in2@test>\r\ncheck <in@test>\r\ncheck <in2@test>\r\n";
  const std::string tooLong(300, 'y'), cut = tooLong.substr(0, 255);
  peer.Send(std::string(kOdd, sizeof kOdd - 1) + "check <" + tooLong + ">\r\n" + Takethis(tooLong, Article(tooLong)) +
            Takethis("z@test", Article("z@test")) + "SSPX\r\n");
  for (const std::string& reply : std::vector<std::string>{
           "500 invalid command", "203 StreamOK", "500 invalid command", "500 invalid command", "238 <n1@test>",
           "400 Invalid articleid", "500 invalid command", "439 <broken>", "238 <\xe9t\xe9\xff@test>",
           "438 <in@test>", "438 <in2@test>", "439 <" + cut + ">", "439 <" + cut + ">", "239 <z@test>"}) {
    EXPECT_EQ(peer.Line(), reply);
  }
  const std::string text = peer.Line();  // larger than the buffer: sent at once
  EXPECT_TRUE(text.starts_with("{starttime ") && text.size() > 8192 &&
              text.ends_with("{{host 127.0.0.1} {connected 1} {connects 1} {accepts 1} {refused 2} {rejected 3} "
                             "{precommit_saves 0}} } ")) << text;
  // About 20 KiB of replies to one burst come complete and in order, and
  // mode reader ends the connection without a reply of its own.
  std::string burst;
  for (int i = 0; i < 600; i++) burst += "check <b" + std::to_string(i) + "@test>\r\n";
  peer.Send(burst + "mode reader\r\ncheck <after@test>\r\n");
  for (int i = 0; i < 600; i++) ASSERT_EQ(peer.Line(), "238 <b" + std::to_string(i) + "@test>");
  EXPECT_EQ(peer.Line(), "");

  // While a peer is receiving an article, others are asked to offer it later.
  const std::string part = Article("cut@test").substr(0, 40);
  Peer silent(relay), stalling(relay), streaming(relay), other(relay);
  EXPECT_EQ(silent.Ask("check <idle@test>\r\n"), "238 <idle@test>");
  ASSERT_EQ(stalling.Ask("ihave <cut@test>\r\n"), "335 Send it");
  stalling.Send(part);
  EXPECT_EQ(streaming.Ask("check <x@test>\r\ntakethis <st@test>\r\n" + part), "238 <x@test>");
  EXPECT_EQ(other.Ask("check <cut@test>\r\ncheck <st@test>\r\n"), "431 <cut@test>");
  EXPECT_EQ(other.Line(), "431 <st@test>");
  EXPECT_EQ(other.Ask("ihave <cut@test>\r\n"), "436 Transfer not possible; try again later");
  // 275 bytes without a line end wait for the rest of their line; 276 are
  // garbage. A byte now and then keeps the read time-out away, but an
  // article must be whole within the transfer time-out.
  Peer patient(relay), garbage(relay);
  patient.Send(std::string(275, 'x'));
  garbage.Send(std::string(276, 'x'));
  ASSERT_TRUE(garbage.WaitClosed());
  EXPECT_TRUE(relay.WaitForLog(": main: garbage on connection from 127.0.0.1\n\n"));
  EXPECT_EQ(patient.Ask("\r\nquitting\r\n"), "500 invalid command");
  EXPECT_EQ(patient.Line(), "205 Goodbye");
  Peer slow(relay);
  slow.Send("takethis <slow@test>\r\nPath: a!b\r\n");
  auto began = std::chrono::steady_clock::now();
  while (slow.Send("x") && !slow.WaitClosed(50ms) && std::chrono::steady_clock::now() - began < 2500ms) {
  }
  EXPECT_LT(std::chrono::steady_clock::now() - began, 2500ms);
  EXPECT_TRUE(relay.WaitForLog(": transfer timeout for connection 127.0.0.1\n"));
  EXPECT_TRUE(silent.WaitClosed() && stalling.WaitClosed() && streaming.WaitClosed());
  EXPECT_TRUE(relay.WaitForLog(": read timeout for connection 127.0.0.1\n"));
}

}  // namespace
