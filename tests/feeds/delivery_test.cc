// The relay's first promise, kept through restarts: an article it answered
// 239 reaches every site that wants it. The real relay feeds two sites on
// loopback, one of them paused, and is killed under load and restarted,
// then stopped cleanly; at the end each site has every acknowledged
// article, with repeats only of what was in flight at a kill.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <csignal>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "scripted_peer.h"
#include "support/nntp_client.h"
#include "support/relay_instance.h"
#include "support/test_articles.h"

namespace {

using Connection = ScriptedPeer::Connection;

// A streaming site that keeps the Message-IDs it received whole and counts
// articles sent to it again. Paused, it reads nothing more.
class Sink {
 public:
  explicit Sink(const char* host) : peer_([this](Connection& c) { Serve(c); }, host) {}
  ~Sink() { Pause(false); }  // its connections can end
  uint16_t port() const { return peer_.port(); }

  void Pause(bool paused) {
    std::lock_guard<std::mutex> lock(mu_);
    paused_ = paused;
    cv_.notify_all();
  }
  // How many of `ids` have not arrived.
  size_t Missing(const std::set<std::string>& ids) {
    std::lock_guard<std::mutex> lock(mu_);
    size_t missing = 0;
    for (const std::string& id : ids) missing += got_.count(id) == 0;
    return missing;
  }
  int repeats() {
    std::lock_guard<std::mutex> lock(mu_);
    return repeats_;
  }

 private:
  void Serve(Connection& c) {
    c.Send("200 sink\r\n");
    if (c.Line() != "mode stream") return;
    c.Send("203 streaming\r\n");
    for (std::string line = c.Line(); !c.closed && line != "quit"; line = c.Line()) {
      std::unique_lock<std::mutex> lock(mu_);
      cv_.wait(lock, [this] { return !paused_; });
      std::string id = IdOf(line);
      if (line.rfind("check ", 0) == 0) {
        std::string reply = (got_.count(id) != 0 ? "438 <" : "238 <") + id + ">\r\n";
        lock.unlock();
        c.Send(reply);
        continue;
      }
      lock.unlock();
      c.Article();
      if (c.closed) return;  // cut off: not received
      lock.lock();
      bool fresh = got_.insert(id).second;
      repeats_ += !fresh;
      lock.unlock();
      c.Send((fresh ? "239 <" : "439 <") + id + ">\r\n");
    }
  }

  std::mutex mu_;
  std::condition_variable cv_;
  bool paused_ = false;
  std::set<std::string> got_;
  int repeats_ = 0;
  ScriptedPeer peer_;  // last: its threads end before the rest goes
};

// Feeds articles one by one as long as it runs (at most `limit`), over a
// new connection whenever the relay went away, and keeps every Message-ID
// answered 239.
class Load {
 public:
  Load(RelayInstance& relay, std::string prefix, int limit = 5000)
      : relay_(relay), prefix_(std::move(prefix)), limit_(limit) {
    thread_ = std::thread([this] { Run(); });
  }
  ~Load() { Stop(); }
  void Stop() {
    running_ = false;
    if (thread_.joinable()) thread_.join();
  }
  bool Done() const { return done_; }
  size_t Acknowledged() {
    std::lock_guard<std::mutex> lock(mu_);
    return acked_.size();
  }
  std::set<std::string> acked() {
    std::lock_guard<std::mutex> lock(mu_);
    return acked_;
  }

 private:
  void Run() {
    int n = 0;
    while (running_ && n < limit_) {
      NntpClient c;
      // A peer connects the moment the relay listens, start-up script or not.
      if (!c.Connect("127.0.0.1", relay_.port()) || c.Line().rfind("200 ", 0) != 0) {
        std::this_thread::sleep_for(5ms);
        continue;
      }
      while (running_ && n < limit_) {
        // An article whose reply a kill cut off is not sent again: it may
        // have been stored, and would be refused.
        std::string id = prefix_ + std::to_string(n++) + "@delivery.test";
        if (!c.Send(Takethis(id, Article(id))) || c.Line() != "239 <" + id + ">") break;
        std::lock_guard<std::mutex> lock(mu_);
        acked_.insert(id);
      }
    }
    done_ = true;
  }

