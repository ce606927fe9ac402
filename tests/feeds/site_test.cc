// Sites and feeders on a real spool and history in this process, fed to
// scripted sites on loopback: which articles each site gets, a feeder's
// life, every reply of both feed loops, and sites that misbehave.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <random>
#include <csignal>
#include <future>
#include <set>

#include "feeds/feeder.h"
#include "feeds/site.h"
#include "feeds/site_queues.h"
#include "history/history_cursor.h"
#include "scripted_peer.h"
#include "spool/spool_fixture.h"
#include "support/nntp_client.h"
#include "support/relay_process.h"

namespace {

using Connection = ScriptedPeer::Connection;

bool Starts(const std::string& line, const char* prefix) { return line.rfind(prefix, 0) == 0; }

void GreetAndStream(Connection& c) {
  c.Send("200 ok\r\n");
  c.Line();
  c.Send("203 streaming\r\n");
}

// A site whose replies a test chooses: the reply code for the n-th check
// or takethis (counted from 0 over all connections; 0 closes instead), and
// the pair of replies to the n-th ihave and its article. Checks for
// articles it took are answered 438. It keeps every line it receives.
struct ChosenReplies {
  std::function<int(int)> check = [](int) { return 238; };
  std::function<int(int)> takethis = [](int) { return 239; };
  std::function<std::pair<int, int>(int)> ihave = [](int) { return std::pair{335, 235}; };
  bool streams = true;
  std::mutex mu;
  std::vector<std::string> lines;
  std::set<std::string> taken;
  std::map<std::string, std::string> articles;  // as received
  int checks = 0, takethises = 0, ihaves = 0;

  void Keep(const std::string& id, const std::string& article) {
    std::lock_guard<std::mutex> lock(mu);
    articles[id] = article;
  }

  void Serve(Connection& c) {
    c.Send("200 ok\r\n");
    if (c.Line() != "mode stream") return;
    c.Send(streams ? "203 streaming\r\n" : "500 no streaming here\r\n");
    for (std::string line = c.Line(); !c.closed && line != "quit"; line = c.Line()) {
      std::unique_lock<std::mutex> lock(mu);
      lines.push_back(line);
      std::string id = IdOf(line);
      if (Starts(line, "ihave ")) {
        auto [offer, after] = ihave(ihaves++);
        lock.unlock();
        c.Send(std::to_string(offer) + " ihave reply\r\n");
        if (offer == 335) Keep(id, c.Article()), c.Send(std::to_string(after) + " article reply\r\n");
        continue;
      }
      int code = Starts(line, "check ") ? (taken.count(id) != 0 ? 438 : check(checks++)) : takethis(takethises++);
      if (Starts(line, "takethis ") && code == 239) taken.insert(id);
      lock.unlock();
      if (Starts(line, "takethis ")) Keep(id, c.Article());
      if (code == 0) return;
      c.Send(std::to_string(code) + " <" + id + ">\r\n");
    }
    c.Send("205 bye\r\n");
  }
  int Count(const std::string& prefix) {
    std::lock_guard<std::mutex> lock(mu);
    return int(std::count_if(lines.begin(), lines.end(), [&](const std::string& l) { return Starts(l, prefix.c_str()); }));
  }
};

class SiteTest : public SpoolTest {
 protected:
  static FeederTimings Fast() {
    FeederTimings fast;
    fast.firstConnectFailedMs = fast.firstNoAccessMs = fast.reconnectMs = 10;
    fast.checkThrottleMs = fast.takethisThrottleMs = 10;
    return fast;
  }
  void SetUp() override {
    signal(SIGPIPE, SIG_IGN);  // as the relay does at start-up
  }
  void TearDown() override {
    if (sites_ != nullptr) sites_->StopFeeds(0ms);  // every feeder ended and joined, as at a stop
    sites_.reset();
    SpoolTest::TearDown();
  }
  // The timings of the feeders of the sites made from now on, and of those made.
  void SetFeederTimings(const FeederTimings& timings) {
    timings_ = timings;
    if (sites_ != nullptr) sites_->SetFeederTimings(timings);
  }

  Site* NewSite(uint32_t slot, const char* distribution, uint32_t port = 119, std::string host = "127.0.0.1") {
    // The sites' distributions flag what the spool stores (Start made them).
    if (sites_ == nullptr) {
      sites_ = std::make_unique<SiteTable>(&base_, distributions_.get(), &history_, &articleSpool_);
      sites_->SetFeederTimings(timings_);
    }
    Site* site = sites_->MakeSite(host.c_str(), slot);
    site->SetPort(port);
    if (distribution != nullptr) {
      EXPECT_EQ(site->SetFeedInfo(distribution), 1);
    }
    sites_->siteArray[slot] = site;
    return site;
  }

