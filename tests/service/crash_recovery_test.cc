// The relay killed (SIGKILL) at chosen and random moments: during its first
// start, under streaming and ihave load, and during history expiries, made
// frequent by a small history. After each restart, which must need no
// repair by hand, every article acknowledged with 239 or 235 is refused
// when offered again, is found through the history, and reads back intact
// from its spool file.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <random>
#include <thread>
#include <unistd.h>
#include <vector>

#include "base/config.h"
#include "history/history.h"
#include "support/nntp_client.h"
#include "support/relay_instance.h"
#include "support/test_articles.h"

namespace {

using namespace std::chrono_literals;

// A small history (an expiry every ~14,000 articles) and a seen ring that
// remembers every article of the test.
const char* kConfig =
    "HistoryDataSize = 4000000\nHistoryTableSize = 100003\nSeenDataCount = 1000000\nSeenTableSize = 1000003\n"
    "MaxArticleFileSize = 262144\nMaxKeepFileCount = 100000\nMaxArticleAge = 7\n";
// Acknowledged articles that the history must still hold: the newest ones,
// well within the four fifths an expiry keeps.
constexpr size_t kNewestInHistory = 25000;

struct Acked {
  std::string id, article;
};

// Every acknowledgement, in the order the feeders received them.
class Ledger {
 public:
  void Add(const std::string& id, const std::string& article) {
    std::lock_guard<std::mutex> lock(mu_);
    acked_.push_back({id, article});
  }
  std::vector<Acked> Since(size_t from) {
    std::lock_guard<std::mutex> lock(mu_);
    return std::vector<Acked>(acked_.begin() + long(std::min(from, acked_.size())), acked_.end());
  }
  size_t size() {
    std::lock_guard<std::mutex> lock(mu_);
    return acked_.size();
  }

 private:
  std::mutex mu_;
  std::vector<Acked> acked_;
};

std::string Body(size_t n) {
  std::string body;
  for (size_t i = 0; i < n % 13; i++) body += "line " + std::to_string(i) + " of article " + std::to_string(n) + "\r\n";
  return body + "end\r\n";
}

// One peer feeding new articles until its connection ends: pipelined
// takethis in batches of 16, or lock-step ihave.
void Feed(uint16_t port, bool streaming, const std::string& prefix, Ledger* ledger) {
  NntpClient c;
  if (!c.Connect("127.0.0.1", port) || c.Line().rfind("200 ", 0) != 0) return;
  for (size_t n = 0;;) {
    if (streaming) {
      std::vector<Acked> batch;
      std::string bytes;
      for (int i = 0; i < 16; i++, n++) {
        batch.push_back({prefix + std::to_string(n) + "@crash.test", ""});
        batch.back().article = Article(batch.back().id, Body(n));
        bytes += Takethis(batch.back().id, batch.back().article);
      }
      if (!c.Send(bytes)) return;
      for (const Acked& a : batch) {
        std::string reply = c.Line();
        if (reply.empty()) return;
        if (reply == "239 <" + a.id + ">") ledger->Add(a.id, a.article);
      }
    } else {
      std::string id = prefix + std::to_string(n) + "@crash.test", article = Article(id, Body(n++));
      if (!c.SendLine("ihave <" + id + ">") || c.Line() != "335 Send it") return;
      if (!c.Send(article + ".\r\n")) return;
      std::string reply = c.Line();
      if (reply.empty()) return;
      if (reply == "235 Got it") ledger->Add(id, article);
    }
  }
}

uint32_t HeaderWord(int fd, off_t offset) {
  uint32_t v = 0;
  return pread(fd, &v, 4, offset) == 4 ? v : 0;
}

class CrashRecovery : public ::testing::Test {
 protected:
  // Feeds the relay from four peers and kills it: after `delay`, or, when
  // `duringExpiry`, the moment the history records an expiry under way
  // (within a bound). Returns whether the kill left an expiry unfinished.
  bool LoadAndKill(RelayInstance& relay, std::chrono::milliseconds delay, bool duringExpiry) {
    std::vector<std::thread> feeders;
    for (int i = 0; i < 4; i++) {
      std::string prefix = "k" + std::to_string(round_) + "." + std::to_string(i) + "-";
      feeders.emplace_back(Feed, relay.port(), i % 2 == 0, prefix, &ledger_);
    }
    int fd = open(relay.dir().File("history/hist.dat").c_str(), O_RDONLY);
    auto deadline = std::chrono::steady_clock::now() + (duringExpiry ? 20000ms : delay);
    if (duringExpiry) {
      while (HeaderWord(fd, 4) == 0 && std::chrono::steady_clock::now() < deadline) {
      }
    } else {
      std::this_thread::sleep_until(deadline);
    }
    relay.Kill();
    bool unfinished = HeaderWord(fd, 4) != 0;
    close(fd);
    for (std::thread& t : feeders) t.join();
    round_++;
    return unfinished;
  }

