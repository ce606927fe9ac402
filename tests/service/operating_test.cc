// Operating a running relay: commands through the control socket with
// veltrane-ctl, and the Prometheus metrics page.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "support/nntp_client.h"
#include "support/relay_instance.h"
#include "support/test_articles.h"

namespace {

struct CtlRun {
  int code;
  std::string out, err;
};

// Runs veltrane-ctl with `args` (shell words) against `relay`'s
// configuration, `input` on its standard input, under `prefix` (a command
// that runs it, e.g. as another user).
CtlRun Ctl(const RelayInstance& relay, const std::string& args, const std::string& input = "",
           const std::string& prefix = "") {
  const TempDir& dir = relay.dir();
  dir.Write("ctl.in", input);
  std::string command = "VELTRANE_CONFIG=" + dir.File("relay.conf") + " " + prefix + " " + VELTRANE_CTL + " " +
                        args + " <" + dir.File("ctl.in") + " >" + dir.File("ctl.out") + " 2>" + dir.File("ctl.err");
  int status = system(command.c_str());
  return CtlRun{WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadFile(dir.File("ctl.out")),
                ReadFile(dir.File("ctl.err"))};
}

// The value of "{key N}" in a relay's statistics text.
uint64_t Statistic(RelayInstance& relay, const std::string& key) {
  NntpClient c;
  if (!c.Connect("127.0.0.1", relay.port()) || c.Line().substr(0, 4) != "200 " || !c.SendLine("ssp")) return 0;
  std::string stats = c.Line();
  size_t at = stats.find("{" + key + " ");
  return at == std::string::npos ? 0 : std::stoull(stats.substr(at + key.size() + 2));
}

void Feed(RelayInstance& relay, const std::string& prefix, int count) {
  NntpClient c;
  ASSERT_TRUE(c.Connect("127.0.0.1", relay.port()));
  ASSERT_EQ(c.Line().substr(0, 4), "200 ");
  for (int i = 0; i < count; i++) {
    std::string id = prefix + std::to_string(i) + "@ctl.test";
    ASSERT_TRUE(c.Send(Takethis(id, Article(id))));
    ASSERT_EQ(c.Line(), "239 <" + id + ">");
  }
}

// A raw control connection: one command out, one frame back.
class ControlClient {
 public:
  explicit ControlClient(const std::string& path) {
    fd_ = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
    connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    timeval tv{10, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  }
  ~ControlClient() { close(fd_); }
  bool connected() const { return connected_; }
  // "<status> <text>" of the next frame, after sending `line` unless empty.
  std::string Run(const std::string& line) {
    if (!line.empty() && write(fd_, (line + "\n").data(), line.size() + 1) != ssize_t(line.size() + 1)) return "";
    char chunk[4096];
    for (;;) {
      size_t head = input_.find('\n');
      int status = 0;
      size_t length = 0;
      if (head != std::string::npos && sscanf(input_.c_str(), "%d %zu", &status, &length) == 2 &&
          input_.size() >= head + 1 + length) {
        std::string frame = std::to_string(status) + " " + input_.substr(head + 1, length);
        input_.erase(0, head + 1 + length);
        return frame;
      }
      ssize_t n = read(fd_, chunk, sizeof chunk);
      if (n <= 0) return "";
      input_.append(chunk, size_t(n));
    }
  }

 private:
  int fd_;
  bool connected_ = false;
  std::string input_;
};

// The control socket of a ready relay, once it is there: it opens right
// after the start-up script has run.
std::string ControlSocketOf(const RelayInstance& relay) {
  std::string path = relay.dir().File("history/veltrane.ctl");
  EXPECT_TRUE(WaitUntil([&] { return FileExists(path); }));
  return path;
}

const char kTicking[] = "AddIncoming 127.0.0.1\nset ticks 0\nproc tick {} {global ticks; incr ticks; after 20 tick}\ntick\n";

TEST(LiveControl, VeltraneCtlRunsCommandsInTheRunningRelay) {
  RelayInstance site("HistoryDataSize = 4000000\nHistoryTableSize = 100003\n", "AddIncoming 127.0.0.1\n");
  RelayInstance relay("HistoryDataSize = 4000000\nHistoryTableSize = 100003\n", kTicking);
  ASSERT_TRUE(site.WaitReady());
  ASSERT_TRUE(relay.WaitReady());
  std::string socketPath = ControlSocketOf(relay);
  struct stat st;
  ASSERT_EQ(stat(socketPath.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  // A site created on the running relay gets the articles stored after.
  std::string port = std::to_string(site.port());
  EXPECT_EQ(Ctl(relay, "CreateSite 127.0.0.1 " + port).code, 0);
  EXPECT_EQ(Ctl(relay, "SetSite 127.0.0.1 distribution '*'").code, 0);
  EXPECT_EQ(Ctl(relay, "SetSite 127.0.0.1 createfeeder f").code, 0);
  CtlRun config = Ctl(relay, "GetSiteConfig 127.0.0.1");
  EXPECT_EQ(config.code, 0);
  EXPECT_NE(config.out.find("{Port " + port + "}"), std::string::npos) << config.out;
  EXPECT_NE(config.out.find("{Distribution {*}}"), std::string::npos) << config.out;
  Feed(relay, "a", 3);
  EXPECT_TRUE(WaitUntil([&] { return Statistic(site, "insert") == 3; }));
  EXPECT_EQ(Ctl(relay, "DeleteSite 127.0.0.1").code, 0);
  EXPECT_EQ(Ctl(relay, "GetSiteList").out.find("127.0.0.1"), std::string::npos);
  Feed(relay, "b", 1);
  EXPECT_FALSE(WaitUntil([&] { return Statistic(site, "insert") > 3; }, 500ms));

  // Errors: Tcl's message and exit 1; an unreachable relay, exit 2 naming the socket.
  CtlRun error = Ctl(relay, "nosuchcommand");
  EXPECT_EQ(error.code, 1);
  EXPECT_EQ(error.err, "invalid command name \"nosuchcommand\"\n");
  CtlRun unreachable = Ctl(relay, "-s /nonexistent/x.ctl GetSiteList");
  EXPECT_EQ(unreachable.code, 2);
  EXPECT_NE(unreachable.err.find("/nonexistent/x.ctl"), std::string::npos);

  // A 1 MiB line is refused; the relay carries on.
  CtlRun huge = Ctl(relay, "", std::string(1 << 20, 'x') + "\n");
  EXPECT_EQ(huge.code, 2);
  EXPECT_NE(huge.err.find("longer than 65536 bytes"), std::string::npos) << huge.err;

  // A script's commands, one spanning lines; a long command and an error
  // leave the start-up script's timers running.
  relay.dir().Write("script.tcl", "proc twice {x} {\n  return \"$x\\n$x\"\n}\ntwice ab\nafter 100\n");
  CtlRun script = Ctl(relay, "-f " + relay.dir().File("script.tcl"));
  EXPECT_EQ(script.code, 0);
  EXPECT_EQ(script.out, "ab\nab\n");
  uint64_t ticks = std::stoull(Ctl(relay, "'set ticks'").out);
  EXPECT_TRUE(WaitUntil([&] { return std::stoull(Ctl(relay, "'set ticks'").out) > ticks + 2; }));

  // Another user is refused even when the file's mode would let it in.
  if (geteuid() == 0 && system("command -v setpriv >/dev/null") == 0) {
    chmod(relay.dir().path().c_str(), 0755);
    chmod(relay.dir().File("history").c_str(), 0755);
    chmod(socketPath.c_str(), 0666);
    CtlRun other = Ctl(relay, "-s " + socketPath + " GetSiteList", "", "setpriv --reuid=65534 --regid=65534 --clear-groups");
    EXPECT_EQ(other.code, 2);
    EXPECT_NE(other.err.find("user id 65534 may not use the control socket"), std::string::npos) << other.err;
  }
  EXPECT_EQ(relay.Stop(), 1);
  EXPECT_FALSE(FileExists(socketPath));
}

TEST(LiveControl, ConcurrentClientsEachGetTheirOwnResults) {
  RelayInstance relay("", kTicking);
  ASSERT_TRUE(relay.WaitReady());
  std::string path = ControlSocketOf(relay);
  std::vector<std::unique_ptr<ControlClient>> clients;
  for (int c = 0; c < 4; c++) {
    clients.push_back(std::make_unique<ControlClient>(path));
    ASSERT_EQ(clients.back()->Run("set x"), "500 can't read \"x\": no such variable");
  }
  ControlClient fifth(path);
  EXPECT_EQ(fifth.Run(""), "400 too many control clients (4)");
  std::vector<std::thread> threads;
  std::atomic<int> right{0};
  for (int c = 0; c < 4; c++) {
    threads.emplace_back([&, c] {
      for (int k = 0; k < 25; k++) {
        std::string expected = std::to_string(c * 1000 + k);
        if (clients[c]->Run("expr {" + std::to_string(c) + " * 1000 + " + std::to_string(k) + "}") ==
            "200 " + expected) {
          right++;
        }
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(right.load(), 100);
}

// The page over HTTP: status line, headers and body as one text.
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

TEST(Metrics, ThePageMatchesTheStatisticsAndPassesPromtool) {
  uint16_t metricsPort = FreeLoopbackPort();
  RelayInstance relay("MetricsListen = 127.0.0.1:" + std::to_string(metricsPort) + "\n",
                      "AddIncoming 127.0.0.1\nCreateSite feed.invalid 119\nSetSite feed.invalid distribution *\n");
  ASSERT_TRUE(relay.WaitReady());
  Feed(relay, "m", 5);
  NntpClient c;
  ASSERT_TRUE(c.Connect("127.0.0.1", relay.port()));
  ASSERT_EQ(c.Line().substr(0, 4), "200 ");
  ASSERT_TRUE(c.Send(Takethis("m0@ctl.test", Article("m0@ctl.test"))));
  ASSERT_EQ(c.Line(), "439 <m0@ctl.test>");
  c.Close();

  std::string response = HttpGet(metricsPort, "/metrics");
  ASSERT_EQ(response.substr(0, 15), "HTTP/1.1 200 OK") << response;
  EXPECT_NE(response.find("Content-Type: text/plain; version=0.0.4"), std::string::npos);
  std::string page = response.substr(response.find("\r\n\r\n") + 4);
  EXPECT_EQ(Sample(page, "veltrane_incoming_commands_total{command=\"takethis\"}"), Statistic(relay, "takethis"));
  EXPECT_EQ(Sample(page, "veltrane_incoming_replies_total{command=\"takethis\",outcome=\"refused\"}"),
            Statistic(relay, "takethis_refuse"));
  EXPECT_EQ(Sample(page, "veltrane_history_inserts_total"), Statistic(relay, "insert"));
  EXPECT_EQ(Sample(page, "veltrane_peer_articles_total{peer=\"127.0.0.1\",outcome=\"accepted\"}"), 5u);
  EXPECT_EQ(Sample(page, "veltrane_peer_articles_total{peer=\"127.0.0.1\",outcome=\"rejected\"}"),
            Statistic(relay, "rejected"));
  EXPECT_EQ(Sample(page, "veltrane_site_flagged_total{site=\"feed.invalid\"}"), 5u);
  EXPECT_EQ(Sample(page, "veltrane_site_backlog_articles{site=\"feed.invalid\"}"), 5u);
  EXPECT_GT(Sample(page, "veltrane_spool_written_bytes_total"), 5u * Article("m0@ctl.test").size());
  EXPECT_EQ(Sample(page, "veltrane_spool_files"), 5u);  // MaxArticleFileSize 0: a file per article
  relay.dir().Write("metrics.txt", page);
  EXPECT_EQ(system(("promtool check metrics <" + relay.dir().File("metrics.txt")).c_str()), 0) << page;
  EXPECT_EQ(HttpGet(metricsPort, "/other").substr(0, 22), "HTTP/1.1 404 Not Found");
}

}  // namespace