  std::string Posted(const std::string& id, const std::string& groups, const std::string& path = "x!y",
                     const std::string& body = "") {
    return "Path: " + path + "\r\nDate: " + DateText(now) + "\r\nNewsgroups: " + groups + "\r\nMessage-ID: <" + id +
           ">\r\n\r\nBody of " + id + "." + body;
  }

  // Stores "<i><suffix>" in misc.test for i from `from` up to `to`.
  void StoreNumbered(const std::string& suffix, int from, int to, const std::string& body = "") {
    for (int i = from; i < to; i++) {
      std::string id = std::to_string(i) + suffix;
      ASSERT_EQ(Store(id, Posted(id, "misc.test", "x!y", body)), 1) << id;
    }
  }

  // Deletes feeder 0, which may be waiting for articles, and waits until
  // it has left the site.
  static bool EndFeeder(Site* site) {
    site->DeleteFeeder(0);
    return WaitUntil([&] { return site->GetSiteInfo().find("{feeders {}}") != std::string::npos; }, 5000ms);
  }

  static bool ShowsState(Site* site, const std::string& state) {
    return WaitUntil([&] { return site->GetSiteInfo().find("{state {" + state + "}}") != std::string::npos; }, 5000ms);
  }

  // The identifiers a feeder walking from the start of the history would
  // get now, in one batch of at most `want` (held for it, since it never
  // answers); the slot after those is never touched.
  std::vector<std::string> Batch(Site* site, uint32_t want = 28) {
    _histentry cursor{}, slots[29] = {};
    _distrib* d = site->GetDistribution();
    cursor.distribution = HistFeedBit{d->bitMask, d->wordIndex};
    cursor.position = 160;
    cursor.expireSerial = history_.HistExpireSerial();
    slots[want].position = 7;
    uint32_t count = want;
    site->GetNextEntry(&cursor, slots, &count);
    EXPECT_EQ(slots[want].position, 7u);
    std::vector<std::string> ids;
    for (uint32_t i = 0; i < count; i++) ids.push_back(slots[i].identifier);
    return ids;
  }

