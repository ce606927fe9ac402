// Operating a running relay: veltrane-ctl and the control socket, the
// Prometheus metrics page; and what it survives: a spool disk that fills
// up, and kills at chosen and random moments.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <map>
#include <mutex>
#include <random>
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

using CtlRun = std::tuple<int, std::string, std::string>;  // exit code, output, errors

// veltrane-ctl with `args` (shell words) on `relay`'s configuration, `input`
// on its standard input, run under `prefix` (e.g. as another user).
CtlRun Ctl(const RelayInstance& relay, const std::string& args, const std::string& input = "",
           const std::string& prefix = "") {
  const TempDir& d = relay.dir();
  d.Write("ctl.in", input);
  int status = system(("VELTRANE_CONFIG=" + d.File("relay.conf") + " " + prefix + " " VELTRANE_CTL " " + args + " <" +
                       d.File("ctl.in") + " >" + d.File("ctl.out") + " 2>" + d.File("ctl.err")).c_str());
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadFile(d.File("ctl.out")), ReadFile(d.File("ctl.err"))};
}

// Offers `ids` with takethis on one connection; the replies, a line each.
std::string Offer(const RelayInstance& relay, const std::vector<std::string>& ids, const std::string& article = "") {
  NntpClient c;
  std::string replies;
  if (!c.Connect("127.0.0.1", relay.port()) || c.Line().substr(0, 4) != "200 ") return "no greeting";
  for (const std::string& id : ids) {
    if (!c.Send(Takethis(id, article.empty() ? Article(id) : article))) break;
    replies += c.Line() + "\n";
  }
  return replies;
}

