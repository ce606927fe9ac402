// Operating a running relay: veltrane-ctl and the control socket, the
// Prometheus metrics page; and what it survives: a spool disk that fills
// up, and kills at chosen and random moments.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <memory>
#include <mutex>
#include <random>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>

#include "base/config.h"
#include "history/history.h"
#include "support/nntp_client.h"
#include "support/relay_instance.h"
#include "support/test_articles.h"

namespace {

// A client of the control socket at `path` that has had a command
// answered, so the relay holds it; -1 when it was refused.
int HeldClient(const std::string& path) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un a{AF_UNIX, {}};
  snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
  timeval limit{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  char reply[8] = {};
  bool held = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
              send(fd, "set x 1\n", 8, MSG_NOSIGNAL) == 8 && recv(fd, reply, 7, MSG_WAITALL) == 7 &&
              std::string(reply) == "200 1\n1";
  return held ? fd : (close(fd), -1);
}

// The page at `target` over HTTP: status line, headers and body.
std::string HttpGet(uint16_t port, const std::string& target) {
  NntpClient c;
  if (!c.Connect("127.0.0.1", port) || !c.Send("GET " + target + " HTTP/1.0\r\n\r\n")) return "";
  std::string text;
  char chunk[65536];
  for (ssize_t n; (n = read(c.fd(), chunk, sizeof chunk)) > 0;) text.append(chunk, size_t(n));
  return text;
}

TEST(Operating, ControlSocketAndMetricsOfARunningRelay) {
  uint16_t metrics = FreeLoopbackPort();
  RelayInstance relay("HistoryDataSize = 4000000\nMetricsListen = 127.0.0.1:" + std::to_string(metrics) + "\n",
                      "AddIncoming 127.0.0.1\n");
  ASSERT_TRUE(relay.WaitReady());
  std::string socketPath = relay.dir().File("history/veltrane.ctl");
  struct stat st;
  ASSERT_TRUE(WaitUntil([&] { return stat(socketPath.c_str(), &st) == 0; }));  // it opens once the script has run
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  // A site created on the running relay (another relay) is fed the articles
  // stored after; the metrics count them.
  RelayInstance other("", "AddIncoming 127.0.0.1\n");
  ASSERT_TRUE(other.WaitReady());
  // A second site of the same name, which feeds nothing, has series of its own.
  EXPECT_EQ(Ctl(relay, "", "CreateSite 127.0.0.1 " + std::to_string(other.port()) +
                               "\nSetSite 127.0.0.1 distribution *\nSetSite 127.0.0.1 createfeeder f\n"
                               "CreateSite 127.0.0.1 9\n"),
            CtlRun(0, "0\n0\n1\n", ""));
  NntpClient peer;
  ASSERT_TRUE(peer.Connect("127.0.0.1", relay.port()) && peer.Line().substr(0, 4) == "200 ");
  for (std::string reply : {"239 <a0@ctl.test>", "239 <a1@ctl.test>", "239 <a2@ctl.test>", "439 <a0@ctl.test>"}) {
    std::string id = reply.substr(5, 11);
    EXPECT_EQ(peer.Send(Takethis(id, Article(id))) ? peer.Line() : "not sent", reply);
  }
  const std::string site = "{site=\"127.0.0.1\",slot=\"0\"";
  std::string page, fed = "\nveltrane_feeder_loop_articles" + site + ",feeder=\"0\",outcome=\"accepted\"} 3\n";
  EXPECT_TRUE(WaitUntil([&] { return (page = HttpGet(metrics, "/metrics")).find(fed) != std::string::npos; })) << page;
  EXPECT_EQ(page.substr(0, 15), "HTTP/1.1 200 OK");
  EXPECT_NE(page.find("\r\nContent-Type: text/plain; version=0.0.4"), std::string::npos);
  // A sample or two of each kind of figure: the relay's, the databases',
  // per peer, per site and feeder.
  const std::string samples[] = {"veltrane_incoming_replies_total{command=\"takethis\",outcome=\"refused\"} 1",
                                 "veltrane_history_inserts_total 3", "veltrane_seen_ring_position 3",
                                 "veltrane_peer_articles_total{peer=\"127.0.0.1\",outcome=\"accepted\"} 3",
                                 "veltrane_site_flagged_total" + site + "} 3",
                                 "veltrane_site_flagged_total{site=\"127.0.0.1\",slot=\"1\"} 0"};
  for (const std::string& sample : samples) {
    EXPECT_NE(page.find("\n" + sample + "\n"), std::string::npos) << sample;
  }
  relay.dir().Write("metrics.txt", page.substr(page.find("\r\n\r\n") + 4));
  EXPECT_EQ(system(("promtool check metrics <" + relay.dir().File("metrics.txt")).c_str()), 0) << page;
  EXPECT_EQ(HttpGet(metrics, "/other").substr(0, 22), "HTTP/1.1 404 Not Found");
  EXPECT_EQ(std::get<0>(Ctl(relay, "DeleteSite 127.0.0.1")), 0);
  EXPECT_EQ(HttpGet(metrics, "/metrics").find(site), std::string::npos);
  EXPECT_EQ(std::get<0>(Ctl(relay, "DeleteSite 127.0.0.1")), 0);

  // Errors: Tcl's message and exit 1; a line over 65536 bytes, exit 2.
  EXPECT_EQ(Ctl(relay, "nosuchcommand"), CtlRun(1, "", "invalid command name \"nosuchcommand\"\n"));
  EXPECT_EQ(Ctl(relay, "", std::string(1 << 20, 'x') + "\n"),
            CtlRun(2, "", "veltrane-ctl: refused by the relay: command line longer than 65536 bytes\n"));
  // A socket that takes the connection and never answers: -t bounds the wait.
  const std::string silent = relay.dir().File("silent.ctl");
  int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un at{AF_UNIX, {}};
  snprintf(at.sun_path, sizeof at.sun_path, "%s", silent.c_str());
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&at), sizeof at) | listen(listener, 1), 0);
  EXPECT_EQ(Ctl(relay, "-s " + silent + " -t 1 GetSiteList"),
            CtlRun(2, "", "veltrane-ctl: no answer from the relay at " + silent + " within 1 s\n"));
  EXPECT_EQ(std::get<0>(Ctl(relay, "-t 0 GetSiteList")), 3);
  close(listener);
  // A script's commands, one spanning lines.
  relay.dir().Write("script.tcl", "proc twice {x} {\n  return \"$x\\n$x\"\n}\ntwice ab\n");
  EXPECT_EQ(Ctl(relay, "-f " + relay.dir().File("script.tcl")), CtlRun(0, "ab\nab\n", ""));
  // What could block the interpreter is not a client's to run; plain Tcl is.
  for (const char* command : {"exec sleep 14", "vwait forever", "after 20000", "interp create x"}) {
    std::string name = std::string(command).substr(0, std::string(command).find(' '));
    EXPECT_EQ(Ctl(relay, "'" + std::string(command) + "'"), CtlRun(1, "", "invalid command name \"" + name + "\"\n"));
  }
  EXPECT_EQ(Ctl(relay, "'proc puts2 {x} {string repeat $x 2}; puts2 ab'"), CtlRun(0, "abab\n", ""));
  // Another user is refused even when the file's mode would let it in.
  if (geteuid() == 0 && system("command -v setpriv >/dev/null") == 0) {
    for (const std::string& p : {relay.dir().path(), relay.dir().File("history"), socketPath}) chmod(p.c_str(), 0777);
    EXPECT_EQ(Ctl(relay, "GetSiteList", "", "setpriv --reuid=65534 --regid=65534 --clear-groups"),
              CtlRun(2, "", "veltrane-ctl: refused by the relay: user id 65534 may not use the control socket\n"));
  }
  // Four clients held at once (a client that is still leaving may hold a
  // place for a moment); a fifth is refused.
  int clients[4];
  for (int& fd : clients) ASSERT_TRUE(WaitUntil([&] { return (fd = HeldClient(socketPath)) != -1; }));
  EXPECT_EQ(Ctl(relay, "GetSiteList"),
            CtlRun(2, "", "veltrane-ctl: refused by the relay: too many control clients (4)\n"));
  for (int fd : clients) close(fd);
  // Killed, the relay leaves its socket file behind; the next start takes
  // it over. A stop removes it.
  relay.Kill();
  relay.Start();
  ASSERT_TRUE(relay.WaitReady());
  EXPECT_TRUE(WaitUntil([&] { return std::get<0>(Ctl(relay, "GetSiteList")) == 0; }));
  EXPECT_EQ(relay.Stop(), 1);
  EXPECT_FALSE(FileExists(socketPath));
  // "exit" runs the stop sequence before the process ends with its code.
  relay.Start();
  ASSERT_TRUE(relay.WaitReady());
  ASSERT_TRUE(WaitUntil([&] { return std::get<0>(Ctl(relay, "GetSiteList")) == 0; }));
  size_t logSize = relay.LogText().size();
  EXPECT_EQ(Ctl(relay, "exit 3"), CtlRun(0, "", ""));
  EXPECT_EQ(relay.process().WaitExit(), 3);
  EXPECT_NE(relay.LogText().find("base: shutting down", logSize), std::string::npos);
  EXPECT_FALSE(FileExists(socketPath));
  logSize = relay.LogText().size();
  relay.Start();  // finds everything written back: nothing to repair
  ASSERT_TRUE(relay.WaitReady());
  EXPECT_EQ(relay.Stop(), 1);
  const std::string restart = relay.LogText().substr(logSize);
  EXPECT_EQ(restart.find("db: "), std::string::npos) << restart;
  EXPECT_EQ(restart.find("seen: "), std::string::npos) << restart;
}

