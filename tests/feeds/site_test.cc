// Sites and feeders on a real spool and history in this process, fed to
// scripted peers on loopback: which articles each site gets, batches that
// never overlap between feeders, and a feeder's life from its first
// connection to its deletion.
#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <unistd.h>

#include "feeds/feeder.h"
#include "feeds/site.h"
#include "spool/spool_fixture.h"
#include "support/nntp_client.h"
#include "support/relay_process.h"

namespace {

using namespace std::chrono_literals;

// A peer on loopback: each accepted connection is served by `serve` on a
// thread of its own, with a line reader over the socket.
class ScriptedPeer {
 public:
  struct Connection {
    int fd;
    std::string buffer;
    bool closed = false;
    // The next line without CR LF; "" with `closed` set when the feeder
    // closed.
    std::string Line() {
      for (;;) {
        size_t end = buffer.find("\r\n");
        if (end != std::string::npos) {
          std::string line = buffer.substr(0, end);
          buffer.erase(0, end + 2);
          return line;
        }
        char chunk[4096];
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n <= 0) {
          closed = true;
          return "";
        }
        buffer.append(chunk, size_t(n));
      }
    }
    // An article up to its "." line, without the CR LF before that line.
    std::string Article() {
      std::string text;
      for (std::string line = Line(); !closed && line != "."; line = Line()) text += line + "\r\n";
      return text.substr(0, text.size() >= 2 ? text.size() - 2 : 0);
    }
    void Send(const std::string& text) { (void)!write(fd, text.data(), text.size()); }
  };

  explicit ScriptedPeer(std::function<void(Connection&)> serve) : serve_(std::move(serve)) {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    EXPECT_EQ(listen(listener_, 8), 0);
    socklen_t len = sizeof a;
    getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    acceptor_ = std::thread([this] {
      for (;;) {
        int fd = accept(listener_, nullptr, nullptr);
        if (fd < 0) return;
        connections_++;
        std::lock_guard<std::mutex> lock(mu_);
        fds_.push_back(fd);
        served_.emplace_back([this, fd] {
          Connection c{fd, "", false};
          serve_(c);
          shutdown(fd, SHUT_RDWR);  // closed by the destructor, so the number is not reused meanwhile
        });
      }
    });
  }
  // Ends every connection still open (its reads then see the end) and
  // waits for the threads that serve them.
  ~ScriptedPeer() {
    shutdown(listener_, SHUT_RDWR);
    close(listener_);
    acceptor_.join();
    for (int fd : fds_) shutdown(fd, SHUT_RDWR);
    for (std::thread& t : served_) t.join();
    for (int fd : fds_) close(fd);
  }
  uint16_t port() const { return port_; }
  int connections() const { return connections_.load(); }

 private:
  std::function<void(Connection&)> serve_;
  int listener_ = -1;
  uint16_t port_ = 0;
  std::thread acceptor_;
  std::atomic<int> connections_{0};
  std::mutex mu_;
  std::vector<int> fds_;
  std::vector<std::thread> served_;
};

class SiteTest : public SpoolTest {
 protected:
  void TearDown() override {
    for (std::atomic<Site*>& slot : siteArray) slot = nullptr;
    SetFeederTimings(FeederTimings());
    SpoolTest::TearDown();
  }

  Site* NewSite(uint32_t slot, const char* distribution, uint32_t port = 119, std::string host = "") {
    if (host.empty()) host = "site" + std::to_string(slot) + ".test";
    Site* site = MakeSite(host.c_str(), slot);
    site->SetPort(port);
    if (distribution != nullptr) {
      EXPECT_EQ(site->SetFeedInfo(distribution), 1);
    }
    siteArray[slot] = site;
    return site;
  }

  std::string Posted(const std::string& id, const std::string& groups, const std::string& path = "x!y") {
    return "Path: " + path + "\r\nDate: " + DateText(now) + "\r\nNewsgroups: " + groups + "\r\nMessage-ID: <" + id +
           ">\r\n\r\nBody of " + id + ".";
  }

  // Stores "<prefix><i>@test" in misc.test for i from `from` up to `to`.
  void StoreNumbered(const std::string& prefix, int from, int to) {
    for (int i = from; i < to; i++) {
      std::string id = prefix + std::to_string(i) + "@test";
      ASSERT_EQ(Store(id, Posted(id, "misc.test")), 1);
    }
  }

  // Deletes feeder 0, stores one more article for it to end its batch on
  // (a feeder waiting for articles sees the request only then), and waits
  // until it has left the site.
  bool EndFeeder(Site* site) {
    site->DeleteFeeder(0);
    std::string id = "end" + std::to_string(ends_++) + "@test";
    if (Store(id, Posted(id, "misc.test")) != 1) return false;
    return WaitUntil([&] { return site->GetSiteInfo().find("{feeders {}}") != std::string::npos; }, 5000ms);
  }
  int ends_ = 0;