// A connection to a control socket, and one exchange on it: `line` (unless
// empty) out, the reply frame back as "<status> <text>".
int ControlConnect(const std::string& path) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un a{AF_UNIX, {}};
  snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
  timeval limit{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  return connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 ? fd : (close(fd), -1);
}
std::string Exchange(int fd, const std::string& line) {
  if (!line.empty() && send(fd, (line + "\n").data(), line.size() + 1, MSG_NOSIGNAL) < 0) return "";
  std::string head, text;
  for (char c; recv(fd, &c, 1, 0) == 1 && c != '\n';) head += c;
  text.resize(head.size() > 4 ? std::stoul(head.substr(4)) : 0);
  return recv(fd, text.data(), text.size(), MSG_WAITALL) == ssize_t(text.size()) ? head.substr(0, 4) + text : head;
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

// The value of the sample `name` (with its labels) on a metrics page.
uint64_t Sample(const std::string& page, const std::string& name) {
  size_t at = page.find("\n" + name + " ");
  return at == std::string::npos ? UINT64_MAX : std::stoull(page.substr(at + name.size() + 2));
}

TEST(Operating, ControlSocketAndMetricsOfARunningRelay) {
  uint64_t started = uint64_t(time(nullptr));
  uint16_t metrics = FreeLoopbackPort();
  RelayInstance relay("HistoryDataSize = 4000000\nMetricsListen = 127.0.0.1:" + std::to_string(metrics) + "\n",
                      "AddIncoming 127.0.0.1\nset ticks 0\nproc tick {} {global ticks; incr ticks; after 20 tick}\n"
                      "tick\n");
  ASSERT_TRUE(relay.WaitReady());
  std::string socketPath = relay.dir().File("history/veltrane.ctl");
  ASSERT_TRUE(WaitUntil([&] { return FileExists(socketPath); }));  // it opens once the script has run
  struct stat st;
  ASSERT_EQ(stat(socketPath.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  // A second relay given the same control socket leaves it to the first.
  RelayInstance other("ControlSocket = " + socketPath + "\n", "AddIncoming 127.0.0.1\n");
  ASSERT_TRUE(other.WaitReady());
  EXPECT_TRUE(other.WaitForLog("control socket " + socketPath + " is in use or not a socket; no control socket"));

  // A site created on the running relay (the second one) is fed the
  // articles stored after.
  std::string port = std::to_string(other.port());
  for (const auto& [command, output] : {std::pair{"CreateSite 127.0.0.1 " + port, "0\n"},
                                        {"SetSite 127.0.0.1 distribution '*'", ""},
                                        {"SetSite 127.0.0.1 createfeeder f", "0\n"}}) {
    EXPECT_EQ(Ctl(relay, command), CtlRun(0, output, "")) << command;
  }
  EXPECT_EQ(Offer(relay, {"a0@ctl.test", "a1@ctl.test", "a2@ctl.test", "a0@ctl.test"}),
            "239 <a0@ctl.test>\n239 <a1@ctl.test>\n239 <a2@ctl.test>\n439 <a0@ctl.test>\n");
  std::string page;
  EXPECT_TRUE(WaitUntil([&] {
    page = HttpGet(metrics, "/metrics");
    return Sample(page, "veltrane_outgoing_articles_total{outcome=\"accepted\"}") == 3;
  })) << page;
  EXPECT_EQ(page.substr(0, 15), "HTTP/1.1 200 OK");
  EXPECT_NE(page.find("\r\nContent-Type: text/plain; version=0.0.4"), std::string::npos);
  uint64_t spooled = 0;
  for (const auto& f : std::filesystem::directory_iterator(relay.dir().File("spool"))) spooled += f.file_size();
  const std::string peer = "{peer=\"127.0.0.1\"", site = "{site=\"127.0.0.1\"", feeder = site + ",feeder=\"0\"";
  const std::pair<std::string, uint64_t> samples[] = {
      {"veltrane_incoming_commands_total{command=\"takethis\"}", 4},
      {"veltrane_incoming_replies_total{command=\"takethis\",outcome=\"accepted\"}", 3},
      {"veltrane_incoming_replies_total{command=\"takethis\",outcome=\"refused\"}", 1},
      {"veltrane_precommit_saves_total", 0}, {"veltrane_spool_written_bytes_total", spooled},
      {"veltrane_spool_files", 3},  // MaxArticleFileSize 0: a file per article
      {"veltrane_history_inserts_total", 3}, {"veltrane_history_searches_total", 0},
      {"veltrane_history_size_bytes", 4000000}, {"veltrane_history_expiries_total", 0},
      {"veltrane_seen_ring_records", 50000}, {"veltrane_seen_ring_position", 3}, {"veltrane_seen_searches_total", 4},
      {"veltrane_precommit_entries", 3}, {"veltrane_peer_articles_offered_total" + peer + "}", 4},
      {"veltrane_peer_articles_total" + peer + ",outcome=\"accepted\"}", 3},
      {"veltrane_peer_articles_total" + peer + ",outcome=\"refused\"}", 1},
      {"veltrane_peer_connects_total" + peer + "}", 1},
      {"veltrane_site_articles_total" + site + ",outcome=\"accepted\"}", 3},
      {"veltrane_site_flagged_total" + site + "}", 3}, {"veltrane_site_backlog_articles" + site + "}", 0},
      {"veltrane_site_connects_total" + site + "}", 1}, {"veltrane_feeder_connected" + feeder + "}", 1},
      {"veltrane_feeder_loop_articles" + feeder + ",outcome=\"accepted\"}", 3}};
  for (const auto& [name, value] : samples) EXPECT_EQ(Sample(page, name), value) << name;
  EXPECT_GE(Sample(page, "veltrane_start_time_seconds"), started);
  EXPECT_LE(Sample(page, "veltrane_start_time_seconds"), uint64_t(time(nullptr)));
  EXPECT_GT(Sample(page, "veltrane_history_used_bytes"), 0u);
  relay.dir().Write("metrics.txt", page.substr(page.find("\r\n\r\n") + 4));
  EXPECT_EQ(system(("promtool check metrics <" + relay.dir().File("metrics.txt")).c_str()), 0) << page;
  EXPECT_EQ(HttpGet(metrics, "/other").substr(0, 22), "HTTP/1.1 404 Not Found");

  EXPECT_EQ(std::get<0>(Ctl(relay, "DeleteSite 127.0.0.1")), 0);
  EXPECT_EQ(Ctl(relay, "GetSiteList"), CtlRun(0, "", ""));
  EXPECT_EQ(HttpGet(metrics, "/metrics").find(site), std::string::npos);
  // Errors: Tcl's message and exit 1; no relay there, or a line over 65536
  // bytes, exit 2.
  EXPECT_EQ(Ctl(relay, "nosuchcommand"), CtlRun(1, "", "invalid command name \"nosuchcommand\"\n"));
  EXPECT_EQ(Ctl(relay, "-s /nonexistent/x.ctl GetSiteList"),
            CtlRun(2, "", "veltrane-ctl: cannot reach the relay at /nonexistent/x.ctl: No such file or directory\n"));
  EXPECT_EQ(Ctl(relay, "", std::string(1 << 20, 'x') + "\n"),
            CtlRun(2, "", "veltrane-ctl: refused by the relay: command line longer than 65536 bytes\n"));
  // A script's commands, one spanning lines; a long command and an error
  // leave the start-up script's timers running.
  relay.dir().Write("script.tcl", "proc twice {x} {\n  return \"$x\\n$x\"\n}\ntwice ab\nafter 100\n");
  EXPECT_EQ(Ctl(relay, "-f " + relay.dir().File("script.tcl")), CtlRun(0, "ab\nab\n", ""));
  uint64_t ticks = std::stoull(std::get<1>(Ctl(relay, "'set ticks'")));
  EXPECT_TRUE(WaitUntil([&] { return std::stoull(std::get<1>(Ctl(relay, "'set ticks'"))) > ticks + 2; }));
  // Another user is refused even when the file's mode would let it in.
  if (geteuid() == 0 && system("command -v setpriv >/dev/null") == 0) {
    for (const std::string& path : {relay.dir().path(), relay.dir().File("history")}) chmod(path.c_str(), 0755);
    chmod(socketPath.c_str(), 0666);
    CtlRun other = Ctl(relay, "GetSiteList", "", "setpriv --reuid=65534 --regid=65534 --clear-groups");
    const char* refusal = "veltrane-ctl: refused by the relay: user id 65534 may not use the control socket\n";
    EXPECT_EQ(other, CtlRun(2, "", refusal));
  }
  // Four clients at once, each getting its own results; a fifth is refused.
  int clients[4], fifth;
  for (int& fd : clients) {
    EXPECT_EQ(Exchange(fd = ControlConnect(socketPath), "set x"), "500 can't read \"x\": no such variable");
  }
  EXPECT_EQ(Exchange(fifth = ControlConnect(socketPath), ""), "400 too many control clients (4)");
  std::vector<std::thread> threads;
  std::atomic<int> right{0};
  for (int c = 0; c < 4; c++) {
    threads.emplace_back([&, c] {
      for (int k = c * 1000; k < c * 1000 + 25; k++) {
        right += Exchange(clients[c], "expr {" + std::to_string(k) + "}") == "200 " + std::to_string(k);
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(right.load(), 100);
  for (int fd : {clients[0], clients[1], clients[2], clients[3], fifth}) close(fd);
  // Killed, the relay leaves its socket file behind; the next start takes
  // it over. A stop removes it.
  relay.Kill();
  relay.Start();
  ASSERT_TRUE(relay.WaitReady());
  EXPECT_TRUE(WaitUntil([&] { return std::get<0>(Ctl(relay, "'set ticks'")) == 0; }));
  EXPECT_EQ(relay.Stop(), 1);
  EXPECT_FALSE(FileExists(socketPath));
}

// Spool, history and seen files share an 8 MiB disk, 3.4 MB of it held by
// a file removed later. Tiny articles with long Message-IDs fill the disk
// before the history is full: the databases must own all their blocks from
// the start, or the first store into a history page the disk cannot back
// kills the relay.
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
  // Still serving: offers answered, stored articles refused, that connection counted out.
  ASSERT_TRUE(peer.Connect("127.0.0.1", relay.port()) && peer.Line().substr(0, 4) == "200 ");
  ASSERT_TRUE(peer.Send("check <later@disk.test>\r\ncheck <" + fill0 + ">\r\nssp\r\n"));
  EXPECT_EQ(peer.Line(), "238 <later@disk.test>");
  EXPECT_EQ(peer.Line(), "438 <" + fill0 + ">");
  EXPECT_NE(peer.Line().find("{host 127.0.0.1} {connected 1} {connects 2} "), std::string::npos);
  std::filesystem::remove(d + "/filler");  // room again: stored again
  EXPECT_EQ(Offer(relay, {"later@disk.test"}, tiny), "239 <later@disk.test>\n");
  EXPECT_EQ(relay.Stop(), 1);
  EXPECT_EQ(relay.LogText().find("exception"), std::string::npos);
}

struct Acked {
  std::string id, article;
};
std::mutex ackedMu;

// One peer feeding new articles until its connection ends, pipelined
// takethis in batches of 16 or lock-step ihave; `acked` gets each article
// acknowledged with 239 or 235, in the order of the acknowledgements.
void Feed(uint16_t port, bool streaming, const std::string& prefix, std::vector<Acked>* acked) {
  NntpClient c;
  if (!c.Connect("127.0.0.1", port) || c.Line().rfind("200 ", 0) != 0) return;
  for (size_t n = 0;;) {
    std::vector<Acked> batch;
    std::string bytes;
    for (size_t end = n + (streaming ? 16 : 1); n < end; n++) {
      std::string id = prefix + std::to_string(n) + "@crash.test", body;
      for (size_t i = 0; i < n % 13; i++) body += "line " + std::to_string(i) + " of " + std::to_string(n) + "\r\n";
      batch.push_back({id, Article(id, body + "end\r\n")});
      bytes += streaming ? Takethis(id, batch.back().article) : "";
    }
    if (!streaming && (!c.SendLine("ihave <" + batch[0].id + ">") || c.Line() != "335 Send it")) return;
    if (!c.Send(streaming ? bytes : batch[0].article + ".\r\n")) return;
    for (const Acked& a : batch) {
      std::string reply = c.Line();
      std::lock_guard<std::mutex> lock(ackedMu);
      if (reply == (streaming ? "239 <" + a.id + ">" : "235 Got it")) acked->push_back(a);
      if (reply.empty()) return;
    }
  }
}

// The history data file's word that is nonzero while an expiry is under way.
uint32_t ExpiryWord(int fd) {
  uint32_t v = 0;
  return pread(fd, &v, 4, 4) == 4 ? v : 0;
}

// The relay killed (SIGKILL) under load at random moments and during history
// expiries, made frequent by a small history (one every ~14,000 articles)
// and a seen ring that remembers every article. Each restart needs no repair
// by hand, and every acknowledged article is refused when offered again; the
// newest 25,000 (well within the four fifths an expiry keeps) are found
// through the history and read back intact from their spool files.
TEST(CrashRecovery, AcknowledgedArticlesSurviveEveryKill) {
  const char* config = "HistoryDataSize = 4000000\nHistoryTableSize = 100003\nSeenDataCount = 1000000\n"
                       "SeenTableSize = 1000003\nMaxArticleFileSize = 262144\nMaxKeepFileCount = 100000\n";
  std::mt19937 rng(20261207);
  RelayInstance relay(config, "AddIncoming 127.0.0.1");
  ASSERT_TRUE(relay.WaitReady());
  std::vector<Acked> acked;
  int duringExpiry = 0;
  for (int round = 0; round < 18; round++) {
    // Four peers feed it; it is killed after a while, or in watched rounds
    // the moment the history records an expiry under way (within a bound).
    size_t before = acked.size();
    std::vector<std::thread> feeders;
    for (int i = 0; i < 4; i++) {
      std::string prefix = "k" + std::to_string(round) + "." + std::to_string(i) + "-";
      feeders.emplace_back(Feed, relay.port(), i % 2 == 0, prefix, &acked);
    }
    bool watched = round >= 6 && round % 2 == 0;
    int fd = open(relay.dir().File("history/hist.dat").c_str(), O_RDONLY);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(watched ? 20000 : 100 + rng() % 400);
    if (!watched) std::this_thread::sleep_until(deadline);
    while (watched && ExpiryWord(fd) == 0 && std::chrono::steady_clock::now() < deadline) {
    }
    relay.Kill();
    duringExpiry += ExpiryWord(fd) != 0;
    close(fd);
    for (std::thread& t : feeders) t.join();
    relay.Start();
    ASSERT_TRUE(relay.WaitReady()) << "round " << round << ": " << relay.process().Output();
    // Each article acknowledged in the round is refused, checked in slices
    // so that neither side's socket buffer fills while the other sends.
    NntpClient c;
    ASSERT_TRUE(c.Connect("127.0.0.1", relay.port()) && c.Line().substr(0, 4) == "200 ");
    size_t wrong = 0;
    for (size_t at = before; at < acked.size(); at += 1000) {
      std::string checks;
      for (size_t i = at; i < std::min(acked.size(), at + 1000); i++) checks += "check <" + acked[i].id + ">\r\n";
      ASSERT_TRUE(c.Send(checks));
      for (size_t i = at; i < std::min(acked.size(), at + 1000); i++) {
        std::string reply = c.Line();
        if (reply != "438 <" + acked[i].id + ">" && wrong++ < 5) ADD_FAILURE() << acked[i].id << ": " << reply;
      }
    }
    ASSERT_GT(acked.size(), before);
    ASSERT_TRUE(c.SendLine("ihave <" + acked.back().id + ">"));
    EXPECT_EQ(c.Line(), "435 Already got it");
    if (round % 3 != 2) continue;
    // With the relay stopped, read through its history.
    ASSERT_EQ(relay.Stop(), 1);
    ASSERT_TRUE(LoadConfigFile(relay.dir().File("relay.conf").c_str()));
    histinit();
    std::map<uint32_t, std::string> spool;
    for (size_t i = acked.size() > 25000 ? acked.size() - 25000 : 0; i < acked.size(); i++) {
      std::string bytes = "(not in history)";
      if (_histentry* e = FindArticle(acked[i].id.c_str())) {
        std::string& file = spool[e->header.spoolFile];
        if (file.empty()) file = ReadFile(relay.dir().File("spool/" + std::to_string(e->header.spoolFile) + ".art"));
        bytes = e->header.spoolOffset <= file.size() ? file.substr(e->header.spoolOffset, e->header.length) : "";
        DestroyEntry(e);
      }
      if (bytes != Stored(acked[i].article) && wrong++ < 5) ADD_FAILURE() << acked[i].id << ": " << bytes;
    }
    histclose();
    relay.Start();
    ASSERT_TRUE(relay.WaitReady());
  }
  EXPECT_EQ(relay.Stop(), 1);
  EXPECT_GE(duringExpiry, 2);  // most of the six watched rounds; scheduling decides the rest
  EXPECT_NE(relay.LogText().find("db: finished an expiry that was interrupted"), std::string::npos);
}

}  // namespace
