// The relay started and stopped inside the test's own process: what it
// starts, it ends.
#include <gtest/gtest.h>

#include <dirent.h>
#include <set>
#include <unistd.h>
#include <thread>

#include "feeds/scripted_peer.h"
#include "base/relay_base.h"
#include "history/history.h"
#include "service/relay.h"
#include "support/nntp_client.h"
#include "support/relay_process.h"
#include "support/temp_dir.h"
#include "support/test_articles.h"

namespace {

// The names in a /proc folder: this process's threads or descriptors.
std::set<std::string> Entries(const char* folder) {
  std::set<std::string> names;
  DIR* dir = opendir(folder);
  while (dirent* d = readdir(dir)) names.insert(d->d_name);
  closedir(dir);
  names.erase(".");
  names.erase("..");
  return names;
}

// A site that takes every article it is offered.
void TakeEverything(ScriptedPeer::Connection& c) {
  c.Send("200 site\r\n");
  for (std::string line = c.Line(); !c.closed; line = c.Line()) {
    if (line == "mode stream") c.Send("203 streaming\r\n");
    if (line.rfind("check ", 0) == 0) c.Send("238 <" + IdOf(line) + ">\r\n");
    if (line.rfind("takethis ", 0) == 0) {
      c.Article();
      c.Send("239 <" + IdOf(line) + ">\r\n");
    }
    if (line == "quit") return c.Send("205 bye\r\n");
  }
}

// The configuration of an in-process relay in `dir`/`name` (folders made
// here) listening on `port`; the start-up script lists loopback as a peer
// and runs `script`.
std::string InProcessRelay(const TempDir& dir, const std::string& name, uint16_t port, const std::string& script,
                           const std::string& extra = "") {
  for (const char* d : {"", "/logs", "/spool", "/history"}) dir.MakeDir(name + d);
  const std::string at = dir.File(name);
  dir.Write(name + "/init.tcl", "AddIncoming 127.0.0.1\n" + script);
  return dir.Write(name + "/relay.conf", extra + "LogDirectory = " + at + "/logs\nListenAddress = 127.0.0.1\n"
                                             "ListenPort = " + std::to_string(port) + "\nStartupScript = " + at +
                                             "/init.tcl\nHostPathIdentifier = " + name + "\nArticleBasePath = " + at +
                                             "/spool\nHistoryTablePath = " + at + "/history\nHistoryDataPath = " + at +
                                             "/history\nHistoryDataSize = 4000000\n");
}

// A relay run on a thread of the test, from its start to its stop.
class RunningRelay {
 public:
  explicit RunningRelay(const std::string& config) : relay_(config), thread_([this] {
    relay_.Start();
    relay_.Stop();
  }) {}
  ~RunningRelay() { Stop(); }
  void Stop() {
    relay_.RequestStop(0);
    if (thread_.joinable()) thread_.join();
  }