  // The identifiers a site's feeder would get now, in one batch.
  static std::vector<std::string> Batch(Site* site) {
    _histentry slots[29] = {};
    _distrib* d = site->GetDistribution();
    for (_histentry& s : slots) s.distribution = HistFeedBit{d->bitMask, d->wordIndex};
    slots[0].position = 160;  // from the start of the history
    uint32_t count = 29;
    site->GetNextEntry(slots, &count);
    std::vector<std::string> ids;
    for (uint32_t i = 0; i < count; i++) ids.push_back(slots[i].identifier);
    return ids;
  }
};

TEST_F(SiteTest, DistributionsDecideWhichSitesGetWhichArticles) {
  Start("LatencyFeedPrefetch = 40\nRegularFeedPrefetch = 7\nMaxBacklog = 777\n");
  Site* comp = NewSite(0, "comp.*");
  Site* notComp = NewSite(37, "@*peer.example*,!comp.*,*");
  Site* everything = NewSite(127, "*");
  ASSERT_EQ(Store("a@test", Posted("a@test", "comp.lang.c")), 1);
  ASSERT_EQ(Store("b@test", Posted("b@test", "rec.arts,comp.lang.c")), 1);
  ASSERT_EQ(Store("c@test", Posted("c@test", "rec.arts")), 1);
  ASSERT_EQ(Store("d@test", Posted("d@test", "rec.arts", "peer.example!x")), 1);
  ASSERT_EQ(Store("e@test", Posted("e@test", "alt.test")), 1);
  EXPECT_EQ(Batch(comp), (std::vector<std::string>{"a@test", "b@test"}));
  EXPECT_EQ(Batch(notComp), (std::vector<std::string>{"b@test", "c@test", "e@test"}));
  EXPECT_EQ(Batch(everything), (std::vector<std::string>{"a@test", "b@test", "c@test", "d@test", "e@test"}));
  // A new distribution takes effect for the articles stored after it.
  ASSERT_EQ(comp->SetFeedInfo("alt.*"), 1);
  EXPECT_EQ(comp->SetFeedInfo(std::string(64, 'x').c_str()), 0);  // refused: the old one stays
  ASSERT_EQ(Store("f@test", Posted("f@test", "alt.test,comp.lang.c")), 1);
  EXPECT_EQ(Batch(comp), (std::vector<std::string>{"f@test"}));
  // Configured parameters, the prefetch values capped at 29.
  EXPECT_NE(comp->GetSiteInfo().find("{Port 119} {LatencyFeedPrefetch 29} {RegularFeedPrefetch 7} {Streaming 1} "
                                     "{MaxBacklog 777} {NoCheckN 0} {NoCheckL 0} {Distribution {alt.*}}"),
            std::string::npos);
  EXPECT_NE(ReturnSiteStatsString().find("{{site site0.test} {accepts 0} {refused 0} {rejects 0} "
                                         "{articles_per_second 0.0000} {elapsed_time 0} {flagged_for 1} {inpath 0} "
                                         "{connects 0}} "),
            std::string::npos);
}

// Several feeders of one site walk the history while articles are stored:
// each article goes to exactly one of them, and none is skipped.
TEST_F(SiteTest, FeedersOfOneSiteNeverShareOrSkipAnArticle) {
  Start();
  Site* site = NewSite(3, "*");
  constexpr int kArticles = 600, kFeeders = 4;
  std::mutex mu;
  std::multiset<std::string> got;
  std::vector<std::thread> feeders;
  for (int f = 0; f < kFeeders; f++) {
    feeders.emplace_back([&, f] {
      _histentry slots[29] = {};
      for (_histentry& s : slots) s.distribution = HistFeedBit{1u << 3, 0};
      slots[0].position = 160;  // from the start, whenever the thread begins
      for (;;) {
        uint32_t count = uint32_t(1 + f * 7);
        site->GetNextEntry(slots, &count);
        std::lock_guard<std::mutex> lock(mu);
        for (uint32_t i = 0; i < count; i++) {
          if (std::string(slots[i].identifier).rfind("stop", 0) == 0) return;
          got.insert(slots[i].identifier);
        }
      }
    });
  }
  for (int i = 0; i < kArticles; i++) {
    std::string id = "n" + std::to_string(i) + "@test";
    ASSERT_EQ(Store(id, Posted(id, "misc.test")), 1);
  }
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard<std::mutex> lock(mu);
    return got.size() == size_t(kArticles);
  }));
  // One stop article per feeder still waiting, until all have ended.
  std::atomic<int> stops{0};
  std::thread stopper([&] {
    for (int i = 0; i < 200 && stops.load() < kFeeders; i++) {
      std::string id = "stop" + std::to_string(i) + "@test";
      Store(id, Posted(id, "misc.test"));
      std::this_thread::sleep_for(10ms);
    }
  });
  for (std::thread& t : feeders) {
    t.join();
    stops++;
  }
  stopper.join();
  EXPECT_EQ(got.size(), size_t(kArticles));
  EXPECT_EQ(std::set<std::string>(got.begin(), got.end()).size(), size_t(kArticles));
}