// A relay out of descriptors cannot take control clients for a while; its
// control socket logs that, waits, and serves again once there are some.
TEST(Operating, TheControlSocketOutlivesARelayOutOfDescriptors) {
  rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit low = saved;
  low.rlim_cur = 64;  // the relay inherits it
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  RelayInstance relay("SiteDefaultMaxIncomingConnections = 1000\n", "AddIncoming 127.0.0.1\n");
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
  ASSERT_TRUE(relay.WaitReady());
  ASSERT_TRUE(WaitUntil([&] { return std::get<0>(Ctl(relay, "GetSiteList")) == 0; }));
  std::vector<std::unique_ptr<NntpClient>> peers;  // connections until the relay greets no more
  for (bool greeted = true; greeted && peers.size() < 200;) {
    peers.push_back(std::make_unique<NntpClient>());
    greeted = peers.back()->Connect("127.0.0.1", relay.port()) && peers.back()->Line(1000ms).rfind("200 ", 0) == 0;
  }
  ASSERT_TRUE(relay.WaitForLog("oops, accept() failed"));
  // A descriptor may come free for a moment (the next peer in the queue
  // takes it); the control socket meets the limit within a few tries.
  EXPECT_TRUE(WaitUntil([&] { return std::get<0>(Ctl(relay, "-t 1 GetSiteList")) == 2; }, 20000ms));
  EXPECT_TRUE(relay.WaitForLog("control socket: accept failed: Too many open files; trying again"));
  peers.clear();
  EXPECT_EQ(Ctl(relay, "-t 20 GetSiteList"), CtlRun(0, "", ""));
}