 private:
  Relay relay_;
  std::thread thread_;
};

// A greeted connection to the relay on `port`, once it listens.
bool Greeted(NntpClient& c, uint16_t port) {
  return WaitUntil([&] { return c.Connect("127.0.0.1", port) && c.Line().substr(0, 4) == "200 "; });
}

// Started with every kind of thread it has (a peer's connection, a site's
// feeders, the interpreter, the control socket, the metrics server) and
// stopped: none is left, and no descriptor it opened stays open.
TEST(Lifecycle, AStopEndsEveryThreadAndClosesEveryDescriptor) {
  TempDir dir;
  for (const char* d : {"logs", "spool", "history"}) dir.MakeDir(d);
  std::thread([] {}).join();  // a sanitizer's own helper thread, started with the first thread, is there before
  const std::set<std::string> threadsBefore = Entries("/proc/self/task");
  std::set<std::string> descriptorsBefore = Entries("/proc/self/fd");
  {
    ScriptedPeer site(TakeEverything);
    uint16_t port = FreeLoopbackPort(), metrics = FreeLoopbackPort();
    dir.Write("init.tcl", "AddIncoming 127.0.0.1\nCreateSite 127.0.0.1 " + std::to_string(site.port()) +
                              "\nSetSite 127.0.0.1 distribution *\nSetSite 127.0.0.1 createfeeder f\n"
                              "SetSite 127.0.0.1 createfeeder f\n");
    setenv("VELTRANE_CONFIG",
           dir.Write("relay.conf", "LogDirectory = " + dir.File("logs") + "\nListenAddress = 127.0.0.1\nListenPort = " +
                                       std::to_string(port) + "\nStartupScript = " + dir.File("init.tcl") +
                                       "\nHostPathIdentifier = test.relay\nArticleBasePath = " + dir.File("spool") +
                                       "\nHistoryTablePath = " + dir.File("history") + "\nHistoryDataPath = " +
                                       dir.File("history") + "\nHistoryDataSize = 4000000\nMetricsListen = 127.0.0.1:" +
                                       std::to_string(metrics) + "\n")
               .c_str(),
           1);
    Relay relay;
    std::thread running([&] {
      relay.Start();
      relay.Stop();
    });
    NntpClient peer;
    ASSERT_TRUE(WaitUntil([&] { return peer.Connect("127.0.0.1", port) && peer.Line().substr(0, 4) == "200 "; }));
    EXPECT_EQ(peer.Send(Takethis("a@life.test", Article("a@life.test"))) ? peer.Line() : "", "239 <a@life.test>");
    EXPECT_TRUE(WaitUntil([&] { return FileExists(dir.File("history/veltrane.ctl")); }));
    relay.RequestStop(0);
    running.join();
    EXPECT_TRUE(peer.WaitClosed());
  }
  EXPECT_EQ(Entries("/proc/self/task"), threadsBefore);
  for (const std::string& fd : Entries("/proc/self/fd")) {
    char target[256] = {};
    if (descriptorsBefore.count(fd) == 0 && readlink(("/proc/self/fd/" + fd).c_str(), target, 255) >= 0) {
      ADD_FAILURE() << "descriptor " << fd << " left open: " << target;
    }
  }
  EXPECT_FALSE(FileExists(dir.File("history/veltrane.ctl")));
  EXPECT_NE(ReadFile(dir.File("history/site-queues")), "");
}

// Two relays in one process, one feeding the other: each keeps its own
// configuration, log, counters, databases and spool, and what goes into
// the first arrives at the second byte for byte, stamped by both.
TEST(Lifecycle, TwoRelaysInOneProcessOneFeedingTheOther) {
  TempDir dir;
  const uint16_t portA = FreeLoopbackPort(), portB = FreeLoopbackPort();
  const std::string site = "CreateSite 127.0.0.1 " + std::to_string(portB) +
                           "\nSetSite 127.0.0.1 distribution *\nSetSite 127.0.0.1 createfeeder f\n";
  RunningRelay b(InProcessRelay(dir, "b.test", portB, ""));
  NntpClient atB;  // b listens before a's feeder first tries it
  ASSERT_TRUE(Greeted(atB, portB));
  RunningRelay a(InProcessRelay(dir, "a.test", portA, site));
  std::vector<std::pair<std::string, std::string>> fed;  // id, article
  {
    NntpClient peer;
    ASSERT_TRUE(Greeted(peer, portA));
    for (int i = 0; i < 20; i++) {
      const std::string id = "two" + std::to_string(i) + "@life.test";
      fed.emplace_back(id, Article(id));
      EXPECT_EQ(peer.Send(Takethis(id, fed.back().second)) ? peer.Line() : "", "239 <" + id + ">");
    }
  }
  // What each relay counted is its own: a took 20 offers from the test and
  // b 20 from a's feeder, and each entered 20 articles in its history.
  auto statistics = [](uint16_t port) {
    NntpClient c;
    return Greeted(c, port) && c.SendLine("ssp") ? c.Line() : "";
  };
  EXPECT_TRUE(WaitUntil([&] { return statistics(portB).find("{insert 20} ") != std::string::npos; }));
  for (uint16_t port : {portA, portB}) {
    const std::string text = statistics(port);
    EXPECT_NE(text.find("{takethis 20} "), std::string::npos) << text;
    EXPECT_NE(text.find("{insert 20} "), std::string::npos) << text;
  }
  a.Stop();
  b.Stop();
  RelayBase base;
  ASSERT_TRUE(base.config.LoadConfigFile(dir.File("b.test/relay.conf").c_str()));
  History history(&base);
  history.histinit();
  for (const auto& [id, article] : fed) {
    _histentry* e = history.FindArticle(id.c_str());
    ASSERT_NE(e, nullptr) << id;
    const std::string file = ReadFile(dir.File("b.test/spool/" + std::to_string(e->header.spoolFile) + ".art"));
    EXPECT_EQ(file.substr(e->header.spoolOffset, e->header.length),
              "Path: b.test!a.test!" + article.substr(6, article.size() - 8));
    History::DestroyEntry(e);
  }
  for (const char* name : {"a.test", "b.test"}) {
    EXPECT_NE(ReadFile(dir.File(std::string(name) + "/logs/veltrane.log")).find("base: shutting down"), std::string::npos);
  }
}

}  // namespace
