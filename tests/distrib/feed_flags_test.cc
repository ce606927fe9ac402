#include "distrib/feed_flags.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "base/config.h"
#include "base/log.h"
#include "distrib/distrib.h"
#include "support/temp_dir.h"

namespace {

using Flags = std::array<uint32_t, 4>;

bool Has(const Flags& f, uint32_t bit) { return (f[bit / 32] >> (bit % 32) & 1) != 0; }

std::string Article(const std::string& groups, const std::string& path = "up!stream",
                    const std::string& body = "Body line.") {
  return "Path: " + path + "\r\nFrom: someone@example.org\r\nNewsgroups: " + groups +
         "\r\nSubject: test\r\nMessage-ID: <1@example.org>\r\n\r\n" + body;
}

class FeedFlagsTest : public ::testing::Test {
 protected:
  void SetUp() override { Configure(""); }
  void TearDown() override { LogLine(nullptr); }

  void Configure(const std::string& extra) {
    ASSERT_TRUE(LoadConfigFile(
        dir_.Write("relay.conf", "LogDirectory = " + dir_.path() + "\n" + extra).c_str()));
    console_init();
    init_feed();
  }
  std::string Log() { return ReadFile(dir_.File("veltrane.log")); }

  // Flags `text` held in a buffer of exactly its size, so that any read past
  // the length is caught by the address sanitizer.
  Flags Flag(const std::string& text, const char* id = "1@example.org", int* result = nullptr) {
    std::unique_ptr<char[]> exact(new char[text.size() ? text.size() : 1]);
    memcpy(exact.get(), text.data(), text.size());
    FeedArticle article;
    article.text = exact.get();
    article.length = text.size();
    article.articleId = id;
    Flags flags{1, 1, 1, 1};
    int r = FeedSetFlags(article, flags.data());
    if (result != nullptr) *result = r;
    return flags;
  }

