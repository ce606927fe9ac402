// The spool on real files in a fresh folder, with a clock the test sets so
// that file numbers, offsets, ages and log lines are exact.
#pragma once
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstring>
#include <ctime>
#include <deque>
#include <memory>
#include <filesystem>
#include <sstream>
#include <string>

#include "article/article_id.h"
#include "base/relay_base.h"
#include "dedupe/seen.h"
#include "history/history.h"
#include "spool/article_spool.h"
#include "spool/spool_dir.h"
#include "support/temp_dir.h"
#include "support/test_articles.h"

class SpoolTest : public ::testing::Test {
 protected:
  static constexpr const char* kStamp = "relay.test!";
  static inline uint32_t now = 0;  // what the spool's clock reads

  void Start(const std::string& first = "") {
    now = uint32_t(time(nullptr)) + 86400;  // ahead of the real clock: no number is met by accident
    articleSpool_.SetSpoolClock([] { return now; });
    const std::string d = dir_.path();
    spool_ = dir_.MakeDir("spool");
    ASSERT_TRUE(base_.config.LoadConfigFile(
        dir_.Write("relay.conf", first + "LogDirectory = " + d + "\nHistoryTablePath = " + d + "\nHistoryDataPath = " +
                                     d + "\nHistoryDataSize = 200000\nHistoryTableSize = 64\nSiteRecordPath = " +
                                     dir_.MakeDir("sites") + "\nArticleBasePath = " + spool_ +
                                     "\nHostPathIdentifier = relay.test\nMaxArticleFileSize = 1000000\n")
            .c_str()));
    base_.log.console_init(base_.config);
    ASSERT_EQ(seen_.SeenOpen(d.c_str(), d.c_str(), 1000, 997), SeenOpenResult::kOk);
    distributions_ = std::make_unique<Distributions>(&base_);
    ASSERT_EQ(ArticleInit(), 1);
  }
  void TearDown() override { base_.log.LogLine(nullptr); }

  // The spool's own calls, on the fixture's spool.
  int ArticleInit() { return articleSpool_.ArticleInit(&history_, &seen_, distributions_.get()); }
  SpoolFigures GetSpoolFigures() const { return articleSpool_.GetSpoolFigures(); }
  int InnoculateHistory(const uint32_t key[2], const PeerCounters& peer) { return articleSpool_.InnoculateHistory(key, peer); }
  void CloseFiles() { articleSpool_.CloseFiles(); }
  int TransmitArticle(const _histentry* entry, SpoolFileCache* cache, int sock, const char* head, const char* tail,
                      int* error) {
    return articleSpool_.TransmitArticle(entry, cache, sock, head, tail, error);
  }
  void CloseCachedSpoolFile(SpoolFileCache* cache) { articleSpool_.CloseCachedSpoolFile(cache); }
  void PinSpoolFile(uint32_t number) { articleSpool_.openFiles().PinSpoolFile(number); }
  void UnpinSpoolFile(uint32_t number) { articleSpool_.openFiles().UnpinSpoolFile(number); }
  // An expiry pass over the spool folder, as configured now.
  std::vector<std::string> DirExpirePass() { return SpoolDirectory(&articleSpool_, base_.config).DirExpirePass(); }
  std::vector<std::string> DirUpdate() { return SpoolDirectory(&articleSpool_, base_.config).DirUpdate(); }

  // An article as received, up to the CR LF before its "." line.
  static std::string Article(const std::string& id, const std::string& date, const std::string& body = "Body.") {
    return "Path: x!y\r\nDate: " + date + "\r\nNewsgroups: test.group\r\nMessage-ID: <" + id + ">\r\n\r\n" + body;
  }
  // An article of the present, stored in exactly `stored` bytes.
  static std::string Sized(size_t stored) {
    std::string head = "Path: x\r\nDate: " + DateText(now) + "\r\nNewsgroups: g\r\n\r\n";
    return head + std::string(stored - head.size() - strlen(kStamp), 'b');
  }
  // `article` as stored: the stamp after its first "Path: ".
  static std::string Stamped(const std::string& article) {
    size_t at = article.compare(0, 6, "Path: ") == 0 ? 6 : article.find("\nPath: ") + 7;
    return article.substr(0, at) + kStamp + article.substr(at);
  }
  static std::string DateText(uint32_t t) { return DateHeaderValue(time_t(t)); }

  // Stores `article` as the reception hands it over, from a peer whose
  // counters are ours.
  int Store(const std::string& id, const std::string& article, bool terminated = true) {  // 1: stored
    return Offer(id, article, terminated) == StoreResult::kStored ? 1 : 0;
  }
  StoreResult Offer(const std::string& id, const std::string& article, bool terminated = true) {
    return articleSpool_.AddArticleToFile(Request(id, article, terminated));
  }
  // The request the reception makes for `article`, from a peer whose
  // counters are ours.
  StoreRequest Request(const std::string& id, const std::string& article, bool terminated = true) {
    const std::string& text = texts_.emplace_back(terminated ? article + "\r\n.\r\n" : article);
    StoreRequest r;
    r.text = text.data();
    r.length = uint32_t(article.size());
    r.received = uint32_t(text.size());
    r.articleId = texts_.emplace_back(id).c_str();
    Key(id, r.idKey);
    r.idHash = hash(id.data(), int32_t(id.size()));
    r.peerName = "peer.test";
    r.peer = PeerCounters{&refused_, &rejected_};
    return r;
  }
  static void Key(const std::string& id, uint32_t key[2]) {  // its seen key
    ArticleIdentity identity{};
    std::string line = "<" + id + ">";
    GetArticleID(&identity, line.data(), line.size());
    key[0] = identity.idKey[0], key[1] = identity.idKey[1];
  }
  bool Seen(const std::string& id) const {
    uint32_t key[2];
    return Key(id, key), seen_.CheckSeen(key[0], key[1]) != 0;
  }
  HistEntryHeader Entry(const std::string& id) {  // a copy; all zero when there is none
    HistEntryHeader header{};
    if (_histentry* e = history_.FindArticle(id.c_str())) header = e->header, History::DestroyEntry(e);
    return header;
  }
  // Where the entry of `id` points: spool file number, offset, length.
  std::array<uint32_t, 3> Place(const std::string& id) {
    HistEntryHeader e = Entry(id);
    return {e.spoolFile, e.spoolOffset, e.length};
  }

  std::string SpoolPath(uint32_t number) const { return spool_ + "/" + std::to_string(number) + ".art"; }
  std::string Log() const { return ReadFile(dir_.File("veltrane.log")); }
  std::string NewLog() {  // lines logged since the last call, without their time stamps
    std::string text = Log(), lines;
    std::istringstream in(text.substr(std::min(logRead_, text.size())));
    logRead_ = text.size();
    for (std::string l; std::getline(in, l);) {
      lines += (l.size() > 26 && l.compare(24, 2, ": ") == 0 ? l.substr(26) : l) + "\n";
    }
    return lines;
  }
  static int DescriptorsOn(const std::string& path) {  // of this process
    int count = 0;
    std::error_code ignored;
    for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
      count += std::filesystem::read_symlink(fd.path(), ignored) == path;
    }
    return count;
  }

  TempDir dir_;
  RelayBase base_;
  SeenDb seen_{&base_};
  std::unique_ptr<Distributions> distributions_;
  History history_{&base_};
  ArticleSpool articleSpool_{&base_};
  std::string spool_;
  std::atomic<uint32_t> refused_{0}, rejected_{0};
  std::deque<std::string> texts_;
  size_t logRead_ = 0;
};