// A feeder's life against scripted peers: refused at first (the 30-second
// wait, shortened here), no access (the 5-minute wait), then a peer that
// declines streaming and takes articles by ihave; a delete request ends it.
TEST_F(SiteTest, FeederConnectsFeedsByIhaveAndEndsOnDeletion) {
  Start();
  FeederTimings fast;
  fast.firstConnectFailedMs = 50;
  fast.firstNoAccessMs = 50;
  fast.reconnectMs = 20;
  SetFeederTimings(fast);

  // Before it runs, a feeder reports itself starting up.
  Site* idle = NewSite(9, "*");
  Feeder unstarted(idle, 'x', nullptr);
  EXPECT_EQ(unstarted.GetStateString(),
            "{0 {statistics {{feedtype x} {accept 0} {refuse 0} {reject 0} {nocheck N} {state {Starting up...}} "
            "{article {}}}}} ");
  EXPECT_EQ(NewSite(10, nullptr)->CreateFeeder('x', nullptr), -1);  // no distribution yet

  std::atomic<int> phase{0};  // 0: no access (until the test moves on), 1: feed
  std::mutex mu;
  std::map<std::string, std::string> received;
  ScriptedPeer peer([&](ScriptedPeer::Connection& c) {
    if (phase.load() == 0) {
      c.Send("502 no access\r\n");
      return;
    }
    c.Send("200 ok\r\n");
    EXPECT_EQ(c.Line(), "mode stream");
    c.Send("500 what?\r\n");
    for (std::string line = c.Line(); !c.closed; line = c.Line()) {
      if (line == "quit") {
        c.Send("205 bye\r\n");
        return;
      }
      ASSERT_EQ(line.rfind("ihave <", 0), 0u) << line;
      std::string id = line.substr(7, line.size() - 8);
      if (id.rfind("refused", 0) == 0) {
        c.Send("435 no thanks\r\n");
        continue;
      }
      c.Send("335 send it\r\n");
      std::string article = c.Article();
      std::lock_guard<std::mutex> lock(mu);
      received[id] = article;
      c.Send("235 got it\r\n");
    }
  });

  Site* site = NewSite(11, "*", peer.port(), "127.0.0.1");
  // Nothing listens on the site's port yet: connect failed.
  uint16_t closedPort = FreeLoopbackPort();
  site->SetPort(closedPort);
  ASSERT_EQ(site->CreateFeeder('f', nullptr), 0);
  EXPECT_TRUE(WaitUntil([&] { return site->GetSiteInfo().find("{state {Waiting to connect (connect failed)}}") !=
                                     std::string::npos; }, 5000ms)) << site->GetSiteInfo();
  site->SetPort(peer.port());
  EXPECT_TRUE(WaitUntil([&] { return site->GetSiteInfo().find("{state {Waiting to reconnect (no access)}}") !=
                                     std::string::npos; }, 5000ms));
  phase = 1;
  EXPECT_TRUE(WaitUntil([&] { return site->GetSiteInfo().find("{state {Getting articles to feed (IHAVE)}}") !=
                                     std::string::npos; }, 5000ms));
  EXPECT_GE(peer.connections(), 2);  // the no-access greeting came first

  for (const char* id : {"i1@test", "refused1@test", "i2@test"}) ASSERT_EQ(Store(id, Posted(id, "misc.test")), 1);
  ASSERT_TRUE(WaitUntil([&] { return site->accepts.load() == 2 && site->refused.load() == 1; }, 5000ms));
  {
    std::lock_guard<std::mutex> lock(mu);
    EXPECT_EQ(received["i1@test"], Stamped(Posted("i1@test", "misc.test")));
    EXPECT_EQ(received["i2@test"], Stamped(Posted("i2@test", "misc.test")));
  }
  EXPECT_NE(site->GetStateString().find("{accepts 2} {refused 1} {rejects 0}"), std::string::npos);

  // Deleted: it ends after its next offer, says so, and leaves the site.
  size_t logSize = Log().size();
  site->DeleteFeeder(0);
  ASSERT_EQ(Store("last@test", Posted("last@test", "misc.test")), 1);
  EXPECT_TRUE(WaitUntil([&] { return Log().find("feeder for 127.0.0.1 deleted", logSize) != std::string::npos; },
                        5000ms));
  EXPECT_TRUE(WaitUntil([&] { return site->GetSiteInfo().find("{feeders {}}") != std::string::npos; }, 5000ms));
  EXPECT_EQ(site->CreateFeeder('f', "i2@test"), 0);  // the place is free again
  EXPECT_TRUE(EndFeeder(site));
}