  RelayInstance& relay_;
  std::string prefix_;
  const int limit_;
  std::atomic<bool> running_{true}, done_{false};
  std::mutex mu_;
  std::set<std::string> acked_;
  std::thread thread_;
};

std::string Script(const Sink& first, const char* firstHost, const Sink& second) {
  std::string script = "AddIncoming 127.0.0.1\nafter 200\n";  // the peer is listed before the sites exist
  auto site = [&](const char* host, uint16_t port) {
    std::string h = host;
    script += "CreateSite " + h + " " + std::to_string(port) + "\nSetSite " + h + " distribution *\nSetSite " + h +
              " maxbacklog 200000\nSetSite " + h + " createfeeder f\nSetSite " + h + " createfeeder f\n";
  };
  site(firstHost, first.port());
  site("127.0.0.3", second.port());
  return script;
}

TEST(Delivery, KillsAndStopsLoseNoAcknowledgedArticle) {
  signal(SIGPIPE, SIG_IGN);  // a sink may answer a relay that was killed
  Sink a("127.0.0.2"), b("127.0.0.3");
  RelayInstance relay("HistoryDataSize = 20000000\nHistoryTableSize = 100003\nMaxArticleFileSize = 100000000\n",
                      Script(a, "127.0.0.2", b));
  ASSERT_TRUE(relay.WaitReady());

  // Killed three times under load while site a is paused.
  constexpr int kKills = 3;
  a.Pause(true);
  Load load(relay, "k");
  for (int k = 0; k < kKills; k++) {
    size_t before = load.Acknowledged();
    ASSERT_TRUE(WaitUntil([&] { return load.Acknowledged() >= before + 200; }, 20000ms));
    relay.Kill();
    relay.Start();
    ASSERT_TRUE(relay.WaitReady());
  }
  ASSERT_TRUE(WaitUntil([&] { return load.Acknowledged() >= 800; }, 20000ms));
  load.Stop();
  a.Pause(false);
  std::set<std::string> acked = load.acked();
  EXPECT_TRUE(WaitUntil([&] { return a.Missing(acked) == 0 && b.Missing(acked) == 0; }, 30000ms))
      << a.Missing(acked) << " and " << b.Missing(acked) << " of " << acked.size() << " missing";
  // At most two batches of 29 were in flight to each site at each kill.
  EXPECT_LE(a.repeats(), kKills * 58);
  EXPECT_LE(b.repeats(), kKills * 58);

  // A clean stop while a is paused: what a was owed arrives after the
  // restart, and nothing comes twice to b; to a only what the relay had
  // sent into its stalled connections, unanswered.
  const int repeats[] = {a.repeats(), b.repeats()};
  a.Pause(true);
  Load more(relay, "s", 3000);  // it goes on while the relay stops, and after
  ASSERT_TRUE(WaitUntil([&] { return more.Acknowledged() >= 200; }, 20000ms));
  EXPECT_EQ(relay.Stop(), 1);
  relay.Start();
  ASSERT_TRUE(relay.WaitReady());
  ASSERT_TRUE(WaitUntil([&] { return more.Done(); }, 20000ms));
  a.Pause(false);
  acked = more.acked();
  EXPECT_TRUE(WaitUntil([&] { return a.Missing(acked) == 0 && b.Missing(acked) == 0; }, 30000ms))
      << a.Missing(acked) << " and " << b.Missing(acked) << " of " << acked.size() << " missing";
  EXPECT_LE(a.repeats(), repeats[0] + 58);
  EXPECT_EQ(b.repeats(), repeats[1]);

  // A slot given to another site does not hand it the old site's queue.
  a.Pause(true);
  Load owed(relay, "o");
  ASSERT_TRUE(WaitUntil([&] { return owed.Acknowledged() >= 50; }, 20000ms));
  owed.Stop();
  EXPECT_EQ(relay.Stop(), 1);
  Sink c("127.0.0.4");
  relay.dir().Write("init.tcl", Script(c, "127.0.0.4", b) + "\nclose [open {" + relay.dir().File("script-done") + "} w]\n");
  relay.Start();
  ASSERT_TRUE(relay.WaitReady());
  EXPECT_TRUE(relay.WaitForLog("site queues: slot 0 was 127.0.0.2's and is now 127.0.0.4: " +
                               std::to_string(owed.acked().size()) + " articles owed to 127.0.0.2 are not offered"))
      << relay.LogText();
  Load fresh(relay, "f");
  ASSERT_TRUE(WaitUntil([&] { return fresh.Acknowledged() >= 20; }, 20000ms));
  fresh.Stop();
  EXPECT_TRUE(WaitUntil([&] { return c.Missing(fresh.acked()) == 0; }, 30000ms));
  EXPECT_EQ(c.Missing(owed.acked()), owed.acked().size());
}

}  // namespace
