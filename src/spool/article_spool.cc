#include "spool/article_spool.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include "article/article_headers.h"
#include "base/message_log.h"
#include "dedupe/seen.h"
#include "distrib/distrib.h"
#include "distrib/feed_flags.h"
#include "parsedate/parsedate.h"
#include "platform/io.h"
#include "platform/process.h"
#include "spool/open_spool_files.h"
#include "spool/spool_dir.h"

namespace {

constexpr uint32_t kSecondsPerDay = 86400;
constexpr uint32_t kTenYears = 315360000;
constexpr size_t kMaxDateLength = 79;
constexpr uint32_t kRotateAfterSeconds = 3600;

uint32_t SystemClock() { return uint32_t(time(nullptr)); }

// An article already seen when it is filed counts as refused, not rejected:
// the rejection reply that follows adds the rejection back.
void CountAsRefused(const PeerCounters& peer) {
  if (peer.refused != nullptr) ++*peer.refused;
  if (peer.rejected != nullptr) --*peer.rejected;
}

// A spool folder that is missing or cannot be written would fail every
// article; better to say so at once than at the first store.
void CheckSpoolFolder(const char* base) {
  struct stat st;
  int error = stat(base, &st) != 0 ? errno : !S_ISDIR(st.st_mode) ? ENOTDIR : 0;
  if (error == 0 && access(base, W_OK | X_OK) != 0) error = errno;
  if (error == 0) return;
  StartupFailure(std::string("article base ") + base + " is not a writable folder (" + strerror(error) +
                 "), exiting\n");
}

}  // namespace

ArticleSpool::ArticleSpool(RelayBase* base) : base_(base), spoolClock_(SystemClock) {}

ArticleSpool::~ArticleSpool() { CloseSpoolFile(); }

void ArticleSpool::CloseSpoolFile() {
  if (fh_ < 0) return;
  close(fh_);
  openFiles_.UnpinSpoolFile(fhTime_);
  fh_ = -1;
}

// A new spool file numbered after the current second, or one past the last
// number when that is not behind the clock (several files in one second,
// or numbers run ahead of it). The file is created exclusively, so a file
// put there behind the relay's back is never truncated; its number is
// spent, and the next article tries the next one.
bool ArticleSpool::CreateSpoolFile() {
  uint32_t now = spoolClock_();
  uint32_t number = std::max(now, lastFileNumber_ + 1);
  lastFileNumber_ = number;
  openFiles_.PinSpoolFile(number);
  int fd = open(SpoolFilePath(number).c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) {
    if (errno == EEXIST) base_->log.LogLinef("article: spool file %u.art already exists, left alone", number);
    openFiles_.UnpinSpoolFile(number);
    return false;
  }
  filesOnDisk_.fetch_add(1, std::memory_order_relaxed);
  fh_ = fd;
  fhTime_ = number;
  fhCreated_ = now;
  fhCount_ = 0;
  return true;
}

// Whether an article of `size` bytes that follows `pending` bytes not yet
// written starts a new file: the current one (as it will be) is too big, or
// holds anything and is too old, or the article would carry its offsets
// past 32 bits. Without a file and with nothing pending a new one comes
// anyway.
bool ArticleSpool::RotationDue(uint64_t pending, uint32_t size) const {
  if (fh_ < 0 && pending == 0) return false;
  const uint64_t count = (fh_ >= 0 ? fhCount_ : 0) + pending;
  const uint32_t now = spoolClock_();
  const bool tooOld = fh_ >= 0 && count > 100 && now > fhCreated_ && now - fhCreated_ > kRotateAfterSeconds;
  return count > max_file_size_ || tooOld || count + size > UINT32_MAX;
}