// Spool and databases share an 8 MiB disk, 3.4 MB of it held by a file
// removed later; tiny articles with long Message-IDs fill it before the
// history is full, so a database page the disk cannot back would kill it.
TEST(Operating, AFullSpoolDiskRefusesArticlesAndTheRelayCarriesOn) {
  TempDir dir;
  SmallFilesystem disk(dir, "disk", 8 << 20);
  if (!disk.ok()) GTEST_SKIP() << "cannot mount a tmpfs here";
  const std::string d = disk.path(), padding(180, 'p'), fill0 = "fill0" + padding + "@disk.test";
  for (const char* sub : {"/spool", "/history"}) std::filesystem::create_directories(d + sub);
  dir.Write("disk/filler", std::string(3400000, 'f'));
  RelayInstance relay("ArticleBasePath = " + d + "/spool\nHistoryTablePath = " + d + "/history\nHistoryDataPath = " +
                          d + "/history\nSiteRecordPath = " + d + "/history\nHistoryDataSize = 3500000\n" +
                          "HistoryTableSize = 100003\nMaxArticleFileSize = 100000000\n",
                      "AddIncoming 127.0.0.1");
  ASSERT_TRUE(relay.WaitReady()) << relay.process().Output();
  NntpClient feeder, peer;
  ASSERT_TRUE(feeder.Connect("127.0.0.1", relay.port()) && feeder.Line().substr(0, 4) == "200 ");
  // 60 bytes of spool per article, 230 of history.
  const std::string tiny = "Path: x\r\nDate: " + DateHeaderValue(time(nullptr)) + "\r\n\r\nx\r\n";
  int stored = 0;
  for (std::string id = fill0; feeder.Send(Takethis(id, tiny)) && feeder.Line() == "239 <" + id + ">";) {
    ASSERT_LT(++stored, 100000) << "the disk never filled";
    id = "fill" + std::to_string(stored) + padding + "@disk.test";
  }
  EXPECT_GT(stored, 1000);
  EXPECT_TRUE(relay.WaitForLog("article: Write failed, out of disk space?"));
  EXPECT_TRUE(feeder.WaitClosed(5000ms));  // the failed write ended that connection
  // Still serving: stored articles refused, that connection counted out.
  ASSERT_TRUE(peer.Connect("127.0.0.1", relay.port()) && peer.Line().substr(0, 4) == "200 ");
  ASSERT_TRUE(peer.Send("check <" + fill0 + ">\r\nssp\r\n"));
  EXPECT_EQ(peer.Line(), "438 <" + fill0 + ">");
  EXPECT_NE(peer.Line().find("{host 127.0.0.1} {connected 1} {connects 2} "), std::string::npos);
  std::filesystem::remove(d + "/filler");  // room again: stored again
  EXPECT_EQ(peer.Send(Takethis("later@disk.test", tiny)) ? peer.Line() : "not sent", "239 <later@disk.test>");
  EXPECT_EQ(relay.Stop(), 1);
  EXPECT_EQ(relay.LogText().find("exception"), std::string::npos);
}

