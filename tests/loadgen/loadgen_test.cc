// veltrane-loadgen: the articles it builds, the addresses it accepts, and
// whole bounded runs in each mode against the real relay binary.
#include <gtest/gtest.h>

#include <ctime>
#include <set>
#include <string>

#include "loadgen/article_source.h"
#include "loadgen/load_options.h"
#include "loadgen/load_run.h"
#include "parsedate/parsedate.h"
#include "support/nntp_client.h"
#include "support/relay_instance.h"

namespace {

using loadgen::ArticleSource;
using loadgen::Mode;
using loadgen::Options;
using loadgen::RunLoad;
using loadgen::RunResult;

std::string Article(const ArticleSource& source, uint32_t conn, uint64_t seq) {
  char id[ArticleSource::kMaxId];
  char head[ArticleSource::kMaxHead];
  size_t idLength = source.FormatId(conn, seq, id);
  size_t headLength = source.FormatHead(std::string_view(id, idLength), head);
  return std::string(head, headLength) + std::string(source.tail());
}

std::string HeaderValue(const std::string& article, const std::string& name) {
  size_t at = article.find("\r\n" + name + ": ");
  if (at == std::string::npos) return "";
  at += name.size() + 4;
  return article.substr(at, article.find("\r\n", at) - at);
}

TEST(LoadgenArticles, ExactSizeWellFormedAndDistinct) {
  time_t now = time(nullptr);
  ArticleSource probe("run.x", 0, now);
  ASSERT_FALSE(probe.ok());
  uint32_t minimum = probe.MinimumSize();
  // Sizes around the head, around a body line boundary, and the two the
  // benchmark uses.
  for (uint32_t size : {minimum, minimum + 1, minimum + 2, minimum + 3, minimum + 72, minimum + 73, minimum + 74,
                        2048u, 262144u}) {
    ArticleSource source("run.x", size, now);
    ASSERT_TRUE(source.ok()) << size;
    std::string text = Article(source, 7, 123456);
    ASSERT_EQ(text.size(), size + 3) << size;  // the article, then ".\r\n"
    ASSERT_EQ(text.substr(text.size() - 5), "\r\n.\r\n") << size;
    size_t lineStart = 0;
    while (lineStart < text.size() - 3) {
      size_t lf = text.find('\n', lineStart);
      ASSERT_NE(lf, std::string::npos);
      ASSERT_GT(lf, lineStart) << "bare LF at " << lf;
      ASSERT_EQ(text[lf - 1], '\r') << "LF without CR at " << lf << ", size " << size;
      ASSERT_NE(text[lineStart], '.') << "line would need dot-stuffing at " << lineStart;
      lineStart = lf + 1;
    }
    EXPECT_EQ(lineStart, text.size() - 3);
    EXPECT_EQ(HeaderValue(text, "Message-ID"), "<run.x.007.000000123456@loadgen.invalid>");
    EXPECT_EQ(text.rfind("Path: ", 0), 0u);
    EXPECT_NE(HeaderValue(text, "Newsgroups"), "");
    // The relay reads the Date: header as the time the source was made.
    EXPECT_EQ(parsedate(HeaderValue(text, "Date").c_str(), nullptr), int32_t(now)) << HeaderValue(text, "Date");
  }
  EXPECT_FALSE(ArticleSource("run.x", minimum - 1, now).ok());

  ArticleSource source("run.x", 2048, now);
  std::set<std::string> ids;
  char id[ArticleSource::kMaxId];
  for (uint32_t conn = 0; conn < 3; conn++) {
    for (uint64_t seq : {0ull, 1ull, 10ull, 999999999ull}) ids.insert(std::string(id, source.FormatId(conn, seq, id)));
  }
  EXPECT_EQ(ids.size(), 12u);
  EXPECT_NE(std::string(id, ArticleSource("run.y", 2048, now).FormatId(2, 999999999, id)), *ids.rbegin());
}

TEST(LoadgenOptions, OnlyLoopbackTargetsAndSaneArguments) {
  std::string error;
  for (const char* host : {"127.0.0.1", "127.1.2.3", "::1", "localhost"}) {
    EXPECT_TRUE(loadgen::LoopbackAddress(host, 119, nullptr, nullptr, &error)) << host << ": " << error;
  }
  for (const char* host : {"10.0.0.1", "192.168.1.1", "172.16.0.1", "8.8.8.8", "128.0.0.1", "::2", "0.0.0.0",
                           "::ffff:10.0.0.1", "example.com", "", "127.0.0.1.nip.io"}) {
    EXPECT_FALSE(loadgen::LoopbackAddress(host, 119, nullptr, nullptr, &error)) << host;
  }

  auto parse = [&](std::vector<const char*> args, Options* o) {
    args.insert(args.begin(), "veltrane-loadgen");
    return loadgen::ParseOptions(int(args.size()), const_cast<char**>(args.data()), o, &error);
  };
  Options o;
  ASSERT_TRUE(parse({"--port", "1119", "--connections", "3", "--articles", "5", "--size", "4096", "--mode", "check",
                     "--window", "9", "--time-limit", "2.5", "--run-prefix", "a-b_c.1"},
                    &o))
      << error;
  EXPECT_EQ(o.port, 1119);
  EXPECT_EQ(o.connections, 3u);
  EXPECT_EQ(o.articlesPerConnection, 5u);
  EXPECT_EQ(o.articleSize, 4096u);
  EXPECT_EQ(o.mode, Mode::kCheck);
  EXPECT_EQ(o.window, 9u);
  EXPECT_DOUBLE_EQ(o.timeLimitSeconds, 2.5);
  EXPECT_EQ(o.runPrefix, "a-b_c.1");
  Options defaults;
  ASSERT_TRUE(parse({}, &defaults));
  EXPECT_TRUE(loadgen::ValidRunPrefix(defaults.runPrefix)) << defaults.runPrefix;

  std::string longPrefix(loadgen::kMaxRunPrefix + 1, 'p');
  for (std::vector<const char*> bad :
       {std::vector<const char*>{"--host", "10.1.1.1"}, {"--mode", "post"}, {"--window", "0"}, {"--connections", "0"},
        {"--articles", "-1"}, {"--time-limit", "0"}, {"--time-limit", "1e9"}, {"--port", "70000"},
        {"--run-prefix", "a<b"}, {"--run-prefix", longPrefix.c_str()}, {"--articles"}, {"--frobnicate", "1"}}) {
    Options ignored;
    EXPECT_FALSE(parse(bad, &ignored)) << bad[0];
  }
}

class LoadgenRun : public ::testing::Test {
 protected:
  LoadgenRun()
      : relay_("MaxArticleFileSize = 1073741824\nPrecommitHashSize = 10007\nSeenDataCount = 100000\n"
               "SeenTableSize = 100003",
               "AddIncoming 127.0.0.1") {}

