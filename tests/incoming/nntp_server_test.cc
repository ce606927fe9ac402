// Articles in, end to end: peers feed the real relay over loopback by
// streaming and by ihave; what it stores is read back from its spool and
// history files after it has stopped.
#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <list>
#include <map>
#include <thread>

#include "base/config.h"
#include "history/history.h"
#include "support/nntp_client.h"
#include "support/relay_instance.h"
#include "support/test_articles.h"

namespace {

void OpenHistoryOf(const RelayInstance& relay) {
  ASSERT_TRUE(LoadConfigFile(relay.dir().File("relay.conf").c_str()));
  histinit();
}

const char* kConfig = "HistoryDataSize = 4000000\nHistoryTableSize = 100003\nMaxArticleFileSize = 100000000\n";

class Peer {
 public:
  explicit Peer(const RelayInstance& relay) { ok_ = c_.Connect("127.0.0.1", relay.port()) && c_.Line().rfind("200 ", 0) == 0; }
  bool ok() const { return ok_; }
  NntpClient& c() { return c_; }
  std::string Ask(const std::string& bytes) {
    c_.Send(bytes);
    return c_.Line();
  }

 private:
  NntpClient c_;
  bool ok_ = false;
};

TEST(NntpServer, ArticlesFromSeveralPeersAreStoredOnceAndRefusedAfterARestart) {
  RelayInstance relay(kConfig, "AddIncoming 127.0.0.1");
  ASSERT_TRUE(relay.WaitReady());
  const int kPeers = 4, kEach = 25;
  std::vector<std::string> ids;
  std::map<std::string, std::string> articles;
  {
    std::list<Peer> peers;
    for (int p = 0; p < kPeers; p++) ASSERT_TRUE(peers.emplace_back(relay).ok());
    int p = 0;
    for (Peer& peer : peers) {
      std::string batch;
      std::vector<std::string> mine;
      for (int i = 0; i < kEach; i++) {
        std::string id = "a" + std::to_string(p) + "." + std::to_string(i) + "@test";
        mine.push_back(id);
        ids.push_back(id);
        articles[id] = Article(id);
      }
      if (p % 2 == 0) {
        // Streaming, pipelined: every check, then every takethis, in one go.
        for (const std::string& id : mine) batch += "check <" + id + ">\r\n";
        for (const std::string& id : mine) batch += Takethis(id, articles[id]);
        peer.c().Send(batch);
        for (const std::string& id : mine) EXPECT_EQ(peer.c().Line(), "238 <" + id + ">");
        for (const std::string& id : mine) EXPECT_EQ(peer.c().Line(), "239 <" + id + ">");
      } else {
        for (const std::string& id : mine) {
          ASSERT_EQ(peer.Ask("ihave <" + id + ">\r\n"), "335 Send it");
          ASSERT_EQ(peer.Ask(articles[id] + ".\r\n"), "235 Got it");
        }
      }
      p++;
    }
    // Offered again, from another connection: refused from the seen database.
    Peer again(relay);
    ASSERT_TRUE(again.ok());
    EXPECT_EQ(again.Ask("check <" + ids[0] + ">\r\n"), "438 <" + ids[0] + ">");
    EXPECT_EQ(again.Ask("ihave <" + ids[1] + ">\r\n"), "435 Already got it");
    EXPECT_EQ(again.Ask(Takethis(ids[2], Article(ids[2]))), "439 <" + ids[2] + ">");
  }
  ASSERT_TRUE(relay.Restart());
  {
    Peer after(relay);
    ASSERT_TRUE(after.ok());
    for (const std::string& id : ids) EXPECT_EQ(after.Ask("check <" + id + ">\r\n"), "438 <" + id + ">");
    EXPECT_EQ(after.Ask("ihave <" + ids[3] + ">\r\n"), "435 Already got it");
    std::string stats = after.Ask("ssp\r\n");
    EXPECT_NE(stats.find("{check " + std::to_string(ids.size()) + "} {check_refuse " + std::to_string(ids.size()) + "}"),
              std::string::npos) << stats;
  }
  EXPECT_EQ(relay.Stop(), 1);
  OpenHistoryOf(relay);
  for (const std::string& id : ids) EXPECT_EQ(StoredBytes(relay, id), Stored(articles[id])) << id;
  histclose();
}

TEST(NntpServer, RefusalsAnswerAndLogAsDocumented) {
  RelayInstance relay(kConfig, "AddIncoming 127.0.0.1");
  ASSERT_TRUE(relay.WaitReady());
  Peer peer(relay);
  ASSERT_TRUE(peer.ok());
  std::string noDate = "Path: x!y\r\nNewsgroups: comp.test\r\nSubject: no date\r\n\r\nbody\r\n";
  EXPECT_EQ(peer.Ask(Takethis("r1@test", noDate)), "439 <r1@test>");
  EXPECT_TRUE(relay.WaitForLog(": 127.0.0.1:AddArticleToFile(): no date line found\n"));

  std::string lowerDate = "Path: x!y\r\ndate: " + DateHeaderValue(time(nullptr)) + "\r\n\r\nbody\r\n";
  ASSERT_EQ(peer.Ask("ihave <r2@test>\r\n"), "335 Send it");
  EXPECT_EQ(peer.Ask(lowerDate + ".\r\n"), "437 Bad Article");

  std::string old = Article("r3@test", "Hello.\r\n", DateHeaderValue(time(nullptr) - 8 * 86400 - 60));
  EXPECT_EQ(peer.Ask(Takethis("r3@test", old)), "439 <r3@test>");
  EXPECT_TRUE(relay.WaitForLog(": 127.0.0.1: AddArticleToFile(): article too old (8 days old)\n"));

  std::string future = Article("r4@test", "Hello.\r\n", DateHeaderValue(time(nullptr) + 86400));
  EXPECT_EQ(peer.Ask(Takethis("r4@test", future)), "239 <r4@test>");

  std::string longDate = Article("r5@test", "Hello.\r\n", DateHeaderValue(time(nullptr)) + std::string(80, ' '));
  EXPECT_EQ(peer.Ask(Takethis("r5@test", longDate)), "439 <r5@test>");

  std::string garbled = Article("r6@test", "Hello.\r\n", "sometime last week, probably");
  EXPECT_EQ(peer.Ask(Takethis("r6@test", garbled)), "239 <r6@test>");
  EXPECT_TRUE(relay.WaitForLog(": 127.0.0.1: Date: could not parse: sometime last week, probably (accepted anyway)\n"));

  std::string noPath = "Newsgroups: comp.test\r\nDate: " + DateHeaderValue(time(nullptr)) + "\r\n\r\nbody\r\n";
  EXPECT_EQ(peer.Ask(Takethis("r7@test", noPath)), "439 <r7@test>");
  EXPECT_TRUE(relay.WaitForLog(": 127.0.0.1: AddArticleToFile(): no path line found\n"));

  // Empty articles, by either command.
  EXPECT_EQ(peer.Ask("takethis <r8@test>\r\n.\r\n"), "439 <r8@test>");
  ASSERT_EQ(peer.Ask("ihave <r9@test>\r\n"), "335 Send it");
  EXPECT_EQ(peer.Ask(".\r\n"), "437 Bad Article");

  // Malformed Message-IDs.
  EXPECT_EQ(peer.Ask("ihave <broken\r\n"), "400 Invalid articleid");
  // The partial identifier ends where the line's CR was.
  EXPECT_EQ(peer.Ask("check <broken\r\n"), "439 <broken>");
  EXPECT_EQ(peer.Ask("takethis <z\r\n" + Article("z@y") + ".\r\n"), "439 <z>");
  // A NUL is a byte of its line: the line ends at its own CR LF, one reply
  // each, and an identifier holding a NUL is malformed.
  static const char kNulLines[] =
      "check <n1@test>\r\ncheck <n2\0x@test>\r\ncheck <n3@test>\r\nihave <n4\0@test>\r\nch\0eck <n5@test>\r\n";
  peer.c().Send(std::string(kNulLines, sizeof kNulLines - 1));
  for (const char* reply : {"238 <n1@test>", "439 <n2>", "238 <n3@test>", "400 Invalid articleid",
                            "500 invalid command"}) {
    EXPECT_EQ(peer.c().Line(), reply);
  }

  // innoculate: no reply, but the identifier is seen from then on.
  EXPECT_EQ(peer.Ask("innoculate <r10@test>\r\ncheck <r10@test>\r\n"), "438 <r10@test>");
  EXPECT_EQ(peer.Ask("innoculatex <r11@test>\r\nCHECK <r11@test>\r\n"), "438 <r11@test>");
  EXPECT_EQ(peer.Ask("check<r12@test>\r\n"), "500 invalid command");
}

TEST(NntpServer, LargeArticlesGrowTheBufferAndOversizedOnesAreReadAndRefused) {
  RelayInstance relay(kConfig, "AddIncoming 127.0.0.1");
  ASSERT_TRUE(relay.WaitReady());
  Peer peer(relay);
  ASSERT_TRUE(peer.ok());
  // An article whose text and terminator make `total` bytes: what is sent
  // is the article and ".\r\n", the article ending in the CR LF that
  // belongs to the terminator.
  auto sized = [](const std::string& id, size_t total) {
    std::string head = Article(id, "");
    std::string body;
    while (head.size() + body.size() + 3 + 80 < total) body += std::string(78, 'x') + "\r\n";
    body += std::string(total - 3 - head.size() - body.size() - 2, 'y') + "\r\n";
    return head + body;
  };
  std::string exact = sized("big1@test", 65535), grown = sized("big2@test", 300000),
              tooBig = sized("big3@test", 1048575), after = Article("small@test");
  ASSERT_EQ(exact.size() + 3, 65535u);
  EXPECT_EQ(peer.Ask(Takethis("big1@test", exact)), "239 <big1@test>");
  EXPECT_EQ(peer.Ask(Takethis("big2@test", grown)), "239 <big2@test>");
  EXPECT_EQ(peer.Ask(Takethis("big3@test", tooBig)), "439 <big3@test>");
  // The connection goes on, and pipelined articles behind each other work.
  const std::string small2 = Article("small2@test");
  peer.c().Send(Takethis("small@test", after) + Takethis("small2@test", small2));
  EXPECT_EQ(peer.c().Line(), "239 <small@test>");
  EXPECT_EQ(peer.c().Line(), "239 <small2@test>");
  // An oversized article by ihave is read to its end too.
  ASSERT_EQ(peer.Ask("ihave <big4@test>\r\n"), "335 Send it");
  EXPECT_EQ(peer.Ask(sized("big4@test", 2000000) + ".\r\n"), "437 Bad Article");
  EXPECT_EQ(peer.Ask("check <after@test>\r\n"), "238 <after@test>");

  EXPECT_EQ(relay.Stop(), 1);
  OpenHistoryOf(relay);
  EXPECT_EQ(StoredBytes(relay, "big1@test"), Stored(exact));
  EXPECT_EQ(StoredBytes(relay, "big2@test"), Stored(grown));
  EXPECT_EQ(StoredBytes(relay, "big3@test"), "(not in history)");
  EXPECT_EQ(StoredBytes(relay, "big4@test"), "(not in history)");
  EXPECT_EQ(StoredBytes(relay, "small2@test"), Stored(small2));
  histclose();
}

TEST(NntpServer, APeerThatVanishesOrStallsMidArticleLosesOnlyThatArticle) {
  RelayInstance relay(std::string(kConfig) + "IncomingReadTimeout = 1\nMaxPrecommitAge = 500\n",
                      "AddIncoming 127.0.0.1");
  ASSERT_TRUE(relay.WaitReady());
  const std::string kept = Article("kept@test"), cut1 = Article("cut1@test");
  std::string half = cut1.substr(0, cut1.size() / 2);
  {
    Peer vanishing(relay);
    ASSERT_TRUE(vanishing.ok());
    EXPECT_EQ(vanishing.Ask(Takethis("kept@test", kept)), "239 <kept@test>");
    vanishing.c().Send("takethis <cut1@test>\r\n" + half);
  }
  Peer stalling(relay);
  ASSERT_TRUE(stalling.ok());
  ASSERT_EQ(stalling.Ask("ihave <cut2@test>\r\n"), "335 Send it");
  stalling.c().Send(half);
  // While cut2 is in transfer, other peers are asked to offer it later:
  // that transfer may still fail, as it does here.
  {
    Peer other(relay);
    ASSERT_TRUE(other.ok());
    EXPECT_EQ(other.Ask("check <cut2@test>\r\n"), "431 <cut2@test>");
    EXPECT_EQ(other.Ask("ihave <cut2@test>\r\n"), "436 Transfer not possible; try again later");
    std::string stats = other.Ask("ssp\r\n");
    EXPECT_NE(stats.find("{check_refuse 0} {takethis 1} {takethis_refuse 0} {precommit_saves 2}"), std::string::npos)
        << stats;
    EXPECT_NE(stats.find("{refused 0} {rejected 0} {precommit_saves 2}"), std::string::npos) << stats;
  }
  EXPECT_TRUE(stalling.c().WaitClosed());
  EXPECT_TRUE(relay.WaitForLog(": read timeout for connection 127.0.0.1\n"));

  // Both can be sent again in full (cut2 once its precommit entry aged out).
  Peer retry(relay);
  ASSERT_TRUE(retry.ok());
  EXPECT_EQ(retry.Ask(Takethis("cut1@test", cut1)), "239 <cut1@test>");
  EXPECT_TRUE(WaitUntil([&] { return retry.Ask("check <cut2@test>\r\n") == "238 <cut2@test>"; }, 5000ms));

  EXPECT_EQ(relay.Stop(), 1);
  OpenHistoryOf(relay);
  EXPECT_EQ(StoredBytes(relay, "kept@test"), Stored(kept));
  EXPECT_EQ(StoredBytes(relay, "cut1@test"), Stored(cut1));
  EXPECT_EQ(StoredBytes(relay, "cut2@test"), "(not in history)");
  histclose();
}

// A burst of 10,000 pipelined commands gets 10,000 replies in order;
// high-bit bytes are Message-ID bytes like any other; a Message-ID of 255
// characters or more is not complete: 439 with its first 255 to check and
// takethis (whose article is read and dropped), 400 to ihave, and the
// connection goes on.
TEST(NntpServer, BurstsHighBitBytesAndOverlongIdsGetTheirReplies) {
  RelayInstance relay(kConfig, "AddIncoming 127.0.0.1");
  ASSERT_TRUE(relay.WaitReady());
  Peer peer(relay);
  ASSERT_TRUE(peer.ok());
  std::string burst;
  for (int i = 0; i < 10000; i++) burst += "check <burst" + std::to_string(i) + "@test>\r\n";
  ASSERT_TRUE(peer.c().Send(burst));
  int inOrder = 0;
  for (int i = 0; i < 10000; i++) inOrder += peer.c().Line() == "238 <burst" + std::to_string(i) + "@test>";
  EXPECT_EQ(inOrder, 10000);

  EXPECT_EQ(peer.Ask("check <\xe9t\xe9\xff@test>\r\n"), "238 <\xe9t\xe9\xff@test>");
  const std::string longest(254, 'x'), tooLong(300, 'y');
  EXPECT_EQ(peer.Ask("check <" + longest + ">\r\n"), "238 <" + longest + ">");
  EXPECT_EQ(peer.Ask("check <" + tooLong + ">\r\n"), "439 <" + tooLong.substr(0, 255) + ">");
  EXPECT_EQ(peer.Ask("ihave <" + tooLong + ">\r\n"), "400 Invalid articleid");
  EXPECT_EQ(peer.Ask(Takethis(tooLong, Article(tooLong))), "439 <" + tooLong.substr(0, 255) + ">");
  EXPECT_EQ(peer.Ask(Takethis("after@test", Article("after@test"))), "239 <after@test>");
}

// A peer that sends a byte now and then never trips the read time-out; a
// command line or an article must arrive whole within the transfer time-out.
TEST(NntpServer, TricklingPeersAreCutOffAfterTheTransferTimeout) {
  RelayInstance relay(std::string(kConfig) + "IncomingTransferTimeout = 1\nIncomingReadTimeout = 30\n",
                      "AddIncoming 127.0.0.1");
  ASSERT_TRUE(relay.WaitReady());
  const std::string full = Takethis("slow@test", Article("slow@test"));
  for (const std::string& start : {full.substr(0, 60), std::string("chec")}) {
    Peer trickler(relay);
    ASSERT_TRUE(trickler.ok());
    trickler.c().Send(start);
    auto began = std::chrono::steady_clock::now();
    bool closed = false;
    for (int i = 0; i < 50 && !closed; i++) {
      closed = !trickler.c().Send("x") || trickler.c().WaitClosed(100ms);
    }
    EXPECT_TRUE(closed) << start;
    EXPECT_LT(std::chrono::steady_clock::now() - began, 3s);
  }
  EXPECT_TRUE(relay.WaitForLog(": transfer timeout for connection 127.0.0.1\n"));
  // A whole article in two parts within the time-out is stored.
  Peer peer(relay);
  ASSERT_TRUE(peer.ok());
  peer.c().Send(full.substr(0, 60));
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(peer.Ask(full.substr(60)), "239 <slow@test>");
}

TEST(NntpServer, SpoolFilesRotateBySizeAndOldOnesExpireAtStartUp) {
  RelayInstance relay(std::string(kConfig).replace(std::string(kConfig).find("MaxArticleFileSize = 100000000"),
                                                    30, "MaxArticleFileSize = 1000") +
                          "MaxKeepFileCount = 2\n",
                      "AddIncoming 127.0.0.1");
  ASSERT_TRUE(relay.WaitReady());
  relay.dir().Write("spool/notes.txt", "not a spool file");
  {
    Peer peer(relay);
    ASSERT_TRUE(peer.ok());
    std::string body(600, 'b');
    body += "\r\n";
    for (int i = 0; i < 6; i++) {
      std::string id = "rot" + std::to_string(i) + "@test";
      ASSERT_EQ(peer.Ask(Takethis(id, Article(id, body))), "239 <" + id + ">");
    }
  }
  // Six articles of about 800 bytes with a limit of 1000: a new file for
  // every second article. The next start deletes all but the newest two.
  ASSERT_TRUE(relay.Restart());
  EXPECT_TRUE(WaitUntil([&] {
    int art = 0;
    for (const auto& e : std::filesystem::directory_iterator(relay.dir().File("spool"))) {
      if (e.path().extension() == ".art") art++;
    }
    return art == 2;
  }));
  EXPECT_TRUE(FileExists(relay.dir().File("spool/notes.txt")));
}

}  // namespace
