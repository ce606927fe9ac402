// Articles in, end to end: peers feed the real relay over loopback by
// streaming and by ihave, and what it stores is read back from its spool
// after it has stopped; then odd lines, bursts and peers that stop.
#include <gtest/gtest.h>

#include <list>
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

// An article whose text and terminator make exactly `total` bytes.
std::string Sized(const std::string& id, size_t total) {
  std::string head = Article(id, "");
  std::string body;
  while (head.size() + body.size() + 85 < total) body += std::string(78, 'x') + "\r\n";
  return head + body + std::string(total - 5 - head.size() - body.size(), 'y') + "\r\n";
}

TEST(NntpServer, ArticlesAreFiledOnceByEitherCommandAndCounted) {
  RelayInstance relay(kConfig, "AddIncoming 127.0.0.1");
  ASSERT_TRUE(relay.WaitReady());
  std::map<std::string, std::string> stored;
  Peer streamer(relay), ihaver(relay), again(relay);
  std::string checks, takethis;
  for (int i = 0; i < 10; i++) {
    std::string id = "s" + std::to_string(i) + "@test", ihave = "i" + std::to_string(i) + "@test";
    checks += "check <" + id + ">\r\n";
    takethis += Takethis(id, stored[id] = Article(id));
    if (i >= 5) continue;
    ASSERT_EQ(ihaver.Ask("ihave <" + ihave + ">\r\n"), "335 Send it");
    ASSERT_EQ(ihaver.Ask((stored[ihave] = Article(ihave)) + ".\r\n"), "235 Got it");
  }
  streamer.Send(checks + takethis);  // pipelined, two and more articles a packet
  for (int i = 0; i < 20; i++) {
    EXPECT_EQ(streamer.Line(), (i < 10 ? "238 <s" : "239 <s") + std::to_string(i % 10) + "@test>");
  }
  EXPECT_EQ(again.Ask("check <s0@test>\r\n"), "438 <s0@test>");
  EXPECT_EQ(again.Ask("ihave <i0@test>\r\n"), "435 Already got it");
  EXPECT_EQ(again.Ask(Takethis("s1@test", stored["s1@test"])), "439 <s1@test>");
  // 65535 bytes fill the small buffer, 1048575 the grown one: too large,
  // read to their end and refused, and the connection goes on.
  stored["big1@test"] = Sized("big1@test", 65535);
  stored["big2@test"] = Sized("big2@test", 300000);
  EXPECT_EQ(again.Ask(Takethis("big1@test", stored["big1@test"])), "239 <big1@test>");
  EXPECT_EQ(again.Ask(Takethis("big2@test", stored["big2@test"])), "239 <big2@test>");
  EXPECT_EQ(again.Ask(Takethis("big3@test", Sized("big3@test", 1048575))), "439 <big3@test>");
  ASSERT_EQ(again.Ask("ihave <big4@test>\r\n"), "335 Send it");
  EXPECT_EQ(again.Ask(Sized("big4@test", 2000000) + ".\r\n"), "437 Bad Article");
  ASSERT_EQ(again.Ask("ihave <e1@test>\r\n"), "335 Send it");
  EXPECT_EQ(again.Ask(".\r\n"), "437 Bad Article");
  EXPECT_EQ(again.Ask("check <after@test>\r\n"), "238 <after@test>");
  {
    Peer vanishing(relay);  // goes in the middle of an article, losing only that article
    vanishing.Send("takethis <gone@test>\r\n" + Article("gone@test").substr(0, 40));
  }
  EXPECT_EQ(again.Ask(Takethis("gone@test", stored["gone@test"] = Article("gone@test"))), "239 <gone@test>");
  std::string stats;
  const char* peerCounts = "{incoming {{host 127.0.0.1} {connected 3} {connects 4} {accepts 18} {refused 3} "
                           "{rejected 3} {precommit_saves 0}} }";
  EXPECT_TRUE(WaitUntil([&] { return (stats = again.Ask("ssp\r\n")).find(peerCounts) != std::string::npos; })) << stats;
  EXPECT_NE(stats.find("{ihave 8} {ihave_accept 5} {ihave_refuse 1} {ihave_reject 2} {check 12} {check_refuse 1} "
                       "{takethis 15} {takethis_refuse 2} {precommit_saves 0} "),
            std::string::npos) << stats;
  ASSERT_TRUE(relay.Restart());  // on its port, though closed connections linger on it
  EXPECT_EQ(Peer(relay).Ask("check <s0@test>\r\n"), "438 <s0@test>");
  EXPECT_EQ(relay.Stop(), 1);
  ASSERT_TRUE(LoadConfigFile(relay.dir().File("relay.conf").c_str()));
  histinit();
  for (const auto& [id, text] : stored) EXPECT_EQ(StoredBytes(relay, id), Stored(text)) << id;
  EXPECT_EQ(StoredBytes(relay, "big3@test"), "(not in history)");
  EXPECT_EQ(StoredBytes(relay, "big4@test"), "(not in history)");
  histclose();
}