// Streaming to a peer that takes everything: the first batch is offered
// with check, later ones as bare takethis. With the hour shortened to
// nothing, the feeder renews its connection after every feed loop.
TEST_F(SiteTest, FeederStreamsAndRenewsItsConnection) {
  Start();
  FeederTimings fast;
  fast.recycleSeconds = 0;
  fast.reconnectMs = 10;
  SetFeederTimings(fast);
  std::mutex mu;
  std::vector<std::string> lines;
  std::map<std::string, std::string> received;
  ScriptedPeer peer([&](ScriptedPeer::Connection& c) {
    c.Send("200 ok\r\n");
    EXPECT_EQ(c.Line(), "mode stream");
    c.Send("203 streaming\r\n");
    for (std::string line = c.Line(); !c.closed; line = c.Line()) {
      {
        std::lock_guard<std::mutex> lock(mu);
        lines.push_back(line);
      }
      if (line == "quit") {
        c.Send("205 bye\r\n");
        return;
      }
      std::string id = line.substr(line.find('<') + 1, line.find('>') - line.find('<') - 1);
      if (line.rfind("check ", 0) == 0) {
        c.Send("238 <" + id + ">\r\n");
      } else if (line.rfind("takethis ", 0) == 0) {
        std::string article = c.Article();
        std::lock_guard<std::mutex> lock(mu);
        received[id] = article;
        c.Send("239 <" + id + ">\r\n");
      }
    }
  });
  Site* site = NewSite(12, "*", peer.port(), "127.0.0.1");
  site->regularFeedPrefetch = 3;
  ASSERT_EQ(site->CreateFeeder('f', nullptr), 0);
  ASSERT_TRUE(WaitUntil([&] { return site->GetSiteInfo().find("{state {getting articles to feed}}") !=
                                     std::string::npos; }, 5000ms));
  // Articles offered with check first.
  StoreNumbered("s", 0, 3);
  ASSERT_TRUE(WaitUntil([&] { return site->accepts.load() == 3; }, 5000ms));
  // A parameter change ends the loop after its batch; with the hour at
  // nothing (more than 0 s connected) the connection is renewed then.
  std::this_thread::sleep_for(1100ms);
  site->updateCount++;
  StoreNumbered("s", 3, 9);
  ASSERT_TRUE(WaitUntil([&] { return site->accepts.load() == 9; }, 5000ms));
  EXPECT_GE(peer.connections(), 2);
  EXPECT_GE(site->connects.load(), 2u);
  {
    std::lock_guard<std::mutex> lock(mu);
    EXPECT_EQ(lines.at(0), "check <s0@test>");
    EXPECT_NE(std::find(lines.begin(), lines.end(), "takethis <s0@test>"), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "quit"), lines.end());
    for (int i = 0; i < 9; i++) {
      std::string id = "s" + std::to_string(i) + "@test";
      EXPECT_EQ(received[id], Stamped(Posted(id, "misc.test"))) << id;
    }
  }
  EXPECT_TRUE(EndFeeder(site));
}

// A streaming peer whose answers a test chooses: `checkReply` and
// `takethisReply` give the reply code for the n-th check or takethis line
// (counted from 0 over all connections); a code of 0 closes the connection
// instead. Every line received is kept.
struct StreamingPeer {
  std::function<int(int n)> checkReply = [](int) { return 238; };
  std::function<int(int n)> takethisReply = [](int) { return 239; };
  // The reply to the n-th ihave, and to its article (when the first is 335).
  std::function<std::pair<int, int>(int n)> ihaveReply = [](int) { return std::pair{335, 235}; };
  bool offerStreaming = true;
  int ihaves = 0;
  std::mutex mu;
  std::vector<std::string> lines;
  std::set<std::string> got;  // taken: a check for one of these is answered 438
  int checks = 0, takethis = 0;

