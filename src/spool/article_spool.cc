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
#include "base/config.h"
#include "base/log.h"
#include "base/message_log.h"
#include "dedupe/seen.h"
#include "distrib/distrib.h"
#include "distrib/feed_flags.h"
#include "parsedate/parsedate.h"
#include "platform/process.h"
#include "spool/open_spool_files.h"
#include "spool/spool_dir.h"

namespace {

// Guards the whole store step and the spool state below. Taken for good by
// CloseFiles, which locks insertions out until the process ends.
std::mutex csArtFile;

SeenDb* seenDb = nullptr;  // the relay's, from ArticleInit on
Distributions* distributions = nullptr;  // likewise
int fh = -1;            // the current spool file
uint32_t fhTime = 0;    // its number
uint32_t fhCreated = 0; // the clock when it was created, for its age
uint64_t fhCount = 0;   // bytes in it: the offset of the next article
// The number of the newest spool file ever created here, seeded at start-up
// from the names in the folder. Numbers only ever grow, so a number is
// never taken twice, not even after expiry has deleted its file: a history
// entry can never lead to another article's bytes.
uint32_t lastFileNumber = 0;
std::string basepath;
std::string my_path_name;  // HostPathIdentifier + "!"
uint32_t max_file_size = 0;
uint32_t MaxArticleAge = 7;

constexpr uint32_t kSecondsPerDay = 86400;
constexpr uint32_t kTenYears = 315360000;
constexpr size_t kMaxDateLength = 79;
constexpr uint32_t kRotateAfterSeconds = 3600;

uint32_t SystemClock() { return uint32_t(time(nullptr)); }
uint32_t (*spoolClock)() = SystemClock;

void CloseSpoolFile() {
  if (fh < 0) return;
  close(fh);
  UnpinSpoolFile(fhTime);
  fh = -1;
}

// A new spool file numbered after the current second, or one past the last
// number when that is not behind the clock (several files in one second,
// or numbers run ahead of it). The file is created exclusively, so a file
// put there behind the relay's back is never truncated; its number is
// spent, and the next article tries the next one.
std::atomic<uint64_t> bytesWritten{0};
std::atomic<uint32_t> filesOnDisk{0};

bool CreateSpoolFile() {
  uint32_t now = spoolClock();
  uint32_t number = std::max(now, lastFileNumber + 1);
  lastFileNumber = number;
  PinSpoolFile(number);
  int fd = open(SpoolFilePath(number).c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) {
    if (errno == EEXIST) LogLinef("article: spool file %u.art already exists, left alone", number);
    UnpinSpoolFile(number);
    return false;
  }
  filesOnDisk.fetch_add(1, std::memory_order_relaxed);
  fh = fd;
  fhTime = number;
  fhCreated = now;
  fhCount = 0;
  return true;
}

// Closes the current file when it is too big or (holding anything) too old,
// or when the article would carry its offsets past 32 bits.
void RotateIfDue(uint32_t articleBytes) {
  if (fh < 0) return;
  uint32_t now = spoolClock();
  bool tooBig = fhCount > max_file_size;
  bool tooOld = fhCount > 100 && now > fhCreated && now - fhCreated > kRotateAfterSeconds;
  bool offsetOverflow = fhCount + articleBytes > UINT32_MAX;
  if (tooBig || tooOld || offsetOverflow) CloseSpoolFile();
}

// Writes the stored form at fhCount, the path stamp after the text up to
// `pathValue`. On failure the file is cut back so no partial article stays
// in it.
bool WriteStoredForm(const StoreRequest& article, const char* pathValue) {
  char* text = const_cast<char*>(article.text);
  size_t head = size_t(pathValue - article.text);
  iovec parts[3] = {
      {text, head},
      {const_cast<char*>(my_path_name.data()), my_path_name.size()},
      {text + head, article.length - head},
  };
  size_t total = parts[0].iov_len + parts[1].iov_len + parts[2].iov_len;
  size_t done = 0;
  iovec* iov = parts;
  int count = 3;
  while (done < total) {
    ssize_t n = pwritev(fh, iov, count, off_t(fhCount + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (ftruncate(fh, off_t(fhCount)) != 0) fhCount = uint64_t(lseek(fh, 0, SEEK_END));
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
  fhCount += total;
  bytesWritten.fetch_add(total, std::memory_order_relaxed);
  return true;
}

// The Date: rule. False (and logged where the rule says so) refuses.
bool DateAcceptable(const StoreRequest& article) {
  const char* value = FindHeaderValue(article.text, article.length, "Date: ");
  if (value == nullptr) {
    LogLinef("%s:AddArticleToFile(): no date line found", article.peerName);
    return false;
  }
  // The value ends at the next CR. The search may run on into the received
  // bytes after the article, whose CR LF "." CR LF ends a Date: line that
  // is the article's last line.
  const char* limit = article.text + std::max(article.length, article.received);
  const char* end = static_cast<const char*>(memchr(value, '\r', size_t(limit - value)));
  if (end == nullptr) {
    LogLinef("%s:AddArticleToFile(): no termination for date line", article.peerName);
    return false;
  }
  size_t length = size_t(end - value);
  if (length > kMaxDateLength) return false;
  int32_t date = parsedate(value, length, nullptr);
  if (date <= 5) {
    LogLinef("%s: Date: could not parse: %.*s (accepted anyway)", article.peerName, int(length), value);
    return true;
  }
  uint32_t age = spoolClock() - uint32_t(date);
  if (age > MaxArticleAge * kSecondsPerDay && age < kTenYears) {
    LogLinef("%s: AddArticleToFile(): article too old (%u days old)", article.peerName, age / kSecondsPerDay);
    return false;
  }
  return true;
}

// An article already seen when it is filed counts as refused, not rejected:
// the rejection reply that follows adds the rejection back.
void CountAsRefused(const PeerCounters& peer) {
  if (peer.refused != nullptr) ++*peer.refused;
  if (peer.rejected != nullptr) --*peer.rejected;
}

StoreResult StoreLocked(const StoreRequest& article) {
  if (seenDb->CheckSeen(article.idKey[0], article.idKey[1])) {
    CountAsRefused(article.peer);
    return StoreResult::kRefused;
  }
  if (!DateAcceptable(article)) return StoreResult::kRefused;
  const char* pathValue = FindPathValue(article.text, article.length);
  if (pathValue == nullptr) {
    LogLinef("%s: AddArticleToFile(): no path line found", article.peerName);
    return StoreResult::kRefused;
  }
  RotateIfDue(article.length + uint32_t(my_path_name.size()));
  if ((fh < 0 && !CreateSpoolFile()) || !WriteStoredForm(article, pathValue)) {
    LogLine("article: Write failed, out of disk space?");
    return StoreResult::kWriteFailed;
  }
  uint32_t start = uint32_t(fhCount - article.length - my_path_name.size());
  uint32_t feedFlags[4];
  FeedSetFlags(distributions, FeedArticle{article.text, article.length, pathValue, article.articleId}, feedFlags);
  seenDb->AddSeen(article.idKey[0], article.idKey[1]);
  int added = AddArticleToHistory(article.articleId, feedFlags, start, uint32_t(fhCount) - start, fhTime);
  return added ? StoreResult::kStored : StoreResult::kRefused;
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

int ArticleInit(SeenDb* seen, Distributions* feeds) {
  seenDb = seen;
  distributions = feeds;
  const char* base = GetConfigString("ArticleBasePath");
  if (base == nullptr) StartupFailure("no article base specified, exiting\n");
  const char* host = GetConfigString("HostPathIdentifier");
  if (host == nullptr) StartupFailure("no HostPathIdentifier specified, exiting\n");
  CheckSpoolFolder(base);
  CloseSpoolFile();  // a new start always begins a new spool file
  basepath = base;
  lastFileNumber = HighestSpoolFileNumber(base);
  my_path_name = std::string(host) + "!";
  max_file_size = 0;
  MaxArticleAge = 7;
  GetConfigInt("MaxArticleFileSize", &max_file_size);
  GetConfigInt("MaxArticleAge", &MaxArticleAge);
  histinit();
  return 1;
}

StoreResult AddArticleToFile(const StoreRequest& article) {
  std::lock_guard<std::mutex> lock(csArtFile);
  try {
    return StoreLocked(article);
  } catch (...) {
    LogLine("Exception occurred in AddArticleToFile()");
    if (fh >= 0) fhCount = uint64_t(lseek(fh, 0, SEEK_END));
    return StoreResult::kRefused;
  }
}

int InnoculateHistory(const uint32_t idKey[2], const PeerCounters& peer) {
  std::lock_guard<std::mutex> lock(csArtFile);
  if (seenDb->CheckSeen(idKey[0], idKey[1])) {
    // No reply follows an innoculate line: only the refusal is counted.
    if (peer.refused != nullptr) ++*peer.refused;
    return 0;
  }
  seenDb->AddSeen(idKey[0], idKey[1]);
  return 1;
}

std::string SpoolFilePath(uint32_t number) { return basepath + "/" + std::to_string(number) + ".art"; }

void SetSpoolClock(uint32_t (*clock)()) { spoolClock = clock != nullptr ? clock : SystemClock; }

void CloseFiles() {
  printf("shutting down...\n");
  printf("locking out article insertions...\n");
  fflush(stdout);
  csArtFile.lock();  // never released
  printf("article insertions locked out\n");
  // What was stored goes to disk in the order it was written: the spool
  // text, then the seen keys, then the history entries that lead to it.
  if (fh >= 0 && fdatasync(fh) != 0) {
    LogLinef("article: could not write spool file %u.art to disk: %s", fhTime, strerror(errno));
  }
  if (seenDb != nullptr && !seenDb->SeenFlush()) LogLinef("seen: could not write the seen database to disk: %s", strerror(errno));
  printf("shutting down history...\n");
  fflush(stdout);
  if (histclose()) {
    printf("...history shut down\n");
  } else {
    LogLinef("db: could not write the history to disk: %s", strerror(errno));
    printf("...history shut down, but it could not be written to disk\n");
  }
  fflush(stdout);
  LogLine(nullptr);
  CloseSpoolFile();
}

SpoolFigures GetSpoolFigures() {
  return SpoolFigures{bytesWritten.load(std::memory_order_relaxed), filesOnDisk.load(std::memory_order_relaxed)};
}

void SetSpoolFilesOnDisk(uint32_t files) { filesOnDisk.store(files, std::memory_order_relaxed); }