TEST(NntpServer, CommandLinesAndPeersThatStop) {
  RelayInstance relay(std::string(kConfig) + "IncomingReadTimeout = 1\nIncomingTransferTimeout = 1\n",
                      "AddIncoming 127.0.0.1");
  ASSERT_TRUE(relay.WaitReady());
  Peer peer(relay);
  // Command words are known by their first letters in any case. A NUL is a
  // byte of its line; an identifier holding one, or cut short, is
  // malformed; one of 255 characters or more is cut to its first 255.
  static const char kOdd[] =
      "foo\r\nmode streaming\r\narticle <a@b>\r\ncheck<a@b>\r\ncheck <n1@test>\r\ncheck <n2\0x@test>\r\n"
      "ihave <n4\0@test>\r\nch\0eck <n5@test>\r\nihave <broken\r\ncheck <broken\r\nCHECK <\xe9t\xe9\xff@test>\r\n"
      "innoculate <in@test>\r\ninnoculatex <in2@test>\r\ncheck <in@test>\r\ncheck <in2@test>\r\n";
  const std::string longest(254, 'x'), tooLong(300, 'y'), cut = tooLong.substr(0, 255);
  peer.Send(std::string(kOdd, sizeof kOdd - 1) + "check <" + longest + ">\r\ncheck <" + tooLong + ">\r\nihave <" +
            tooLong + ">\r\n" + Takethis(tooLong, Article(tooLong)) + Takethis("z@test", Article("z@test")) +
            "SSPX\r\n");
  for (const std::string& reply : std::vector<std::string>{
           "500 invalid command", "203 StreamOK", "500 invalid command", "500 invalid command", "238 <n1@test>",
           "439 <n2>", "400 Invalid articleid", "500 invalid command", "400 Invalid articleid", "439 <broken>",
           "238 <\xe9t\xe9\xff@test>", "438 <in@test>", "438 <in2@test>", "238 <" + longest + ">", "439 <" + cut + ">",
           "400 Invalid articleid", "439 <" + cut + ">", "239 <z@test>"}) {
    EXPECT_EQ(peer.Line(), reply);
  }
  EXPECT_TRUE(peer.Line().starts_with("{starttime "));
  // About 20 KiB of replies to one burst come complete and in order, and
  // mode reader ends the connection without a reply of its own.
  std::string burst;
  for (int i = 0; i < 600; i++) burst += "check <b" + std::to_string(i) + "@test>\r\n";
  peer.Send(burst + "mode reader\r\ncheck <after@test>\r\n");
  for (int i = 0; i < 600; i++) ASSERT_EQ(peer.Line(), "238 <b" + std::to_string(i) + "@test>");
  EXPECT_EQ(peer.Line(), "");  // closed, and nothing more

  // While a peer is receiving an article, others are asked to offer it
  // later; a reply to an earlier command shows the relay is at it.
  const std::string part = Article("cut@test").substr(0, 40);
  Peer silent(relay), stalling(relay), streaming(relay), other(relay);
  EXPECT_EQ(silent.Ask("check <idle@test>\r\n"), "238 <idle@test>");
  ASSERT_EQ(stalling.Ask("ihave <cut@test>\r\n"), "335 Send it");
  stalling.Send(part);
  EXPECT_EQ(streaming.Ask("check <x@test>\r\ntakethis <st@test>\r\n" + part), "238 <x@test>");
  EXPECT_EQ(other.Ask("check <cut@test>\r\ncheck <st@test>\r\n"), "431 <cut@test>");
  EXPECT_EQ(other.Line(), "431 <st@test>");
  EXPECT_EQ(other.Ask("ihave <cut@test>\r\n"), "436 Transfer not possible; try again later");
  const std::string counts = "{connected 4} {connects 5} {accepts 1} {refused 2} {rejected 4} {precommit_saves 3}} }";
  std::string stats;
  EXPECT_TRUE(WaitUntil([&] { return (stats = other.Ask("ssp\r\n")).find(counts) != std::string::npos; })) << stats;
  EXPECT_NE(stats.find("{takethis 2} {takethis_refuse 4} {precommit_saves 3} "), std::string::npos) << stats;
  // 275 bytes without a line end wait for the rest of their line; 276 are
  // garbage. A byte now and then keeps the read time-out away, but a line
  // or an article must be whole within the transfer time-out, whose clock
  // stops at each line end.
  Peer patient(relay), garbage(relay);
  patient.Send(std::string(275, 'x'));
  garbage.Send(std::string(276, 'x'));
  EXPECT_TRUE(garbage.WaitClosed());
  EXPECT_TRUE(relay.WaitForLog(": main: garbage on connection from 127.0.0.1\n\n"));
  EXPECT_EQ(patient.Ask("\r\n"), "500 invalid command");
  std::list<Peer> slow;
  slow.emplace_back(relay).Send("chec");
  slow.emplace_back(relay).Send("takethis <slow@test>\r\nPath: a!b\r\n");
  auto began = std::chrono::steady_clock::now();
  int closed = 0;
  for (int i = 0; i < 30 && closed < 2; i++) {
    EXPECT_EQ(patient.Ask("check <p" + std::to_string(i) + "@test>\r\n"), "238 <p" + std::to_string(i) + "@test>");
    closed = 0;
    for (Peer& c : slow) closed += !c.Send("x") || c.WaitClosed(50ms);
  }
  EXPECT_EQ(closed, 2);
  EXPECT_LT(std::chrono::steady_clock::now() - began, 2500ms);
  EXPECT_TRUE(relay.WaitForLog(": transfer timeout for connection 127.0.0.1\n"));
  EXPECT_EQ(patient.Ask("quitting\r\n"), "205 Goodbye");
  EXPECT_TRUE(silent.WaitClosed() && stalling.WaitClosed() && streaming.WaitClosed());
  EXPECT_TRUE(relay.WaitForLog(": read timeout for connection 127.0.0.1\n"));
}

}  // namespace