  FeederTimings timings_ = Fast();
  std::unique_ptr<SiteTable> sites_;
};

TEST_F(SiteTest, DistributionsDecideWhichSitesGetWhichArticles) {
  Start("LatencyFeedPrefetch = 40\nRegularFeedPrefetch = 7\nMaxBacklog = 777\n");
  Site* comp = NewSite(0, "comp.*", 119, "site0.test");
  Site* notComp = NewSite(37, "@*peer.example*,!comp.*,*");
  Site* everything = NewSite(127, "*");
  ASSERT_EQ(Store("a@test", Posted("a@test", "comp.lang.c")), 1);
  ASSERT_EQ(Store("b@test", Posted("b@test", "rec.arts,comp.lang.c")), 1);
  ASSERT_EQ(Store("c@test", Posted("c@test", "rec.arts")), 1);
  ASSERT_EQ(Store("d@test", Posted("d@test", "rec.arts", "peer.example!x")), 1);
  ASSERT_EQ(Store("e@test", Posted("e@test", "alt.test")), 1);
  EXPECT_EQ(Batch(comp, 2), (std::vector<std::string>{"a@test", "b@test"}));
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
  EXPECT_NE(sites_->ReturnSiteStatsString().find("{{site site0.test} {accepts 0} {refused 0} {rejects 0} "
                                         "{articles_per_second 0.0000} {elapsed_time 0} {flagged_for 1} {inpath 0} "
                                         "{connects 0}} "),
            std::string::npos);
}

// A feeder's life: nothing listens at first (connect failed), then no
// access, then a site that declines streaming and takes articles by ihave,
// a connection renewed, and a delete request that ends it.
TEST_F(SiteTest, FeederConnectsFeedsByIhaveRenewsAndEndsOnDeletion) {
  Start();
  EXPECT_EQ(NewSite(10, nullptr)->CreateFeeder('x', nullptr), -1);  // no distribution yet

  std::atomic<bool> admitted{false};
  ChosenReplies behaviour;
  behaviour.streams = false;
  behaviour.ihave = [](int n) { return n == 1 ? std::pair{435, 0} : std::pair{335, 235}; };
  ScriptedPeer peer([&](Connection& c) { admitted ? behaviour.Serve(c) : c.Send("502 no access\r\n"); });
  Site* site = NewSite(11, "*", FreeLoopbackPort());
  ASSERT_EQ(site->CreateFeeder('f', nullptr), 0);
  EXPECT_TRUE(ShowsState(site, "Waiting to connect (connect failed)")) << site->GetSiteInfo();
  site->SetPort(peer.port());
  EXPECT_TRUE(ShowsState(site, "Waiting to reconnect (no access)"));
  admitted = true;
  EXPECT_TRUE(ShowsState(site, "Getting articles to feed (IHAVE)"));

  StoreNumbered("@test", 0, 3);
  ASSERT_TRUE(WaitUntil([&] { return site->accepts.load() == 2 && site->refused.load() == 1; }, 5000ms));
  EXPECT_NE(site->GetStateString().find("{accepts 2} {refused 1} {rejects 0}"), std::string::npos);
  // With the hour shortened to nothing, a parameter change renews the
  // connection once the loop has ended after its batch.
  FeederTimings renew = Fast();
  renew.recycleSeconds = 0;
  SetFeederTimings(renew);
  const int connections = peer.connections();
  std::this_thread::sleep_for(1100ms);  // connected for more than 0 s
  site->updateCount++;
  StoreNumbered("@test", 3, 5);
  EXPECT_TRUE(WaitUntil([&] { return site->accepts.load() == 4 && peer.connections() == connections + 1; }, 5000ms));
  size_t logSize = Log().size();
  EXPECT_TRUE(EndFeeder(site));
  EXPECT_NE(Log().find("feeder for 127.0.0.1 deleted", logSize), std::string::npos);
  EXPECT_EQ(site->CreateFeeder('f', "2@test"), 0);  // the place is free again
  EXPECT_TRUE(EndFeeder(site));
}

// A deleted feeder connects and sends no more, even one that waits for
// its first connection, and what it held without an answer goes to
// another feeder of its site.
TEST_F(SiteTest, DeletedFeedersLetGoOfEverything) {
  Start();
  std::atomic<bool> admitted{false};
  std::atomic<int> stalled{-1};  // the connection that takes its checks and never answers
  ChosenReplies behaviour;
  ScriptedPeer peer([&](Connection& c) {
    if (!admitted) return c.Send("502 no access\r\n");
    if (c.number != stalled) return behaviour.Serve(c);
    GreetAndStream(c);
    while (!c.closed) c.Line();
  });
  Site* site = NewSite(40, "*", peer.port());
  ASSERT_EQ(site->CreateFeeder('f', nullptr), 0);
  EXPECT_TRUE(ShowsState(site, "Waiting to reconnect (no access)"));
  EXPECT_TRUE(EndFeeder(site));
  const int refusals = peer.connections();
  stalled = refusals;
  admitted = true;

  StoreNumbered("@held", 0, 5);
  ASSERT_EQ(site->CreateFeeder('f', "0@held"), 0);  // takes all five, and gets no answer
  ASSERT_TRUE(WaitUntil([&] { return peer.connections() == refusals + 1; }));
  EXPECT_TRUE(ShowsState(site, "Check (waiting for response(s))"));
  ASSERT_EQ(site->CreateFeeder('f', "0@held"), 1);  // finds them held
  ASSERT_TRUE(WaitUntil([&] { return peer.connections() == refusals + 2; }));
  EXPECT_EQ(site->accepts.load(), 0u);
  site->DeleteFeeder(0);
  EXPECT_TRUE(WaitUntil([&] { return site->accepts.load() == 5; }));
  EXPECT_EQ(behaviour.Count("takethis "), 5);
  EXPECT_EQ(peer.connections(), refusals + 2);  // the deleted feeder never came back
  site->DeleteFeeder(1);
  EXPECT_TRUE(WaitUntil([&] { return site->GetSiteInfo().find("{feeders {}}") != std::string::npos; }));
}

// A site passes over for good what is more than MaxBacklog x 98 bytes
// behind the end of the history, and counts and logs it.
TEST_F(SiteTest, WhatIsTooFarBehindIsPassedOverAndCounted) {
  Start("MaxBacklog = 2\n");  // 196 bytes: the newest three of these entries (63 bytes each)
  ChosenReplies behaviour;
  ScriptedPeer peer([&](Connection& c) { behaviour.Serve(c); });
  Site* site = NewSite(41, "*", peer.port());
  StoreNumbered("@behind.test", 0, 6);
  size_t logSize = Log().size();
  ASSERT_EQ(site->CreateFeeder('f', "0@behind.test"), 0);
  EXPECT_TRUE(WaitUntil([&] { return site->accepts.load() == 3; }));
  EXPECT_EQ(site->passedOver[kPassedBacklog].load(), 3u);
  EXPECT_EQ(behaviour.Count("check <2@"), 0);
  EXPECT_EQ(behaviour.Count("check <3@"), 1);
  EXPECT_NE(Log().find("passed over 3 articles for 127.0.0.1: more than MaxBacklog behind", logSize), std::string::npos);
  EXPECT_TRUE(EndFeeder(site));
}

// A restart's record of the site queues: a site back under its name in its
// slot takes its queue, for the feeders the start-up script makes or, when
// it makes none, for the first one made by hand; a slot whose site is gone
// lets go of what was owed to that site.
TEST_F(SiteTest, RecordedQueuesGoToTheSiteOfTheSameNameAndSlot) {
  Start();
  ChosenReplies behaviour;
  ScriptedPeer peer([&](Connection& c) { behaviour.Serve(c); });
  NewSite(42, "*", peer.port());
  NewSite(43, "*", peer.port(), "localhost");
  NewSite(44, "*");
  StoreNumbered("@record.test", 0, 6);
  for (std::atomic<Site*>& slot : sites_->siteArray) slot = nullptr;  // as a restart finds them
  dir_.Write("sites/site-queues", "42\t127.0.0.1\t2@record.test\n43\tlocalhost\t\n44\tgone.test\t3@record.test\nnone\n");

  size_t logSize = Log().size();
  sites_->BeginSiteStartup();
  Site* same = NewSite(42, "*", peer.port());
  Site* idle = NewSite(43, "*", peer.port(), "localhost");
  Site* other = NewSite(44, "*", peer.port(), "other.test");
  for (Site* s : {same, idle, other}) sites_->InheritRecordedQueue(s);
  ASSERT_EQ(same->CreateFeeder('f', nullptr), 0);
  sites_->EndSiteStartup();
  EXPECT_NE(Log().find("site queues: 1 unreadable lines in", logSize), std::string::npos);
  EXPECT_NE(Log().find("site queues: slot 44 was gone.test's and is now other.test: 3 articles owed to gone.test are "
                       "not offered", logSize), std::string::npos);
  EXPECT_EQ(Entry("4@record.test").feedFlags[1] & (1u << 12), 0u);
  EXPECT_TRUE(WaitUntil([&] { return same->accepts.load() == 4; }));  // 2 to 5
  ASSERT_EQ(idle->CreateFeeder('f', nullptr), 0);
  // the oldest on: 0 and 1 taken, the rest refused as the other site's
  EXPECT_TRUE(WaitUntil([&] { return idle->accepts.load() == 2 && idle->refused.load() == 4; }));
  // Taken, the queues are the feeders' own: where they are is recorded.
  ASSERT_TRUE(sites_->WriteSiteQueues());
  EXPECT_EQ(ReadFile(dir_.File("sites/site-queues")), "42\t127.0.0.1\t5@record.test\n43\tlocalhost\t5@record.test\n");
  sites_->StopFeeds(0ms);
}

// A feeder whose history step waits (on a closed history here, as on an
// expiry) holds up neither the site's statistics nor its commands.
TEST_F(SiteTest, AWaitingHistoryStepHoldsUpNoSiteCommand) {
  Start();
  ChosenReplies behaviour;
  ScriptedPeer peer([&](Connection& c) { behaviour.Serve(c); });
  Site* site = NewSite(45, "*", peer.port());
  ASSERT_EQ(site->CreateFeeder('f', nullptr), 0);
  ASSERT_TRUE(ShowsState(site, "getting articles to feed"));
  history_.histclose();            // readers wait until it opens again
  WakeHistoryWaiters(history_);  // the feeder looks again and waits inside its step
  std::this_thread::sleep_for(100ms);
  auto commands = std::async(std::launch::async, [&] {
    site->DeleteFeeder(0);
    return site->GetSiteInfo() + sites_->ReturnSiteStatsString() + std::to_string(site->GetFeederFigures().size());
  });
  EXPECT_EQ(commands.wait_for(5s), std::future_status::ready);
  ASSERT_EQ(history_.histinit(), 1);  // the step goes on, and the feeder ends
  EXPECT_NE(commands.get().find("{0 {statistics {{feedtype f}"), std::string::npos);
  EXPECT_TRUE(WaitUntil([&] { return site->GetSiteInfo().find("{feeders {}}") != std::string::npos; }));
}

// Statistics and site commands read and change a site while its feeders
// feed it and articles are stored (ThreadSanitizer's runs watch for a state
// read half written).
TEST_F(SiteTest, SitesAreReadAndChangedWhileTheyFeed) {
  Start();
  ChosenReplies behaviour;
  ScriptedPeer peer([&](Connection& c) { behaviour.Serve(c); });
  Site* site = NewSite(46, "*", peer.port());
  for (int i = 0; i < 2; i++) ASSERT_EQ(site->CreateFeeder('f', nullptr), i);
  std::atomic<bool> done{false};
  std::thread commands([&] {
    for (uint32_t n = 0; !done; n++) {
      std::string text = site->GetSiteInfo() + sites_->ReturnSiteStatsString();
      EXPECT_EQ(site->GetFeederFigures().size(), 2u);
      EXPECT_NE(text.find("{site 127.0.0.1}"), std::string::npos);
      site->regularFeedPrefetch = 1 + n % kMaxPrefetch;
      site->updateCount++;
    }
  });
  StoreNumbered("@busy.test", 0, 300);
  EXPECT_TRUE(WaitUntil([&] { return site->accepts.load() == 300; }));
  done = true;
  commands.join();
  for (uint32_t i = 0; i < 2; i++) site->DeleteFeeder(i);
  EXPECT_TRUE(WaitUntil([&] { return site->GetSiteInfo().find("{feeders {}}") != std::string::npos; }));
}

// Every reply row of both feed loops against a site that answers as each
// case chooses: how the replies are counted, what is logged, and which
// offers the site sees (a throttled article is offered again in the
// batch's resend; nothing waits for a reply the site does not owe).
struct ReplyCase {
  const char* name;
  char type;
  bool streams;
  int window, articles, gone;  // gone: the article whose spool file is deleted, or -1
  std::function<int(int)> check, takethis;
  std::function<std::pair<int, int>(int)> ihave;
  uint32_t accepts, refused, rejects;
  std::vector<std::pair<std::string, int>> offers;  // lines starting so, and how many
  std::vector<std::string> logged, notLogged;
};

int Sequence(std::vector<int> codes, int n) { return codes[size_t(n) % codes.size()]; }

const ReplyCase kReplyCases[] = {
    // The article answered 431 is offered again after the deferral delay,
    // and taken then.
    {"takethis: 239 taken, 439 and unlisted rejected, 438 refused, 431 deferred", 'x', true, 5, 5, -1, nullptr,
     [](int n) { return Sequence({239, 439, 438, 431, 500}, n); }, nullptr, 2, 1, 2,
     {{"takethis ", 6}, {"takethis <3@", 2}}, {}, {"throttled"}},
    // Only the articles without an answer go again.
    {"takethis: 431 throttles feed type f", 'f', true, 5, 5, -1, nullptr, [](int n) { return n == 0 ? 431 : 239; }, nullptr,
     5, 0, 0, {{"takethis <0@", 2}, {"check <1@", 1}}, {"127.0.0.1 throttled, code=431"}, {}},
    {"takethis: 436 throttles", 'x', true, 5, 5, -1, nullptr, [](int n) { return n == 0 ? 436 : 239; }, nullptr, 5, 0, 0,
     {{"takethis <0@", 2}, {"takethis <1@", 1}}, {"127.0.0.1 throttled, code=436"}, {}},
    {"takethis: 400 throttles", 'x', true, 5, 5, -1, nullptr, [](int n) { return n == 0 ? 400 : 239; }, nullptr, 5, 0, 0,
     {{"takethis <0@", 2}, {"takethis <4@", 1}}, {"127.0.0.1 throttled, code=400"}, {}},
    {"check: 480 throttles; a gone spool file is passed over", 'f', true, 4, 4, 2,
     [](int n) { return n == 0 ? 480 : 238; }, nullptr, nullptr, 3, 0, 0,
     {{"takethis <0@", 1}, {"takethis <2@", 0}, {"check <0@", 2}, {"check <1@", 1}},
     {"127.0.0.1 throttled, code=480"}, {}},
    {"check: 438 refused, 431 deferred and offered again", 'f', true, 3, 3, -1,
     [](int n) { return Sequence({438, 431, 238}, n); }, nullptr, nullptr, 1, 2, 0,
     {{"takethis ", 1}, {"check <1@", 2}}, {}, {}},
    {"a batch cut off by the site: what was not answered is offered once more", 'f', true, 5, 5, -1, nullptr,
     [](int n) { return n == 2 ? 0 : 239; }, nullptr, 5, 0, 0,
     {{"check <0@", 1}, {"takethis <2@", 2}, {"takethis <4@", 1}}, {}, {}},
    // 20 of 41 offers accepted: check again, and the window stays at 20,
    // since 20 turned down is not more than 20 accepted.
    {"the first batch checked, then bare takethis above 85 %, then checked again", 'f', true, 20, 60, -1, nullptr,
     [](int n) { return n < 20 ? 239 : 439; }, nullptr, 20, 0, 40,
     {{"check ", 40}, {"check <20@", 0}, {"check <40@", 1}, {"takethis ", 60}}, {}, {"reducing check window"}},
    {"turned down articles shrink the window to 1, then IHAVE", 'f', true, 2, 8, -1, nullptr, [](int) { return 439; },
     nullptr, 4, 0, 4, {{"ihave ", 4}, {"takethis ", 4}},
     {"reducing check window for 127.0.0.1 to 1"}, {}},
    {"ihave: 235 taken, 437 rejected, 435 refused, 480 and 436 throttle", 'f', false, 5, 5, -1, nullptr, nullptr,
     [](int n) {
       static const std::pair<int, int> kReplies[] = {{335, 235}, {335, 437}, {335, 435}, {435, 0},
                                                      {480, 0},   {335, 436}, {335, 235}};
       return kReplies[std::min(n, 6)];
     },
     2, 2, 1, {{"ihave <4@", 3}}, {"127.0.0.1 throttled, code=480", "127.0.0.1 throttled, code=436"}, {}},
};

TEST_F(SiteTest, EveryReplyIsCountedAndThrottlesResendTheBatch) {
  Start("MaxArticleFileSize = 1\nMaxPrecommitAge = 100\n");  // a spool file for every article; short deferrals
  uint32_t slot = 20;
  for (const ReplyCase& k : kReplyCases) {
    SCOPED_TRACE(k.name);
    ChosenReplies site;
    if (k.check) site.check = k.check;
    if (k.takethis) site.takethis = k.takethis;
    if (k.ihave) site.ihave = k.ihave;
    site.streams = k.streams;
    ScriptedPeer peer([&](Connection& c) { site.Serve(c); });
    Site* s = NewSite(slot, "*", peer.port());
    s->regularFeedPrefetch = uint32_t(k.window);
    std::string suffix = "@case" + std::to_string(slot++) + ".test";  // keys leave the last character out
    StoreNumbered(suffix, 0, k.articles);
    if (k.gone >= 0) {
      ASSERT_EQ(unlink(SpoolPath(Entry(std::to_string(k.gone) + suffix).spoolFile).c_str()), 0);
    }
    size_t logSize = Log().size();
    const RelayStats& stats = base_.stats;
    const uint32_t totals[] = {stats.total_accept, stats.total_refuse, stats.total_reject};
    ASSERT_EQ(s->CreateFeeder(k.type, ("0" + suffix).c_str()), 0);
    EXPECT_TRUE(WaitUntil([&] {
      return s->accepts.load() == k.accepts && s->refused.load() == k.refused && s->rejects.load() == k.rejects;
    }, 10000ms)) << s->accepts.load() << " " << s->refused.load() << " " << s->rejects.load();
    EXPECT_EQ(stats.total_accept - totals[0], k.accepts);  // the relay's totals count the same
    EXPECT_EQ(stats.total_refuse - totals[1], k.refused);
    EXPECT_EQ(stats.total_reject - totals[2], k.rejects);
    for (const auto& [prefix, count] : k.offers) EXPECT_EQ(site.Count(prefix), count) << prefix;
    EXPECT_EQ(s->passedOver[kPassedSpoolGone].load(), k.gone >= 0 ? 1u : 0u);
    for (const std::string& text : k.logged) EXPECT_NE(Log().find(text, logSize), std::string::npos) << text;
    for (const std::string& text : k.notLogged) EXPECT_EQ(Log().find(text, logSize), std::string::npos) << text;
    EXPECT_TRUE(EndFeeder(s));
    std::lock_guard<std::mutex> lock(site.mu);
    for (const auto& [id, text] : site.articles) EXPECT_EQ(text, Stamped(Posted(id, "misc.test"))) << id;
  }
}

// Sites that misbehave on their first connection each: the feeder
// reconnects and offers the batch once more, and every article arrives.
const std::pair<const char*, std::function<void(Connection&)>> kHostilities[] = {
    {"never greets", [](Connection& c) { c.Line(); }},
    {"greets with a 4000-byte line", [](Connection& c) { c.Send("200 " + std::string(4000, 'x') + "\r\n"), c.Line(); }},
    {"answers for another article",
     [](Connection& c) {
       GreetAndStream(c);
       c.Line();
       c.Send("238 <someone.else@test>\r\n");
       while (!c.closed) c.Line();
     }},
};

TEST_F(SiteTest, HostileSitesCostAReconnectionAndOneResend) {
  Start();
  FeederTimings impatient = Fast();
  impatient.replySeconds = 1;
  SetFeederTimings(impatient);
  uint32_t slot = 30;
  for (const auto& [name, hostility] : kHostilities) {
    SCOPED_TRACE(name);
    ChosenReplies site;
    ScriptedPeer peer([&](Connection& c) { c.number == 0 ? hostility(c) : site.Serve(c); });
    Site* s = NewSite(slot, "*", peer.port());
    s->regularFeedPrefetch = 5;
    std::string suffix = "@hostile" + std::to_string(slot++) + ".test";
    StoreNumbered(suffix, 0, 5);
    size_t logSize = Log().size();
    ASSERT_EQ(s->CreateFeeder('f', ("0" + suffix).c_str()), 0);
    EXPECT_TRUE(WaitUntil([&] { return s->accepts.load() == 5; }, 10000ms));
    EXPECT_EQ(peer.connections(), 2);
    EXPECT_EQ(site.Count("check "), 5);
    if (std::string(name) == "answers for another article") {
      EXPECT_NE(Log().find("127.0.0.1 answered for <someone.else@test> where <0" + suffix + "> was due", logSize),
                std::string::npos);
    }
    EXPECT_TRUE(EndFeeder(s));
  }
}

// A site that misbehaves at random on its connections until the test says
// otherwise: any reply code, garbage, replies split or sent before the
// article, a reply for the wrong article, connections ended. Whatever it
// does, no article is lost: once the site serves well, every article it
// had not answered is offered again and arrives, and none is offered
// twice on a good connection.
struct RandomSite {
  explicit RandomSite(uint32_t seed) : rng(seed) {}
  std::mt19937 rng;
  std::atomic<bool> good{false};
  std::mutex mu;
  std::map<std::string, int> offers;
  std::set<std::string> answered, taken;
  std::set<std::pair<int, std::string>> linesOnGood;
  bool repeatedOnGood = false;

