// Cost of computing one article's feed flags against the distribution list:
// an article posted to 3 groups, against 16 distributions of 8 patterns and
// against 128 distributions of 10 patterns. Most patterns fail on each
// group, so nearly every pattern of every distribution runs for every group.
#include <benchmark/benchmark.h>

#include <string>

#include "distrib/distrib.h"
#include "distrib/feed_flags.h"

namespace {

const char* const kHierarchies[] = {"humanities.*", "misc.*", "news.*", "rec.*",  "sci.*",
                                    "soc.*",        "talk.*", "uk.*",   "fr.*",   "de.*",
                                    "comp.*",       "alt.*",  "it.*",   "japan.*", "aus.*",
                                    "can.*"};
constexpr int kHierarchyCount = sizeof kHierarchies / sizeof kHierarchies[0];

// Distribution of site `site`: a negated and a path pattern, an exclude,
// then hierarchies, `patterns` in all.
std::string DistributionText(int site, int patterns) {
  std::string text = "!alt.binaries.*,@*!site" + std::to_string(site) + ".example!*,~*.test.bin";
  for (int i = 3; i < patterns; i++) {
    text += ",";
    text += kHierarchies[(site * 3 + i) % kHierarchyCount];
  }
  return text;
}

std::string SampleArticle() {
  std::string a =
      "Path: news.one.example!news.two.example!transit.three.example!feed.four.example!"
      "peer.five.example!hub.six.example!edge.seven.example!not-for-mail\r\n"
      "From: Some Poster <poster@example.org>\r\n"
      "Newsgroups: comp.os.linux.misc,alt.test,de.comp.lang.c\r\n"
      "Subject: Re: a question about feeds\r\n"
      "Date: Mon, 02 Jun 2003 12:00:00 GMT\r\n"
      "Organization: Example\r\n"
      "Lines: 20\r\n"
      "Message-ID: <abc123@example.org>\r\n"
      "References: <xyz@example.org> <uvw@example.org>\r\n"
      "NNTP-Posting-Host: host.example.org\r\n"
      "X-Newsreader: something 1.0\r\n"
      "\r\n";
  for (int i = 0; i < 20; i++) a += "A line of body text that the flag computation never needs.\r\n";
  return a.substr(0, a.size() - 2);  // the text ends before the last CR LF
}

void BM_FeedSetFlags(benchmark::State& state) {
  int distributions = int(state.range(0));
  int patterns = int(state.range(1));
  RelayBase base;
  Distributions list(&base);
  for (int site = 0; site < distributions; site++) {
    list.BuildDistrib(uint32_t(site), DistributionText(site, patterns).c_str());
  }
  std::string article = SampleArticle();
  FeedArticle view;
  view.text = article.data();
  view.length = article.size();
  view.pathValue = article.data() + 6;
  view.articleId = "abc123@example.org";
  uint32_t flags[4];
  int flagged = 0;
  for (auto _ : state) {
    FeedSetFlags(&list, view, flags);
    benchmark::DoNotOptimize(flags);
  }
  for (uint32_t word : flags) flagged += __builtin_popcount(word);
  state.counters["sites_flagged"] = flagged;
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_FeedSetFlags)->Args({16, 8})->Args({128, 10});

}  // namespace