  // After a restart: every article acknowledged since `from` is refused
  // when offered again.
  void ExpectRefused(const RelayInstance& relay, size_t from) {
    std::vector<Acked> acked = ledger_.Since(from);
    NntpClient c;
    ASSERT_TRUE(c.Connect("127.0.0.1", relay.port()));
    ASSERT_EQ(c.Line().substr(0, 4), "200 ");
    size_t wrong = 0;
    // In slices, so that neither side's socket buffer fills while the other
    // is still sending.
    for (size_t at = 0; at < acked.size(); at += 1000) {
      size_t end = std::min(acked.size(), at + 1000);
      std::string checks;
      for (size_t i = at; i < end; i++) checks += "check <" + acked[i].id + ">\r\n";
      ASSERT_TRUE(c.Send(checks));
      for (size_t i = at; i < end; i++) {
        std::string reply = c.Line();
        if (reply != "438 <" + acked[i].id + ">" && wrong++ < 5) ADD_FAILURE() << acked[i].id << ": " << reply;
      }
    }
    EXPECT_EQ(wrong, 0u);
    if (acked.empty()) return;
    ASSERT_TRUE(c.SendLine("ihave <" + acked.back().id + ">"));
    EXPECT_EQ(c.Line(), "435 Already got it");
  }

  // With the relay stopped: the newest acknowledged articles are found
  // through its history, and their spool bytes are what was sent.
  void ExpectStored(const RelayInstance& relay) {
    std::vector<Acked> acked = ledger_.Since(0);
    if (acked.size() > kNewestInHistory) acked.erase(acked.begin(), acked.end() - long(kNewestInHistory));
    ASSERT_TRUE(LoadConfigFile(relay.dir().File("relay.conf").c_str()));
    histinit();
    std::map<uint32_t, std::string> spool;
    size_t wrong = 0;
    for (const Acked& a : acked) {
      _histentry* e = FindArticle(a.id.c_str());
      std::string bytes = "(not in history)";
      if (e != nullptr) {
        auto it = spool.find(e->header.spoolFile);
        if (it == spool.end()) {
          std::string name = relay.dir().File("spool/" + std::to_string(e->header.spoolFile) + ".art");
          it = spool.emplace(e->header.spoolFile, ReadFile(name)).first;
        }
        bytes = uint64_t(e->header.spoolOffset) + e->header.length <= it->second.size()
                    ? it->second.substr(e->header.spoolOffset, e->header.length)
                    : "(spool file too short)";
        DestroyEntry(e);
      }
      if (bytes != Stored(a.article) && wrong++ < 5) ADD_FAILURE() << a.id << ": " << bytes.substr(0, 80);
    }
    EXPECT_EQ(wrong, 0u);
    verified_ += acked.size();
    histclose();
  }

  Ledger ledger_;
  int round_ = 0;
  size_t verified_ = 0;
};

TEST_F(CrashRecovery, AcknowledgedArticlesSurviveEveryKill) {
  std::mt19937 rng(20261207);
  int kills = 0;

  // Killed while creating its databases: the next start needs nothing.
  for (int i = 0; i < 3; i++) {
    RelayInstance fresh(kConfig, "AddIncoming 127.0.0.1");
    // First the seen database, then the history.
    std::string first = fresh.dir().File(i == 0 ? "history/seen.idx" : "history/hist.idx");
    auto deadline = std::chrono::steady_clock::now() + 10000ms;
    while (!FileExists(first + ".new") && !FileExists(first)) {
      ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "no " << first;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(rng() % (1000 * (i + 1))));
    fresh.Kill();
    kills++;
    fresh.Start();
    ASSERT_TRUE(fresh.WaitReady()) << fresh.process().Output();
    NntpClient c;
    ASSERT_TRUE(c.Connect("127.0.0.1", fresh.port()));
    ASSERT_EQ(c.Line().substr(0, 4), "200 ");
    ASSERT_TRUE(c.Send(Takethis("first@crash.test", Article("first@crash.test"))));
    EXPECT_EQ(c.Line(), "239 <first@crash.test>");
  }

  // Under load, at random moments and during expiries.
  RelayInstance relay(kConfig, "AddIncoming 127.0.0.1");
  ASSERT_TRUE(relay.WaitReady());
  int duringExpiry = 0;
  for (int i = 0; i < 18; i++) {
    size_t before = ledger_.size();
    bool expiryRound = i >= 6 && i % 2 == 0;
    duringExpiry += LoadAndKill(relay, std::chrono::milliseconds(100 + rng() % 400), expiryRound) ? 1 : 0;
    kills++;
    relay.Start();
    ASSERT_TRUE(relay.WaitReady()) << "round " << i << ": " << relay.process().Output();
    ExpectRefused(relay, before);
    if (i % 3 == 2 || i == 17) {
      ASSERT_EQ(relay.Stop(), 1);
      ExpectStored(relay);
      relay.Start();
      ASSERT_TRUE(relay.WaitReady());
    }
  }
  EXPECT_EQ(relay.Stop(), 1);
  EXPECT_GE(duringExpiry, 2);  // most of the nine watched rounds; scheduling decides the rest
  EXPECT_NE(relay.LogText().find("db: finished an expiry that was interrupted"), std::string::npos);
  printf("kills %d (%d during an expiry), articles acknowledged %zu, verified through the history %zu\n", kills,
         duringExpiry, ledger_.size(), verified_);
}

}  // namespace