std::mutex ackedMu;
const std::string kDate = DateHeaderValue(time(nullptr));  // the read-back rebuilds each article

std::string CrashArticle(const std::string& id) { return Article(id, "Hello.\r\n", kDate); }

// One peer feeding new articles by pipelined takethis, 16 at a time, until
// its connection ends; `acked` gets those acknowledged, in order.
void Feed(uint16_t port, const std::string& prefix, std::vector<std::string>* acked) {
  NntpClient c;
  if (!c.Connect("127.0.0.1", port) || c.Line().rfind("200 ", 0) != 0) return;
  auto id = [&](int i) { return prefix + std::to_string(i) + "@crash.test"; };
  for (int n = 0;; n += 16) {
    std::string bytes;
    for (int i = n; i < n + 16; i++) bytes += Takethis(id(i), CrashArticle(id(i)));
    if (!c.Send(bytes)) return;
    for (int i = n; i < n + 16; i++) {
      std::string reply = c.Line();
      if (reply.empty()) return;
      std::lock_guard<std::mutex> lock(ackedMu);
      if (reply == "239 <" + id(i) + ">") acked->push_back(id(i));
    }
  }
}

// The relay killed under load at random moments and during history expiries
// (one every ~14,000 articles). Each restart needs no repair by hand, every
// acknowledged article is refused when offered again, and the newest 25,000
// (within the four fifths an expiry keeps) read back intact via the history.
TEST(CrashRecovery, AcknowledgedArticlesSurviveEveryKill) {
  RelayInstance relay("HistoryDataSize = 4000000\nHistoryTableSize = 100003\nSeenDataCount = 1000000\n"
                      "SeenTableSize = 1000003\nMaxArticleFileSize = 32768\nMaxKeepFileCount = 100000\n",
                      "AddIncoming 127.0.0.1");
  ASSERT_TRUE(relay.WaitReady());
  std::mt19937 rng(20261207);
  std::vector<std::string> acked;
  int duringExpiry = 0;
  for (int round = 0; round < 18; round++) {
    // Four peers feed it; it is killed after a while, or in watched rounds
    // the moment the history data's expiry word says one is under way.
    size_t before = acked.size();
    std::vector<std::thread> feeders;
    for (int i = 0; i < 4; i++) {
      feeders.emplace_back(Feed, relay.port(), "k" + std::to_string(round * 4 + i) + "-", &acked);
    }
    bool watched = round >= 6 && round % 2 == 0;
    int fd = open(relay.dir().File("history/hist.dat").c_str(), O_RDONLY);
    uint32_t expiring = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(watched ? 20000 : 100 + rng() % 400);
    if (!watched) std::this_thread::sleep_until(deadline);
    while (watched && pread(fd, &expiring, 4, 4) == 4 && expiring == 0 && std::chrono::steady_clock::now() < deadline) {
    }
    relay.Kill();
    duringExpiry += pread(fd, &expiring, 4, 4) == 4 && expiring != 0;
    close(fd);
    for (std::thread& t : feeders) t.join();
    relay.Start();
    ASSERT_TRUE(relay.WaitReady()) << "round " << round << ": " << relay.process().Output();
    ASSERT_GT(acked.size(), before);
  }
  // Every acknowledged article is refused, checked in slices so that
  // neither side's socket buffer fills while the other sends.
  NntpClient c;
  ASSERT_TRUE(c.Connect("127.0.0.1", relay.port()) && c.Line().substr(0, 4) == "200 ");
  size_t wrong = 0;
  for (size_t at = 0; at < acked.size(); at += 1000) {
    size_t end = std::min(acked.size(), at + 1000);
    std::string checks;
    for (size_t i = at; i < end; i++) checks += "check <" + acked[i] + ">\r\n";
    ASSERT_TRUE(c.Send(checks));
    for (size_t i = at; i < end; i++) {
      std::string reply = c.Line();
      if (reply != "438 <" + acked[i] + ">" && wrong++ < 5) ADD_FAILURE() << acked[i] << ": " << reply;
    }
  }
  // With the relay stopped, read through its history.
  EXPECT_EQ(relay.Stop(), 1);
  StoppedRelayHistory history(relay);
  for (size_t i = acked.size() - std::min<size_t>(acked.size(), 25000); i < acked.size(); i++) {
    std::string bytes = history.StoredBytes(acked[i]);
    if (bytes != Stored(CrashArticle(acked[i])) && wrong++ < 5) ADD_FAILURE() << acked[i] << ": " << bytes;
  }
  EXPECT_GE(duringExpiry, 2);  // most of the six watched rounds; scheduling decides the rest
  EXPECT_NE(relay.LogText().find("db: finished an expiry that was interrupted"), std::string::npos);
}

}  // namespace