  int Pick(std::initializer_list<int> codes) { return codes.begin()[rng() % codes.size()]; }
  // Sends `text` in two writes cut at a random place.
  void Send(Connection& c, const std::string& text, size_t cut) {
    c.Send(text.substr(0, cut % text.size()));
    c.Send(text.substr(cut % text.size()));
  }
  // Notes a verdict the feeder will read (replies come in order, and it
  // reads them until it meets one out of step).
  void Answer(const std::string& id, int code, bool throttles) {
    if (!throttles) answered.insert(id);
    if (code == 239 || code == 235) taken.insert(id);
  }

  void Serve(Connection& c) {
    std::unique_lock<std::mutex> lock(mu);
    const bool bad = !good;
    int budget = bad ? int(rng() % 8) : INT32_MAX;
    const bool streams = !bad || rng() % 4 != 0;
    lock.unlock();
    c.Send("200 ok\r\n");
    if (c.Line() != "mode stream") return;
    c.Send(streams ? "203 streaming\r\n" : "500 no streaming\r\n");
    bool derailed = false;
    std::set<std::string> checked;
    for (std::string line = c.Line(); !c.closed && line != "quit"; line = c.Line()) {
      const std::string id = IdOf(line);
      const bool takethis = Starts(line, "takethis "), ihave = Starts(line, "ihave ");
      lock.lock();
      if (!takethis || checked.count(id) == 0) offers[id]++;
      if (!takethis) checked.insert(id);
      if (!bad && !linesOnGood.insert({c.number, line}).second) repeatedOnGood = true;
      if (derailed || (bad && (good || budget-- == 0))) {
        lock.unlock();
        if (ihave) return;  // the feeder waits for this reply: it read all before
        if (takethis) c.Article();
        if (!derailed) c.Send("238 <someone.else@test>\r\n");  // out of step: the feeder hangs up
        derailed = true;
        continue;
      }
      int code = !bad    ? (taken.count(id) ? (ihave ? 435 : takethis ? 439 : 438) : (ihave ? 335 : takethis ? 239 : 238))
                 : ihave ? Pick({335, 335, 435, 437, 480, 436, 400, 0})
                 : takethis ? Pick({239, 239, 439, 438, 500, 436, 400, 431, 0})
                            : Pick({238, 238, 238, 438, 431, 480, 436, 400, 0});
      bool go = code == 238 || code == 335;
      if (!go) Answer(id, code, code == 480 || code == 436 || code == 400 || (takethis && code == 431));
      const bool early = bad && rng() % 3 == 0;
      const size_t cut = rng();
      lock.unlock();
      if (takethis && !early) c.Article();
      Send(c, code == 0 ? "what?\r\n" : std::to_string(code) + " <" + id + ">\r\n", cut);
      if (takethis && early) c.Article();
      if (ihave && code == 335) {
        c.Article();
        lock.lock();
        int after = bad ? Pick({235, 235, 437, 435, 436, 400, 0}) : 235;
        Answer(id, after, after == 436 || after == 400);
        lock.unlock();
        Send(c, after == 0 ? "what?\r\n" : std::to_string(after) + " done\r\n", cut);
      }
    }
  }
};

TEST_F(SiteTest, RandomRepliesLoseNoArticle) {
  Start("MaxPrecommitAge = 50\n");
  for (uint32_t seed = 1; seed <= 12; seed++) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    RandomSite behaviour(seed);
    ScriptedPeer peer([&](Connection& c) { behaviour.Serve(c); });
    Site* site = NewSite(60 + seed, "*", peer.port());
    site->regularFeedPrefetch = 4;
    std::string suffix = "@random" + std::to_string(seed) + ".test";
    StoreNumbered(suffix, 0, 16);
    ASSERT_EQ(site->CreateFeeder('f', ("0" + suffix).c_str()), 0);
    EXPECT_TRUE(WaitUntil([&] {
      std::lock_guard<std::mutex> lock(behaviour.mu);
      return behaviour.offers.count("15" + suffix) != 0;
    }));
    behaviour.good = true;
    StoreNumbered("-good" + suffix, 0, 4);
    auto unsettled = [&] {
      std::lock_guard<std::mutex> lock(behaviour.mu);
      std::vector<std::string> ids;
      for (int i = 0; i < 20; i++) {
        std::string id = i < 16 ? std::to_string(i) + suffix : std::to_string(i - 16) + "-good" + suffix;
        if (behaviour.taken.count(id) == 0 && (i >= 16 || behaviour.answered.count(id) == 0)) ids.push_back(id);
      }
      return ids;
    };
    EXPECT_TRUE(WaitUntil([&] { return unsettled().empty(); })) << ::testing::PrintToString(unsettled());
    EXPECT_TRUE(EndFeeder(site));
    std::lock_guard<std::mutex> lock(behaviour.mu);
    EXPECT_FALSE(behaviour.repeatedOnGood);
  }
}

