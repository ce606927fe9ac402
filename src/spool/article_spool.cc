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

// Closes the current file when it is too big or (holding anything) too old,
// or when the article would carry its offsets past 32 bits.
void ArticleSpool::RotateIfDue(uint32_t articleBytes) {
  if (fh_ < 0) return;
  uint32_t now = spoolClock_();
  bool tooBig = fhCount_ > max_file_size_;
  bool tooOld = fhCount_ > 100 && now > fhCreated_ && now - fhCreated_ > kRotateAfterSeconds;
  bool offsetOverflow = fhCount_ + articleBytes > UINT32_MAX;
  if (tooBig || tooOld || offsetOverflow) CloseSpoolFile();
}

// Writes the stored form at fhCount_, the path stamp after the text up to
// `pathValue`. On failure the file is cut back so no partial article stays
// in it.
bool ArticleSpool::WriteStoredForm(const StoreRequest& article, const char* pathValue) {
  char* text = const_cast<char*>(article.text);
  size_t head = size_t(pathValue - article.text);
  iovec parts[3] = {
      {text, head},
      {const_cast<char*>(my_path_name_.data()), my_path_name_.size()},
      {text + head, article.length - head},
  };
  size_t total = parts[0].iov_len + parts[1].iov_len + parts[2].iov_len;
  size_t done = 0;
  iovec* iov = parts;
  int count = 3;
  while (done < total) {
    ssize_t n = pwritev(fh_, iov, count, off_t(fhCount_ + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (ftruncate(fh_, off_t(fhCount_)) != 0) fhCount_ = uint64_t(lseek(fh_, 0, SEEK_END));
      return false;
    }
    done += size_t(n);
    while (count > 0 && size_t(n) >= iov->iov_len) {
      n -= ssize_t(iov->iov_len);
      iov++;
      count--;
    }
    if (count > 0) {
      iov->iov_base = static_cast<char*>(iov->iov_base) + n;
      iov->iov_len -= size_t(n);
    }
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

StoreResult ArticleSpool::StoreLocked(const StoreRequest& article) {
  if (seenDb_->CheckSeen(article.idKey[0], article.idKey[1])) {
    CountAsRefused(article.peer);
    return StoreResult::kRefused;
  }
  if (!DateAcceptable(article)) return StoreResult::kRefused;
  const char* pathValue = FindPathValue(article.text, article.length);
  if (pathValue == nullptr) {
    base_->log.LogLinef("%s: AddArticleToFile(): no path line found", article.peerName);
    return StoreResult::kRefused;
  }
  RotateIfDue(article.length + uint32_t(my_path_name_.size()));
  if ((fh_ < 0 && !CreateSpoolFile()) || !WriteStoredForm(article, pathValue)) {
    base_->log.LogLine("article: Write failed, out of disk space?");
    return StoreResult::kWriteFailed;
  }
  uint32_t start = uint32_t(fhCount_ - article.length - my_path_name_.size());
  uint32_t feedFlags[4];
  FeedSetFlags(distributions_, FeedArticle{article.text, article.length, pathValue, article.articleId}, feedFlags);
  seenDb_->AddSeen(article.idKey[0], article.idKey[1]);
  int added = history_->AddArticleToHistory(article.articleId, feedFlags, start, uint32_t(fhCount_) - start, fhTime_);
  return added ? StoreResult::kStored : StoreResult::kRefused;
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
  std::lock_guard<std::mutex> lock(csArtFile_);
  if (closed_) return StoreResult::kClosed;
  try {
    return StoreLocked(article);
  } catch (...) {
    base_->log.LogLine("Exception occurred in AddArticleToFile()");
    if (fh_ >= 0) fhCount_ = uint64_t(lseek(fh_, 0, SEEK_END));
    return StoreResult::kRefused;
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
