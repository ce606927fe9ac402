// veltrane-loadgen: its articles, the addresses and arguments it takes, and
// whole bounded runs against the real relay binary.
#include <gtest/gtest.h>

#include <map>

#include "loadgen/load_run.h"
#include "parsedate/parsedate.h"
#include "support/nntp_client.h"
#include "support/relay_instance.h"

namespace {

using namespace loadgen;

std::string Text(const ArticleSource& source, uint32_t conn, uint64_t seq) {
  char id[ArticleSource::kMaxId], head[ArticleSource::kMaxHead];
  size_t idLength = source.FormatId(conn, seq, id);
  return std::string(head, source.FormatHead(std::string_view(id, idLength), head)) + std::string(source.tail());
}

TEST(Loadgen, ArticlesHaveTheirExactSizeAndAreWellFormed) {
  time_t now = time(nullptr);
  uint32_t minimum = ArticleSource("run.x", 0, now).MinimumSize();
  EXPECT_FALSE(ArticleSource("run.x", minimum - 1, now).ok());
  for (uint32_t size : {minimum, minimum + 1, minimum + 2, minimum + 3, minimum + 73, minimum + 74, 262144u}) {
    std::string text = Text(ArticleSource("run.x", size, now), 7, 123456);
    ASSERT_EQ(text.size(), size + 3) << size;  // then ".\r\n"
    EXPECT_TRUE(text.starts_with("Path: ") && text.ends_with("\r\n.\r\n")) << size;
    for (size_t at = 0, lf; at < size; at = lf + 1) {  // CR LF lines, none to dot-stuff
      lf = text.find('\n', at);
      ASSERT_TRUE(lf != std::string::npos && lf > at && text[lf - 1] == '\r' && text[at] != '.') << at << " " << size;
    }
    EXPECT_NE(text.find("\r\nMessage-ID: <run.x.007.000000123456@loadgen.invalid>\r\n"), std::string::npos);
    size_t date = text.find("\r\nDate: ") + 8;
    EXPECT_EQ(parsedate(text.substr(date, text.find('\r', date) - date).c_str(), nullptr), int32_t(now));
  }
}

TEST(Loadgen, OnlyLoopbackTargetsAndSaneArguments) {
  std::string error;
  for (const char* host : {"127.0.0.1", "127.1.2.3", "::1", "localhost"}) {
    EXPECT_TRUE(LoopbackAddress(host, 119, nullptr, nullptr, &error)) << host;
  }
  for (const char* host : {"10.0.0.1", "128.0.0.1", "126.255.255.255", "::2", "::ffff:127.0.0.1", "example.com", ""}) {
    EXPECT_FALSE(LoopbackAddress(host, 119, nullptr, nullptr, &error)) << host;
  }
  auto parse = [&](std::vector<const char*> args, Options* o) {
    args.insert(args.begin(), "veltrane-loadgen");
    return ParseOptions(int(args.size()), const_cast<char**>(args.data()), o, &error);
  };
  Options o;
  const std::string prefix(kMaxRunPrefix, 'p');
  ASSERT_TRUE(parse({"--port", "65535", "--connections", "999", "--articles", "5", "--size", "4096", "--mode", "ihave",
                     "--window", "4096", "--time-limit", "86400", "--rate", "3", "--run-prefix", prefix.c_str()}, &o));
  EXPECT_EQ(std::tie(o.port, o.connections, o.articlesPerConnection, o.articleSize, o.mode, o.window, o.runPrefix),
            std::make_tuple(uint16_t(65535), 999u, uint64_t(5), 4096u, Mode::kIhave, 4096u, prefix));
  EXPECT_EQ(std::tie(o.timeLimitSeconds, o.rate), std::make_tuple(86400.0, 3.0));
  Options defaults;
  ASSERT_TRUE(parse({}, &defaults));
  EXPECT_TRUE(ValidRunPrefix(defaults.runPrefix)) << defaults.runPrefix;
  const std::string longPrefix = prefix + "p";
  for (std::vector<const char*> bad :
       {std::vector<const char*>{"--host", "10.1.1.1"}, {"--mode", "post"}, {"--window", "0"}, {"--window", "4097"},
        {"--connections", "1000"}, {"--articles", "-1"}, {"--time-limit", "0"}, {"--time-limit", "86401"},
        {"--port", "0"}, {"--port", "65536"}, {"--rate", "0"}, {"--run-prefix", "a<b"},
        {"--run-prefix", longPrefix.c_str()}, {"--articles"}, {"--frobnicate", "1"}, {"--help"}}) {
    Options ignored;
    EXPECT_FALSE(parse(bad, &ignored)) << bad[0] << " " << (bad.size() > 1 ? bad[1] : "");
  }
}

// Whole runs: offers, transfers and repeats, every reply counted by its
// code (with greeting and goodbye), and failures reported.
TEST(Loadgen, RunsFileNewArticlesSeeRepeatsRefusedAndReportFailures) {
  RelayInstance relay("MaxArticleFileSize = 1073741824", "AddIncoming 127.0.0.1");
  ASSERT_TRUE(relay.WaitReady());
  auto run = [&](Mode mode, const char* prefix, uint64_t articles, uint32_t size, std::map<int, uint64_t> codes) {
    RunResult r = RunLoad({.port = relay.port(), .connections = 2, .articlesPerConnection = articles,
                           .articleSize = size, .mode = mode, .window = 16, .timeLimitSeconds = 60,
                           .runPrefix = prefix});
    EXPECT_TRUE(r.completed && r.errors.empty()) << prefix << (r.errors.empty() ? "" : r.errors.front());
    codes[200] = codes[205] = 2;
    for (size_t code = 0; code < r.replies.size(); code++) EXPECT_EQ(r.replies[code], codes[int(code)]) << code;
    EXPECT_EQ(r.articlesFinished, 2 * articles);
    return r.articlesTransferred;
  };
  EXPECT_EQ(run(Mode::kCheck, "c1", 300, 3000, {{238, 600}, {239, 600}}), 600u);
  EXPECT_EQ(run(Mode::kCheck, "c1", 300, 3000, {{438, 600}}), 0u);
  EXPECT_EQ(run(Mode::kTakethis, "c1", 50, 3000, {{439, 100}}), 100u);
  EXPECT_EQ(run(Mode::kIhave, "i1", 100, 2048, {{335, 200}, {235, 200}}), 200u);
  EXPECT_EQ(run(Mode::kIhave, "c1", 50, 3000, {{435, 100}}), 0u);
  // Pipelined large articles fill the relay's grown buffer behind the one
  // being read; every one still fits and is filed.
  EXPECT_EQ(run(Mode::kTakethis, "big", 24, 262144, {{239, 48}}), 48u);
  RelayInstance unlisted("", "");
  ASSERT_TRUE(unlisted.WaitReady());
  for (uint16_t port : {FreeLoopbackPort(), unlisted.port()}) {
    RunResult r = RunLoad({.port = port, .timeLimitSeconds = 5, .runPrefix = "none"});
    EXPECT_FALSE(r.completed);
    ASSERT_EQ(r.errors.size(), port == unlisted.port() ? 4u : 1u);
    EXPECT_TRUE(r.errors[0].starts_with(port == unlisted.port() ? "connection 0: refused with: 502 " : "connect: "))
        << r.errors[0];
  }
}

}  // namespace
