#include "spool/spool_fixture.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include "article/article_id.h"
#include "base/config.h"
#include "base/log.h"
#include "dedupe/seen.h"
#include "incoming/incoming_table.h"
#include "spool/article_spool.h"

uint32_t SpoolTest::now = 0;

namespace {

bool ResolveToLoopback(const char*, std::vector<uint32_t>* addresses) {
  addresses->assign(1, 0x0100007Fu);
  return true;
}

}  // namespace

void SpoolTest::Start(const std::string& first) {
  // A whole day past the real time, so that no file number a test expects
  // can be met by accident, and dates around it parse like any other.
  now = uint32_t(time(nullptr)) + 86400;
  SetSpoolClock(&SpoolTest::Clock);
  spool_ = dir_.MakeDir("spool");
  std::string text = first + "LogDirectory = " + dir_.path() + "\nHistoryTablePath = " + dir_.path() +
                     "\nHistoryDataPath = " + dir_.path() + "\nHistoryDataSize = 200000\nHistoryTableSize = 64" +
                     "\nSiteRecordPath = " + dir_.MakeDir("sites") + "\nArticleBasePath = " + spool_ +
                     "\nHostPathIdentifier = relay.test\nMaxArticleFileSize = 1000000\n";
  ASSERT_TRUE(LoadConfigFile(dir_.Write("relay.conf", text).c_str()));
  console_init();
  crcinit();
  ASSERT_EQ(SeenOpen(dir_.path().c_str(), dir_.path().c_str(), 1000, 997), SeenOpenResult::kOk);
  ASSERT_EQ(ArticleInit(), 1);
  started_ = true;
  SetHostResolver(ResolveToLoopback);
  ASSERT_EQ(AddIncoming(kPeer), 1);
  for (_incomingentry& e : _incoming) {
    if (e.in_use && strcmp(e.host, kPeer) == 0) peer_ = &e;
  }
  ASSERT_NE(peer_, nullptr);
}

void SpoolTest::TearDown() {
  texts_.clear();
  if (peer_ != nullptr) DelIncoming(kPeer);
  SetHostResolver(nullptr);
  if (started_) {
    histclose();
    SeenClose();
  }
  SetSpoolClock(nullptr);
  LogLine(nullptr);
}

std::string SpoolTest::Article(const std::string& id, const std::string& date, const std::string& body) {
  return "Path: x!y\r\nDate: " + date + "\r\nNewsgroups: test.group\r\nMessage-ID: <" + id + ">\r\n\r\n" + body;
}

std::string SpoolTest::ArticleOfSize(const std::string& date, size_t stored) {
  std::string head = "Path: x\r\nDate: " + date + "\r\nNewsgroups: test.group\r\n\r\n";
  size_t fixed = head.size() + strlen(kStamp);
  EXPECT_GT(stored, fixed);
  return head + std::string(stored - fixed, 'b');
}

std::string SpoolTest::Stamped(const std::string& article) {
  size_t at = article.compare(0, 6, "Path: ") == 0 ? 6 : article.find("\nPath: ") + 7;
  return article.substr(0, at) + kStamp + article.substr(at);
}

std::string SpoolTest::DateText(uint32_t t) {
  time_t tt = time_t(t);
  tm utc;
  gmtime_r(&tt, &utc);
  char text[64];
  strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S +0000", &utc);
  return text;
}

StoreRequest SpoolTest::Request(const std::string& id, const std::string& article, bool terminated) {
  const std::string& received = texts_.emplace_back(terminated ? article + "\r\n.\r\n" : article);
  const std::string& articleId = texts_.emplace_back(id);
  StoreRequest request;
  request.text = received.data();
  request.length = uint32_t(article.size());
  request.received = uint32_t(received.size());
  request.articleId = articleId.c_str();
  std::array<uint32_t, 2> key = Key(id);
  request.idKey[0] = key[0];
  request.idKey[1] = key[1];
  request.peerName = kPeer;
  request.peer = Peer();
  return request;
}

int SpoolTest::Store(const std::string& id, const std::string& article, bool terminated) {
  return AddArticleToFile(Request(id, article, terminated)) == StoreResult::kStored ? 1 : 0;
}

std::array<uint32_t, 2> SpoolTest::Key(const std::string& id) {
  ArticleIdentity identity{};
  std::string line = "<" + id + ">";
  GetArticleID(&identity, line.data(), line.size());
  return {identity.idKey[0], identity.idKey[1]};
}

HistEntryHeader SpoolTest::Entry(const std::string& id, bool* found) const {
  HistEntryHeader header{};
  _histentry* e = FindArticle(id.c_str());
  if (found != nullptr) *found = e != nullptr;
  if (e != nullptr) {
    header = e->header;
    DestroyEntry(e);
  }
  return header;
}

std::string SpoolTest::SpoolPath(uint32_t number) const { return spool_ + "/" + std::to_string(number) + ".art"; }

std::string SpoolTest::SpoolBytes(uint32_t number, uint32_t offset, uint32_t length) const {
  std::string text(length, '\0');
  int fd = open(SpoolPath(number).c_str(), O_RDONLY);
  if (fd < 0) return "";
  ssize_t n = pread(fd, text.data(), length, off_t(offset));
  close(fd);
  text.resize(n > 0 ? size_t(n) : 0);
  return text;
}

std::vector<std::string> SpoolTest::SpoolNames() const {
  std::vector<std::string> names;
  DIR* d = opendir(spool_.c_str());
  if (d == nullptr) return names;
  while (dirent* e = readdir(d)) {
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.emplace_back(e->d_name);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

std::string SpoolTest::Log() const { return ReadFile(dir_.File("veltrane.log")); }

bool SpoolTest::Seen(const std::string& id) const {
  std::array<uint32_t, 2> key = Key(id);
  return CheckSeen(key[0], key[1]) != 0;
}