  void Serve(ScriptedPeer::Connection& c) {
    c.Send("200 ok\r\n");
    if (c.Line() != "mode stream") return;
    c.Send(offerStreaming ? "203 streaming\r\n" : "500 no streaming here\r\n");
    for (std::string line = c.Line(); !c.closed; line = c.Line()) {
      std::string id = line.substr(line.find('<') + 1, line.find('>') - line.find('<') - 1);
      int code;
      {
        std::lock_guard<std::mutex> lock(mu);
        lines.push_back(line);
        if (line == "quit") {
          c.Send("205 bye\r\n");
          return;
        }
        bool check = line.rfind("check ", 0) == 0, bare = line.rfind("takethis ", 0) == 0;
        code = check ? (got.count(id) != 0 ? 438 : checkReply(checks++)) : bare ? takethisReply(takethis++) : 0;
        if (bare && code == 239) got.insert(id);
      }
      if (line.rfind("ihave ", 0) == 0) {
        std::pair<int, int> replies;
        {
          std::lock_guard<std::mutex> lock(mu);
          replies = ihaveReply(ihaves++);
        }
        c.Send(std::to_string(replies.first) + " ihave reply\r\n");
        if (replies.first != 335) continue;
        c.Article();
        c.Send(std::to_string(replies.second) + " article reply\r\n");
        continue;
      }
      if (line.rfind("takethis ", 0) == 0) c.Article();
      if (code == 0) return;
      c.Send(std::to_string(code) + " <" + id + ">\r\n");
    }
  }
  int Count(const std::string& prefix) {
    std::lock_guard<std::mutex> lock(mu);
    return int(std::count_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; }));
  }
};

// The first batch goes with check; once more than 85% of the offers were
// taken, batches go as bare takethis. A peer that then turns down a whole
// bare batch (20 of 41 offers accepted) gets check again, and the window
// stays at 20, since 20 turned down is not more than 20 accepted. The peer
// holds back its last reply of each batch until the test has stored the
// next batch, so that every batch is a full 20.
TEST_F(SiteTest, StreamingDropsAndResumesCheckByTheAcceptanceRate) {
  Start();
  std::atomic<int> stored{1};
  StreamingPeer behaviour;
  behaviour.takethisReply = [&](int n) {
    if (n == 19 || n == 39) WaitUntil([&] { return stored.load() > n / 20 + 1; });
    return n < 20 ? 239 : 439;
  };
  ScriptedPeer peer([&](ScriptedPeer::Connection& c) { behaviour.Serve(c); });
  Site* site = NewSite(13, "*", peer.port(), "127.0.0.1");
  auto storeBatch = [&](int batch) {
    for (int i = 0; i < 20; i++) {
      std::string id = "r" + std::to_string(batch * 20 + i) + "@test";
      ASSERT_EQ(Store(id, Posted(id, "misc.test")), 1);
    }
  };
  storeBatch(0);
  ASSERT_EQ(site->CreateFeeder('f', "r0@test"), 0);  // from the first article on
  storeBatch(1);
  stored = 2;
  storeBatch(2);
  stored = 3;
  ASSERT_TRUE(WaitUntil([&] { return behaviour.Count("takethis ") == 60; }, 10000ms));
  EXPECT_EQ(behaviour.Count("check "), 40);
  EXPECT_EQ(behaviour.Count("check <r20@test>"), 0);  // the second batch went bare
  EXPECT_EQ(behaviour.Count("check <r40@test>"), 1);  // the third was checked again
  EXPECT_EQ(Log().find("reducing check window"), std::string::npos);
  EXPECT_TRUE(EndFeeder(site));
  EXPECT_EQ(site->accepts.load(), 20u);
}

// A peer that closes in the middle of a batch: the feeder reconnects and
// offers that batch once more; nothing flagged for the site is lost.
TEST_F(SiteTest, ABatchCutOffByThePeerIsOfferedOnceMore) {
  Start();
  FeederTimings fast;
  fast.reconnectMs = 10;
  SetFeederTimings(fast);
  StreamingPeer behaviour;
  behaviour.takethisReply = [](int n) { return n == 2 ? 0 : 239; };  // closes at the third takethis
  ScriptedPeer peer([&](ScriptedPeer::Connection& c) { behaviour.Serve(c); });
  Site* site = NewSite(14, "*", peer.port(), "127.0.0.1");
  site->regularFeedPrefetch = 5;
  ASSERT_EQ(site->CreateFeeder('f', nullptr), 0);
  ASSERT_TRUE(WaitUntil([&] { return site->GetSiteInfo().find("{state {getting articles to feed}}") !=
                                     std::string::npos; }, 5000ms));
  StoreNumbered("c", 0, 5);
  ASSERT_TRUE(WaitUntil([&] { return behaviour.Count("takethis <c4@test>") >= 1 && site->connects.load() >= 2; },
                        5000ms));
  EXPECT_GE(peer.connections(), 2);
  for (int i = 0; i < 5; i++) {
    EXPECT_GE(behaviour.Count("takethis <c" + std::to_string(i) + "@test>"), 1) << i;
  }
  EXPECT_TRUE(EndFeeder(site));
}