  TempDir dir_;
};

TEST_F(FeedFlagsTest, FirstDecidingGroupAndPatternWin) {
  _distrib* comp = BuildDistrib(0, "comp.*");
  _distrib* notLang = BuildDistrib(1, "!comp.lang.*,comp.*");
  _distrib* noAlt = BuildDistrib(2, "~alt.*,comp.*");
  _distrib* spaced = BuildDistrib(3, "comp.* ,alt.*");
  _distrib* empty = BuildDistrib(4, "");
  _distrib* last = BuildDistrib(127, "alt.*");
  ASSERT_TRUE(comp && notLang && noAlt && spaced && empty && last);

  Flags f = Flag(Article("alt.test,comp.lang.c"));
  EXPECT_TRUE(Has(f, 0));
  EXPECT_FALSE(Has(f, 1));  // comp.lang.c ignored, alt.test matches nothing
  EXPECT_FALSE(Has(f, 2));  // alt.test decides first: excluded
  EXPECT_TRUE(Has(f, 3));   // "alt.*" is the second token
  EXPECT_FALSE(Has(f, 4));
  EXPECT_EQ(f[3], 1u << 31);

  f = Flag(Article("comp.lang.c"));
  EXPECT_EQ(f, (Flags{1 | 4, 0, 0, 0}));  // "comp.* " with its space matches no group

  f = Flag(Article("comp.lang.c,comp.os.linux"));
  EXPECT_TRUE(Has(f, 1));
  f = Flag(Article("alt.x,comp.y"));
  EXPECT_FALSE(Has(f, 2));
  f = Flag(Article("comp.y,alt.x"));
  EXPECT_TRUE(Has(f, 2));
  EXPECT_TRUE(Has(f, 127));

  // Groups separated by spaces count as groups too; the leading space of the
  // value is skipped, a missing one is no problem.
  f = Flag("Newsgroups:misc.a  comp.b\r\n\r\n");
  EXPECT_TRUE(Has(f, 0));

  EXPECT_EQ(comp->flaggedFor.load(), 6u);
  EXPECT_EQ(notLang->flaggedFor.load(), 4u);
  EXPECT_EQ(noAlt->flaggedFor.load(), 4u);
  EXPECT_EQ(empty->flaggedFor.load(), 0u);
  EXPECT_EQ(comp->inPath.load(), 0u);
}

TEST_F(FeedFlagsTest, PathPatternsKeepArticlesAwayAndCountInPath) {
  _distrib* plain = BuildDistrib(5, "@*!peerhost!*,comp.*");
  _distrib* negated = BuildDistrib(6, "!@*!peerhost!*,comp.*");
  _distrib* late = BuildDistrib(7, "comp.*,@*!peerhost!*");
  _distrib* tail = BuildDistrib(8, "@*!stream,*");  // the value ends before its CR LF
  ASSERT_TRUE(plain && negated && late && tail);

  Flags f = Flag(Article("comp.x,alt.y", "a!peerhost!b"));
  EXPECT_FALSE(Has(f, 5));
  EXPECT_FALSE(Has(f, 6));
  EXPECT_TRUE(Has(f, 7));  // comp.* decides before the path pattern is reached
  EXPECT_TRUE(Has(f, 8));
  f = Flag(Article("alt.y,comp.x", "a!peerhost!b"));
  EXPECT_FALSE(Has(f, 7));  // alt.y reaches the path pattern
  f = Flag(Article("comp.x", "a!peerhostx!b"));
  EXPECT_TRUE(Has(f, 5));
  f = Flag(Article("comp.x", "up!stream"));
  EXPECT_FALSE(Has(f, 8));

  // Decided on the first group, so each article counts once.
  EXPECT_EQ(plain->inPath.load(), 2u);
  EXPECT_EQ(negated->inPath.load(), 2u);
  EXPECT_EQ(late->inPath.load(), 1u);
  EXPECT_EQ(tail->inPath.load(), 1u);
  EXPECT_EQ(plain->flaggedFor.load(), 2u);

  // A caller-supplied Path: pointer is used as given.
  std::string text = Article("comp.x", "a!peerhost!b") + "\r\nX-Fake: q!peerhost!r";
  FeedArticle article;
  article.text = text.data();
  article.length = text.size();
  article.pathValue = text.data() + text.find("q!peerhost");
  Flags g{};
  EXPECT_EQ(FeedSetFlags(article, g.data()), 1);
  EXPECT_FALSE(Has(g, 5));
  article.pathValue = text.data() + text.find("up!stream");
  EXPECT_EQ(FeedSetFlags(article, g.data()), 1);
}

TEST_F(FeedFlagsTest, ExcludingPathPatternAlsoClearsTheBitOfOthers) {
  // Evaluated newest first: the setter runs before the path patterns.
  BuildDistrib(9, "@~*!peerhost!*,comp.*");
  BuildDistrib(10, "@*!peerhost!*,comp.*");
  BuildDistrib(9, "comp.*");
  BuildDistrib(10, "comp.*");
  Flags f = Flag(Article("comp.x", "a!peerhost!b"));
  EXPECT_FALSE(Has(f, 9));
  EXPECT_TRUE(Has(f, 10));
}

TEST_F(FeedFlagsTest, CancelBypassLetsOnlyUndecidedCancelsThrough) {
  _distrib* bypass = BuildDistrib(20, "comp.*,#");
  _distrib* refuses = BuildDistrib(21, "~control.*,#");
  _distrib* path = BuildDistrib(22, "@*!peerhost!*,comp.*,#");
  _distrib* ignores = BuildDistrib(23, "!control.*,#");
  _distrib* off = BuildDistrib(24, "comp.*");
  ASSERT_TRUE(bypass && refuses && path && ignores && off);

  Flags f = Flag(Article("control.cancel", "a!peerhost!b"), "cancel.123@example.org");
  EXPECT_TRUE(Has(f, 20));
  EXPECT_FALSE(Has(f, 21));
  EXPECT_FALSE(Has(f, 22));
  EXPECT_TRUE(Has(f, 23));
  EXPECT_FALSE(Has(f, 24));
  EXPECT_EQ(bypass->flaggedFor.load(), 1u);

  f = Flag(Article("control.cancel"), "123@example.org");
  EXPECT_EQ(f, (Flags{0, 0, 0, 0}));
  f = Flag(Article("control.cancel"), "Cancel.123@example.org");
  EXPECT_EQ(f, (Flags{0, 0, 0, 0}));

  // The control interface turns the flag on after the fact.
  off->cancelBypass.store(1);
  f = Flag(Article("control.cancel"), "cancel.9@x");
  EXPECT_TRUE(Has(f, 24));
}

TEST_F(FeedFlagsTest, CrosspostLimitDefaultsTo25) {
  EXPECT_EQ(MaxCrossposts, 25u);
  BuildDistrib(0, "g*");
  std::string groups = "g0";
  for (int i = 1; i <= 25; i++) groups += ",g" + std::to_string(i);
  int result = 0;
  EXPECT_TRUE(Has(Flag(Article(groups), "ok@x", &result), 0));
  EXPECT_EQ(result, 1);
  Flags f = Flag(Article(groups + ",g26"), "many@x", &result);
  EXPECT_EQ(f, (Flags{0, 0, 0, 0}));
  EXPECT_EQ(result, 0);
  EXPECT_NE(Log().find(": crosspost: many@x has 26 crossposts (limit 25)\n"), std::string::npos)
      << Log();
  EXPECT_EQ(Log().find("ok@x"), std::string::npos);

  Configure("MaxCrossPosts = 0\n");
  EXPECT_EQ(MaxCrossposts, 25u);
  Configure("MaxCrossPosts = 2\n");
  EXPECT_EQ(MaxCrossposts, 2u);
  BuildDistrib(0, "g*");
  EXPECT_TRUE(Has(Flag(Article("g1,g2,g3")), 0));
  EXPECT_FALSE(Has(Flag(Article("g1,g2,g3,g4"), "three@x"), 0));
  EXPECT_NE(Log().find("crosspost: three@x has 3 crossposts (limit 2)"), std::string::npos);
  // Spaces separate groups but are not counted.
  EXPECT_TRUE(Has(Flag(Article("g1 g2 g3 g4 g5")), 0));
}

TEST_F(FeedFlagsTest, NewsgroupsLineOf3000CharactersIsRefused) {
  BuildDistrib(0, "*");
  // From the 'N' of "Newsgroups:" to its CR: 11 + 1 + group length.
  std::string fits = "Newsgroups: " + std::string(2999 - 12, 'a') + "\r\n\r\nbody";
  EXPECT_TRUE(Has(Flag(fits), 0));
  std::string tooLong = "Newsgroups: " + std::string(3000 - 12, 'a') + "\r\n\r\nbody";
  EXPECT_FALSE(Has(Flag(tooLong, "long@x"), 0));
  EXPECT_NE(Log().find("crosspost: long@x has 0 crossposts (limit 25)"), std::string::npos);

  // The end of the text closes the last line, as the CR LF before the
  // terminating "." line would.
  EXPECT_TRUE(Has(Flag("Subject: x\r\n\r\nNewsgroups: misc.test"), 0));
  std::string atEnd = "Newsgroups: " + std::string(2999 - 12, 'a');
  EXPECT_TRUE(Has(Flag(atEnd), 0));
  atEnd += 'a';
  EXPECT_FALSE(Has(Flag(atEnd), 0));
}

TEST_F(FeedFlagsTest, ScansOnlyTheArticleBytes) {
  BuildDistrib(0, "comp.*");
  int result = 1;
  testing::internal::CaptureStdout();
  Flags f = Flag("Path: a!b\r\nnewsgroups: comp.x\r\n\r\nbody", "1@x", &result);
  fflush(stdout);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "no newsgroups line found\n");
  EXPECT_EQ(f, (Flags{0, 0, 0, 0}));
  EXPECT_EQ(result, 0);