// A site that stops reading in the middle of its articles holds only its
// own feeder, blocked in the send: the intake stores on, and a good site
// gets every article meanwhile.
TEST_F(SiteTest, AStalledSiteSlowsNeitherOtherFeedersNorTheIntake) {
  Start();
  std::atomic<bool> release{false};
  std::optional<ScriptedPeer> unread(std::in_place, [&](Connection& c) {
    GreetAndStream(c);
    for (int i = 0; i < 20; i++) c.Send("238 <" + IdOf(c.Line()) + ">\r\n");
    WaitUntil([&] { return release.load(); }, 60000ms);
  });
  ChosenReplies good;
  ScriptedPeer goodPeer([&](Connection& c) { good.Serve(c); });
  Site* full = NewSite(51, "*", unread->port());
  Site* fine = NewSite(52, "*", goodPeer.port());
  std::string body;
  for (int i = 0; i < 1000; i++) body += "\r\n" + std::string(998, 'x');
  StoreNumbered("@big", 0, 20, body);  // a first batch of 20 for each
  for (Site* s : {full, fine}) ASSERT_EQ(s->CreateFeeder('f', "0@big"), 0);
  ASSERT_TRUE(WaitUntil([&] { return fine->accepts.load() == 20; }));
  StoreNumbered("@big", 20, 40, body);
  EXPECT_TRUE(WaitUntil([&] { return fine->accepts.load() == 40; }));
  EXPECT_TRUE(ShowsState(full, "Transmiting article"));
  EXPECT_EQ(full->accepts.load(), 0u);
  full->DeleteFeeder(0);
  release = true;
  unread.reset();  // closed with the articles unread: the sender sees a reset
  EXPECT_TRUE(EndFeeder(full));
  EXPECT_TRUE(EndFeeder(fine));
}

}  // namespace