// Articles turned down after check: the window shrinks by one, with its log
// line, and at a window of 1 streaming ends on that connection and the
// feeder goes on by IHAVE.
TEST_F(SiteTest, TurnedDownArticlesShrinkTheWindowDownToIhave) {
  Start();
  StreamingPeer behaviour;
  behaviour.takethisReply = [](int) { return 439; };
  ScriptedPeer peer([&](ScriptedPeer::Connection& c) { behaviour.Serve(c); });
  Site* site = NewSite(15, "*", peer.port(), "127.0.0.1");
  site->regularFeedPrefetch = 2;
  StoreNumbered("w", 0, 8);
  ASSERT_EQ(site->CreateFeeder('f', "w0@test"), 0);
  EXPECT_TRUE(WaitUntil([&] { return Log().find("reducing check window for 127.0.0.1 to 1") != std::string::npos; },
                        5000ms));
  // Two batches of two by streaming, rejected; the rest by IHAVE, taken.
  ASSERT_TRUE(WaitUntil([&] { return site->accepts.load() == 4; }, 5000ms));
  EXPECT_EQ(site->rejects.load(), 4u);
  EXPECT_EQ(behaviour.Count("ihave "), 4);
  EXPECT_EQ(behaviour.Count("takethis "), 4);
  EXPECT_TRUE(EndFeeder(site));
}

// A throttle reply to a check is that article's reply: it is logged, the
// feeder pauses, and the batch is offered again, so nothing waits for a
// reply the peer does not owe and nothing is lost. An article whose spool
// file is gone is passed over while the rest of its batch is sent.
TEST_F(SiteTest, ThrottledAndMissingArticlesInABatch) {
  Start("MaxArticleFileSize = 1\n");  // a spool file for every article
  FeederTimings fast;
  fast.checkThrottleMs = 10;
  fast.reconnectMs = 10;
  SetFeederTimings(fast);
  StreamingPeer behaviour;
  behaviour.checkReply = [](int n) { return n == 0 ? 480 : 238; };
  ScriptedPeer peer([&](ScriptedPeer::Connection& c) { behaviour.Serve(c); });
  Site* site = NewSite(16, "*", peer.port(), "127.0.0.1");
  site->regularFeedPrefetch = 4;
  for (int i = 0; i < 4; i++) {
    ASSERT_EQ(Store("t" + std::to_string(i) + "@test", Posted("t" + std::to_string(i) + "@test", "misc.test")), 1);
    now++;
  }
  ASSERT_EQ(unlink(SpoolPath(Entry("t2@test").spoolFile).c_str()), 0);
  size_t logSize = Log().size();
  ASSERT_EQ(site->CreateFeeder('f', "t0@test"), 0);
  ASSERT_TRUE(WaitUntil([&] { return site->accepts.load() == 3; }, 5000ms));
  EXPECT_EQ(site->refused.load(), 2u);  // t1 and t3 again, in the resend
  EXPECT_NE(Log().find("127.0.0.1 throttled, code=480", logSize), std::string::npos);
  EXPECT_EQ(behaviour.Count("takethis <t0@test>"), 1);  // after the throttle, in the resend
  EXPECT_EQ(behaviour.Count("takethis <t2@test>"), 0);  // its file is gone
  EXPECT_GE(behaviour.Count("check <t0@test>"), 2);
  EXPECT_TRUE(EndFeeder(site));
}