// Writes the stored forms of the chunk back to back at fhCount_, each with
// the path stamp after its text up to its Path: value, in one pwritev (more
// when the system writes less). On failure the file is cut back so no
// partial article stays in it.
bool ArticleSpool::WriteChunk(const Vetted* chunk, uint32_t count) {
  iovec parts[3 * kMaxStoreBatch];
  size_t total = 0;
  for (uint32_t i = 0; i < count; i++) {
    const StoreRequest& article = *chunk[i].article;
    char* text = const_cast<char*>(article.text);
    const size_t head = size_t(chunk[i].pathValue - article.text);
    parts[3 * i] = {text, head};
    parts[3 * i + 1] = {const_cast<char*>(my_path_name_.data()), my_path_name_.size()};
    parts[3 * i + 2] = {text + head, article.length - head};
    total += article.length + my_path_name_.size();
  }
  size_t done = 0;
  iovec* iov = parts;
  int left = int(3 * count);
  while (done < total) {
    ssize_t n = pwritev(fh_, iov, left, off_t(fhCount_ + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (ftruncate(fh_, off_t(fhCount_)) != 0) fhCount_ = uint64_t(lseek(fh_, 0, SEEK_END));
      return false;
    }
    done += size_t(n);
    SkipWritten(&iov, &left, size_t(n));
  }
  fhCount_ += total;
  bytesWritten_.fetch_add(total, std::memory_order_relaxed);
  return true;
}

// The Date: rule. False (and logged where the rule says so) refuses.
bool ArticleSpool::DateAcceptable(const StoreRequest& article) {
  const char* value = FindHeaderValue(article.text, article.length, "Date: ");
  if (value == nullptr) {
    base_->log.LogLinef("%s:AddArticleToFile(): no date line found", article.peerName);
    return false;
  }
  // The value ends at the next CR. The search may run on into the received
  // bytes after the article, whose CR LF "." CR LF ends a Date: line that
  // is the article's last line.
  const char* limit = article.text + std::max(article.length, article.received);
  const char* end = static_cast<const char*>(memchr(value, '\r', size_t(limit - value)));
  if (end == nullptr) {
    base_->log.LogLinef("%s:AddArticleToFile(): no termination for date line", article.peerName);
    return false;
  }
  size_t length = size_t(end - value);
  if (length > kMaxDateLength) return false;
  int32_t date = parsedate(value, length, nullptr);
  if (date <= 5) {
    base_->log.LogLinef("%s: Date: could not parse: %.*s (accepted anyway)", article.peerName, int(length), value);
    return true;
  }
  uint32_t age = spoolClock_() - uint32_t(date);
  if (age > MaxArticleAge_ * kSecondsPerDay && age < kTenYears) {
    base_->log.LogLinef("%s: AddArticleToFile(): article too old (%u days old)", article.peerName, age / kSecondsPerDay);
    return false;
  }
  return true;
}

// The checks before an article is written: not seen (neither in the
// seen database nor earlier in the chunk, whose keys are added once it is
// written), its Date:, a Path: line. False refuses it.
bool ArticleSpool::Vet(const StoreRequest& article, const Vetted* chunk, uint32_t count, const char** pathValue) {
  bool seen = seenDb_->CheckSeen(article.idKey[0], article.idKey[1]) != 0;
  for (uint32_t i = 0; i < count && !seen; i++) {
    seen = chunk[i].article->idKey[0] == article.idKey[0] && chunk[i].article->idKey[1] == article.idKey[1];
  }
  if (seen) {
    CountAsRefused(article.peer);
    return false;
  }
  if (!DateAcceptable(article)) return false;
  *pathValue = FindPathValue(article.text, article.length);
  if (*pathValue == nullptr) {
    base_->log.LogLinef("%s: AddArticleToFile(): no path line found", article.peerName);
    return false;
  }
  return true;
}

// After the chunk is written: the feed flags, the seen key and the history
// entry of each of its articles, in order.
void ArticleSpool::Enter(const Vetted* chunk, uint32_t count, StoreResult* results) {
  uint64_t start = fhCount_;
  for (uint32_t i = 0; i < count; i++) start -= chunk[i].article->length + my_path_name_.size();
  History::BatchedWakeUps wakeUps(history_);
  for (uint32_t i = 0; i < count; i++) {
    const StoreRequest& article = *chunk[i].article;
    const uint32_t size = article.length + uint32_t(my_path_name_.size());
    uint32_t feedFlags[4];
    FeedSetFlags(distributions_, FeedArticle{article.text, article.length, chunk[i].pathValue, article.articleId},
                 feedFlags);
    seenDb_->AddSeen(article.idKey[0], article.idKey[1]);
    int added =
        history_->AddArticleToHistory(article.articleId, article.idHash, feedFlags, uint32_t(start), size, fhTime_);
    results[chunk[i].index] = added ? StoreResult::kStored : StoreResult::kRefused;
    start += size;
  }
}

// The seen and history slots of a batch are scattered over tables of
// megabytes: fetched together, their cache misses overlap, where the store
// step would wait for each in turn.
void ArticleSpool::PrefetchIndexes(const StoreRequest* articles, uint32_t count) const {
  for (uint32_t i = 0; i < count; i++) {
    seenDb_->PrefetchSlot(articles[i].idKey[0], articles[i].idKey[1]);
    history_->PrefetchSlot(articles[i].idHash);
  }
  for (uint32_t i = 0; i < count; i++) seenDb_->PrefetchRecord(articles[i].idKey[0], articles[i].idKey[1]);
}

// Stores the articles in chunks: each chunk gathers the articles that pass
// their checks and fit the current file, is written in one go, then
// entered. The outcome is what storing them one by one would give, byte for
// byte, with one lock, one write and one rotation check for many articles.
void ArticleSpool::StoreLocked(const StoreRequest* articles, uint32_t count, StoreResult* results) {
  PrefetchIndexes(articles, count);
  for (uint32_t next = 0; next < count;) {
    Vetted chunk[kMaxStoreBatch];
    uint32_t n = 0;
    uint64_t pending = 0;
    for (; next < count && n < kMaxStoreBatch; next++) {
      const StoreRequest& article = articles[next];
      const char* pathValue = nullptr;
      if (!Vet(article, chunk, n, &pathValue)) {
        results[next] = StoreResult::kRefused;
        continue;
      }
      const uint32_t size = article.length + uint32_t(my_path_name_.size());
      if (RotationDue(pending, size)) {
        if (n > 0) break;  // written first; the article starts the next chunk
        CloseSpoolFile();
      }
      chunk[n++] = Vetted{&article, pathValue, next};
      pending += size;
    }
    if (n == 0) continue;
    if ((fh_ < 0 && !CreateSpoolFile()) || !WriteChunk(chunk, n)) {
      base_->log.LogLine("article: Write failed, out of disk space?");
      for (uint32_t i = 0; i < n; i++) results[chunk[i].index] = StoreResult::kWriteFailed;
      for (; next < count; next++) results[next] = StoreResult::kWriteFailed;
      return;
    }
    Enter(chunk, n, results);
  }
}

int ArticleSpool::ArticleInit(History* history, SeenDb* seen, Distributions* feeds) {
  const Config& config = base_->config;
  closed_ = false;
  history_ = history;
  seenDb_ = seen;
  distributions_ = feeds;
  const char* base = config.GetConfigString("ArticleBasePath");
  if (base == nullptr) StartupFailure("no article base specified, exiting\n");
  const char* host = config.GetConfigString("HostPathIdentifier");
  if (host == nullptr) StartupFailure("no HostPathIdentifier specified, exiting\n");
  CheckSpoolFolder(base);
  CloseSpoolFile();  // a new start always begins a new spool file
  basepath_ = base;
  lastFileNumber_ = HighestSpoolFileNumber(base);
  my_path_name_ = std::string(host) + "!";
  max_file_size_ = 0;
  MaxArticleAge_ = 7;
  config.GetConfigInt("MaxArticleFileSize", &max_file_size_);
  config.GetConfigInt("MaxArticleAge", &MaxArticleAge_);
  history_->histinit();
  return 1;
}

StoreResult ArticleSpool::AddArticleToFile(const StoreRequest& article) {
  StoreResult result;
  AddArticlesToFile(&article, 1, &result);
  return result;
}

void ArticleSpool::AddArticlesToFile(const StoreRequest* articles, uint32_t count, StoreResult* results) {
  std::lock_guard<std::mutex> lock(csArtFile_);
  std::fill(results, results + count, closed_ ? StoreResult::kClosed : StoreResult::kRefused);
  if (closed_) return;
  try {
    StoreLocked(articles, count, results);
  } catch (...) {
    base_->log.LogLine("Exception occurred in AddArticleToFile()");
    if (fh_ >= 0) fhCount_ = uint64_t(lseek(fh_, 0, SEEK_END));
  }
}

int ArticleSpool::InnoculateHistory(const uint32_t idKey[2], const PeerCounters& peer) {
  std::lock_guard<std::mutex> lock(csArtFile_);
  if (closed_) return 0;
  if (seenDb_->CheckSeen(idKey[0], idKey[1])) {
    // No reply follows an innoculate line: only the refusal is counted.
    if (peer.refused != nullptr) ++*peer.refused;
    return 0;
  }
  seenDb_->AddSeen(idKey[0], idKey[1]);
  return 1;
}

std::string ArticleSpool::SpoolFilePath(uint32_t number) const {
  return basepath_ + "/" + std::to_string(number) + ".art";
}

void ArticleSpool::SetSpoolClock(uint32_t (*clock)()) { spoolClock_ = clock != nullptr ? clock : SystemClock; }

void ArticleSpool::CloseFiles() {
  printf("shutting down...\n");
  printf("locking out article insertions...\n");
  fflush(stdout);
  std::lock_guard<std::mutex> lock(csArtFile_);
  closed_ = true;
  printf("article insertions locked out\n");
  // What was stored goes to disk in the order it was written: the spool
  // text, then the seen keys, then the history entries that lead to it.
  if (fh_ >= 0 && fdatasync(fh_) != 0) {
    base_->log.LogLinef("article: could not write spool file %u.art to disk: %s", fhTime_, strerror(errno));
  }
  if (seenDb_ != nullptr && !seenDb_->SeenFlush()) {
    base_->log.LogLinef("seen: could not write the seen database to disk: %s", strerror(errno));
  }
  printf("shutting down history...\n");
  fflush(stdout);
  if (history_ == nullptr || history_->histclose()) {
    printf("...history shut down\n");
  } else {
    base_->log.LogLinef("db: could not write the history to disk: %s", strerror(errno));
    printf("...history shut down, but it could not be written to disk\n");
  }
  fflush(stdout);
  base_->log.LogLine(nullptr);
  CloseSpoolFile();
}

SpoolFigures ArticleSpool::GetSpoolFigures() const {
  return SpoolFigures{bytesWritten_.load(std::memory_order_relaxed), filesOnDisk_.load(std::memory_order_relaxed)};
}

void ArticleSpool::SetSpoolFilesOnDisk(uint32_t files) { filesOnDisk_.store(files, std::memory_order_relaxed); }
