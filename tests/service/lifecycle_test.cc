// The relay started and stopped inside the test's own process: what it
// starts, it ends.
#include <gtest/gtest.h>

#include <dirent.h>
#include <set>
#include <unistd.h>
#include <thread>

#include "feeds/scripted_peer.h"
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

}  // namespace