// Each takethis reply is counted by its code: 239 accepted, 439 and any
// unlisted code rejected, 438 refused; 431 is passed over silently, except
// for feed type f. 436, 400 (and 431 for type f) throttle: logged, and the
// article is offered again in the batch's resend.
TEST_F(SiteTest, TakethisRepliesAreCountedByTheirCode) {
  Start();
  FeederTimings fast;
  fast.takethisThrottleMs = 10;
  SetFeederTimings(fast);
  const std::pair<char, int> kCases[] = {{'x', 0}, {'f', 431}, {'x', 436}, {'x', 400}};
  for (uint32_t k = 0; k < 4; k++) {
    auto [type, throttle] = kCases[k];
    StreamingPeer behaviour;
    behaviour.takethisReply = [throttle](int n) {
      static const int kCodes[] = {239, 439, 438, 431, 500};
      return throttle == 0 ? kCodes[n % 5] : n == 0 ? throttle : 239;
    };
    ScriptedPeer peer([&](ScriptedPeer::Connection& c) { behaviour.Serve(c); });
    Site* site = NewSite(17 + k, "*", peer.port(), "127.0.0.1");
    site->regularFeedPrefetch = 5;
    std::string prefix = "k" + std::to_string(k) + "-";
    StoreNumbered(prefix, 0, 5);
    size_t logSize = Log().size();
    ASSERT_EQ(site->CreateFeeder(type, (prefix + "0@test").c_str()), 0);
    if (throttle == 0) {
      ASSERT_TRUE(WaitUntil([&] { return site->rejects.load() == 2; }, 5000ms));
      EXPECT_EQ(site->accepts.load(), 1u);
      EXPECT_EQ(site->refused.load(), 1u);
      EXPECT_EQ(Log().find("throttled", logSize), std::string::npos);
    } else {
      ASSERT_TRUE(WaitUntil([&] { return site->accepts.load() == 5; }, 5000ms)) << throttle;
      EXPECT_NE(Log().find("127.0.0.1 throttled, code=" + std::to_string(throttle), logSize), std::string::npos);
      EXPECT_EQ(behaviour.Count("takethis <" + prefix + "0@test>"), 2);  // throttled, then offered again
      // The resend offers the whole batch by check: the four taken before
      // are turned down (438) as already there.
      EXPECT_EQ(site->refused.load(), 4u);
      EXPECT_EQ(site->rejects.load(), 0u);
    }
    EXPECT_TRUE(EndFeeder(site));
  }
}

// IHAVE offers, one at a time: 235 accepted, 437 rejected, 435 after the
// article or to the offer refused; 480 to the offer and 436 after the
// article throttle, and the same article is offered again after the pause.
TEST_F(SiteTest, IhaveRepliesAreCountedByTheirCode) {
  Start();
  FeederTimings fast;
  fast.checkThrottleMs = 10;
  SetFeederTimings(fast);
  StreamingPeer behaviour;
  behaviour.offerStreaming = false;
  behaviour.ihaveReply = [](int n) {
    static const std::pair<int, int> kReplies[] = {{335, 235}, {335, 437}, {335, 435}, {435, 0},
                                                   {480, 0},   {335, 436}, {335, 235}};
    return kReplies[std::min(n, 6)];
  };
  ScriptedPeer peer([&](ScriptedPeer::Connection& c) { behaviour.Serve(c); });
  Site* site = NewSite(19, "*", peer.port(), "127.0.0.1");
  StoreNumbered("h", 0, 5);
  size_t logSize = Log().size();
  ASSERT_EQ(site->CreateFeeder('f', "h0@test"), 0);
  ASSERT_TRUE(WaitUntil([&] { return site->accepts.load() == 2; }, 5000ms));
  EXPECT_EQ(site->rejects.load(), 1u);
  EXPECT_EQ(site->refused.load(), 2u);
  EXPECT_NE(Log().find("127.0.0.1 throttled, code=480", logSize), std::string::npos);
  EXPECT_NE(Log().find("127.0.0.1 throttled, code=436", logSize), std::string::npos);
  EXPECT_EQ(behaviour.Count("ihave <h4@test>"), 3);
  EXPECT_TRUE(EndFeeder(site));
}

}  // namespace

namespace {

// The first connection of a hostile peer: each misbehaves once; the
// connections after it are served well.
using Hostility = std::function<void(ScriptedPeer::Connection&)>;

void GreetAndStream(ScriptedPeer::Connection& c) {
  c.Send("200 ok\r\n");
  c.Line();
  c.Send("203 streaming\r\n");
}

const std::pair<const char*, Hostility> kHostilities[] = {
    {"never greets", [](ScriptedPeer::Connection& c) { c.Line(); }},
    {"greets with a 4000-byte line", [](ScriptedPeer::Connection& c) {
       c.Send("200 " + std::string(4000, 'x') + "\r\n");
       c.Line();
     }},
    {"stalls mid-batch", [](ScriptedPeer::Connection& c) {
       GreetAndStream(c);
       std::string first = c.Line();
       c.Send("238 " + first.substr(first.find('<')) + "\r\n");
       while (!c.closed) c.Line();
     }},
    {"answers for another article", [](ScriptedPeer::Connection& c) {
       GreetAndStream(c);
       c.Line();
       c.Send("238 <someone.else@test>\r\n");
       while (!c.closed) c.Line();
     }},
};

}  // namespace