  // The text is a view: a Newsgroups: line beyond its length is not seen.
  std::string buffer = "Path: a!b\r\n\r\nbody\r\n.\r\nNewsgroups: comp.x\r\n";
  FeedArticle article;
  article.text = buffer.data();
  article.length = buffer.find("\r\n.\r\n");
  article.articleId = "1@x";
  testing::internal::CaptureStdout();
  EXPECT_EQ(FeedSetFlags(article, f.data()), 0);
  fflush(stdout);
  testing::internal::GetCapturedStdout();

  // NUL bytes do not stop the search; one in the value ends the value.
  std::string withNul = std::string("Path: a\0b\r\n", 11) + "Newsgroups: alt.x,comp.y";
  EXPECT_TRUE(Has(Flag(withNul + "\r\n\r\n"), 0));
  EXPECT_FALSE(Has(Flag(withNul.substr(0, withNul.size() - 7) + std::string("\0,comp.y\r\n", 10)), 0));

  // Not anchored to a line start: a header that ends in "Newsgroups:" counts.
  EXPECT_TRUE(Has(Flag("X-Old-Newsgroups: comp.z\r\nNewsgroups: alt.q\r\n\r\n"), 0));
  // No Path: header at all: path patterns never match.
  BuildDistrib(1, "@*,misc.*");
  EXPECT_TRUE(Has(Flag("Newsgroups: misc.t\r\n\r\n"), 1));
  EXPECT_FALSE(Has(Flag("Path: x\r\nNewsgroups: misc.t\r\n\r\n"), 1));
}

}  // namespace

namespace {

// Sites change their distributions while articles are flagged: the list must
// stay whole and every article must see either the old or the new record.
TEST_F(FeedFlagsTest, DistributionsChangeWhileArticlesAreFlagged) {
  _distrib* steady = BuildDistrib(40, "comp.*");
  _distrib* first = BuildDistrib(41, "comp.*");
  std::atomic<bool> done{false};
  std::thread changer([&] {
    _distrib* current = first;
    for (int i = 0; i < 2000; i++) {
      _distrib* next = BuildDistrib(41, i % 2 ? "comp.*" : "comp.*,#");
      if (DeleteDistrib(current) != 1) ADD_FAILURE() << "record lost at round " << i;
      current = next;
    }
    done = true;
  });
  std::string text = Article("comp.lang.c");
  FeedArticle article;
  article.text = text.data();
  article.length = text.size();
  article.articleId = "1@x";
  uint32_t articles = 0, wrong = 0;
  while (!done || articles < 100) {
    Flags f{};
    if (FeedSetFlags(article, f.data()) != 1 || f != Flags{0, (1u << 8) | (1u << 9), 0, 0}) {
      wrong++;
    }
    articles++;
  }
  changer.join();
  EXPECT_EQ(wrong, 0u);
  EXPECT_EQ(steady->flaggedFor.load(), articles);
  std::lock_guard<std::mutex> lock(csDistributions);
  int linked = 0;
  for (const _distrib* d = distribhead; d != nullptr; d = d->next) linked++;
  EXPECT_EQ(linked, 2);
}

}  // namespace