  RunResult Run(Mode mode, const std::string& prefix, uint32_t connections, uint64_t articles, uint32_t size,
                uint32_t window = 32) {
    Options o;
    o.port = relay_.port();
    o.mode = mode;
    o.runPrefix = prefix;
    o.connections = connections;
    o.articlesPerConnection = articles;
    o.articleSize = size;
    o.window = window;
    o.timeLimitSeconds = 60;
    return RunLoad(o);
  }

  // Every article answered with `code` only, plus greeting and goodbye.
  static void ExpectOnly(const RunResult& r, uint64_t total, std::vector<std::pair<int, uint64_t>> codes,
                         uint32_t connections) {
    EXPECT_TRUE(r.completed);
    EXPECT_TRUE(r.errors.empty()) << r.errors.front();
    EXPECT_EQ(r.articlesFinished, total);
    loadgen::ReplyCounts expected{};
    expected[200] = expected[205] = connections;
    for (auto [code, count] : codes) expected[code] = count;
    for (size_t code = 0; code < expected.size(); code++) EXPECT_EQ(r.replies[code], expected[code]) << code;
  }

  RelayInstance relay_;
};

TEST_F(LoadgenRun, EveryModeFilesNewArticlesAndRefusesRepeats) {
  ASSERT_TRUE(relay_.WaitReady());
  RunResult streamed = Run(Mode::kTakethis, "t1", 3, 400, 2048);
  ExpectOnly(streamed, 1200, {{239, 1200}}, 3);
  EXPECT_EQ(streamed.articlesTransferred, 1200u);
  EXPECT_GT(streamed.ArticlesPerSecond(), 0);
  EXPECT_NEAR(streamed.MegabytesPerSecond(2048), streamed.ArticlesPerSecond() * 2048 / 1e6, 1e-6);

  // The same Message-IDs again: offers are refused from the seen database,
  // articles sent anyway are refused when filed.
  ExpectOnly(Run(Mode::kCheck, "t1", 3, 400, 2048), 1200, {{438, 1200}}, 3);
  RunResult again = Run(Mode::kTakethis, "t1", 3, 400, 2048);
  ExpectOnly(again, 1200, {{439, 1200}}, 3);
  EXPECT_EQ(again.accepted(), 0u);

  ExpectOnly(Run(Mode::kCheck, "c1", 2, 300, 3000, 7), 600, {{238, 600}, {239, 600}}, 2);
  RunResult offered = Run(Mode::kIhave, "i1", 4, 100, 2048);
  ExpectOnly(offered, 400, {{335, 400}, {235, 400}}, 4);
  EXPECT_EQ(offered.articlesTransferred, 400u);
  ExpectOnly(Run(Mode::kIhave, "c1", 2, 50, 2048), 100, {{435, 100}}, 2);
}

// Pipelined large articles fill the relay's grown 1 MiB buffer with the
// articles behind the one being read; every one of them still fits and is
// filed.
TEST_F(LoadgenRun, PipelinedLargeArticlesAreAllFiled) {
  ASSERT_TRUE(relay_.WaitReady());
  RunResult r = Run(Mode::kTakethis, "big", 2, 24, 262144, 16);
  ExpectOnly(r, 48, {{239, 48}}, 2);
  ExpectOnly(Run(Mode::kIhave, "bigi", 2, 6, 262144), 12, {{335, 12}, {235, 12}}, 2);
}

TEST(LoadgenFailures, ReportsARelayThatIsNotThere) {
  Options o;
  o.port = FreeLoopbackPort();
  o.runPrefix = "none";
  o.timeLimitSeconds = 5;
  RunResult r = RunLoad(o);
  EXPECT_FALSE(r.completed);
  ASSERT_FALSE(r.errors.empty());
  EXPECT_NE(r.errors.front().find("connect"), std::string::npos) << r.errors.front();
  EXPECT_EQ(r.articlesFinished, 0u);

  // A listed relay refusing the peer ends the run with the refusal.
  RelayInstance relay("", "");
  ASSERT_TRUE(relay.WaitReady());
  o.port = relay.port();
  r = RunLoad(o);
  EXPECT_FALSE(r.completed);
  ASSERT_FALSE(r.errors.empty());
  EXPECT_NE(r.errors.front().find("refused with: 502"), std::string::npos) << r.errors.front();
}

}  // namespace