// A site that misbehaves on a connection costs the feeder a reconnection
// and one resend of the batch; every article still arrives, none more than
// twice.
TEST_F(SiteTest, HostilePeersCostAReconnectionAndOneResend) {
  Start();
  FeederTimings fast;
  fast.firstConnectFailedMs = 10;
  fast.reconnectMs = 10;
  SetFeederTimings(fast);
  const uint32_t savedTimeout = CmdSock::connTimeout;
  CmdSock::connTimeout = 1;
  uint32_t slot = 30;
  for (const auto& [name, hostility] : kHostilities) {
    StreamingPeer behaviour;
    std::atomic<int> served{0};
    ScriptedPeer peer([&](ScriptedPeer::Connection& c) {
      if (served++ == 0) {
        hostility(c);
      } else {
        behaviour.Serve(c);
      }
    });
    Site* site = NewSite(slot, "*", peer.port(), "127.0.0.1");
    site->regularFeedPrefetch = 5;
    std::string prefix = "hostile" + std::to_string(slot++) + "-";
    StoreNumbered(prefix, 0, 5);
    size_t logSize = Log().size();
    ASSERT_EQ(site->CreateFeeder('f', (prefix + "0@test").c_str()), 0);
    EXPECT_TRUE(WaitUntil([&] { return site->accepts.load() == 5; }, 10000ms)) << name;
    EXPECT_GE(served.load(), 2) << name;
    for (int i = 0; i < 5; i++) {
      EXPECT_LE(behaviour.Count("check <" + prefix + std::to_string(i) + "@test>"), 1) << name;
    }
    if (std::string(name) == "answers for another article") {
      EXPECT_NE(Log().find("127.0.0.1 answered for <someone.else@test> where <" + prefix + "0@test> was due",
                           logSize), std::string::npos);
    }
    EXPECT_TRUE(EndFeeder(site));
  }
  CmdSock::connTimeout = savedTimeout;
}

// Replies that come before the article they answer, and a peer that ends
// the connection after every article: the feeder keeps its place.
TEST_F(SiteTest, EarlyRepliesAndAPeerThatHangsUpAfterEachArticle) {
  Start();
  FeederTimings fast;
  fast.reconnectMs = 10;
  SetFeederTimings(fast);
  std::mutex mu;
  std::map<std::string, int> offered;
  std::set<std::string> taken;
  ScriptedPeer early([&](ScriptedPeer::Connection& c) {
    GreetAndStream(c);
    for (std::string line = c.Line(); !c.closed && line != "quit"; line = c.Line()) {
      std::string id = line.substr(line.find('<'));
      if (line.rfind("check ", 0) == 0) {
        c.Send("238 " + id + "\r\n");
        continue;
      }
      c.Send("239 " + id + "\r\n");  // before reading the article
      c.Article();
    }
    c.Send("205 bye\r\n");
  });
  Site* site = NewSite(40, "*", early.port(), "127.0.0.1");
  StoreNumbered("early", 0, 5);
  ASSERT_EQ(site->CreateFeeder('f', "early0@test"), 0);
  EXPECT_TRUE(WaitUntil([&] { return site->accepts.load() == 5; }));
  EXPECT_EQ(site->connects.load(), 1u);
  EXPECT_TRUE(EndFeeder(site));

  ScriptedPeer hangingUp([&](ScriptedPeer::Connection& c) {
    GreetAndStream(c);
    for (std::string line = c.Line(); !c.closed; line = c.Line()) {
      std::string id = line.substr(line.find('<') + 1, line.find('>') - line.find('<') - 1);
      std::lock_guard<std::mutex> lock(mu);
      if (line.rfind("check ", 0) == 0) {
        offered[id]++;
        c.Send((taken.count(id) == 0 ? "238 <" : "438 <") + id + ">\r\n");
      } else if (line.rfind("takethis ", 0) == 0) {
        c.Article();
        taken.insert(id);
        c.Send("239 <" + id + ">\r\n");
        return;
      }
    }
  });
  site = NewSite(41, "*", hangingUp.port(), "127.0.0.1");
  site->regularFeedPrefetch = 3;
  StoreNumbered("hang", 0, 6);
  ASSERT_EQ(site->CreateFeeder('f', "hang0@test"), 0);
  // Each batch of three: the first article taken, the connection ended, the
  // batch offered once more on a new connection (its second article taken),
  // then passed over; the next batch starts on a new connection again.
  EXPECT_TRUE(WaitUntil([&] { return site->accepts.load() == 4; }));
  std::lock_guard<std::mutex> lock(mu);
  for (const auto& [id, count] : offered) EXPECT_EQ(count, 2) << id;
  EXPECT_EQ(taken, (std::set<std::string>{"hang0@test", "hang1@test", "hang3@test", "hang4@test"}));
}
