#include "spool/article_spool.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include "dedupe/seen.h"
#include "distrib/feed_flags.h"
#include "distrib/distrib.h"
#include "parsedate/parsedate.h"
#include "platform/process.h"
#include "base/config.h"
#include "base/log.h"
#include "article/article_headers.h"
#include "spool/open_spool_files.h"
#include "spool/spool_dir.h"

namespace {

// Guards the whole store step and the spool state below. Taken for good by
// CloseFiles, which locks insertions out until the process ends.
std::mutex csArtFile;

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
constexpr int kTransmitLimitMs = 300000;

uint32_t SystemClock() { return uint32_t(time(nullptr)); }
uint32_t (*spoolClock)() = SystemClock;

std::string SpoolFileName(uint32_t number) { return basepath + "/" + std::to_string(number) + ".art"; }

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
bool CreateSpoolFile() {
  uint32_t now = spoolClock();
  uint32_t number = std::max(now, lastFileNumber + 1);
  lastFileNumber = number;
  PinSpoolFile(number);
  int fd = open(SpoolFileName(number).c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) {
    if (errno == EEXIST) LogLinef("article: spool file %u.art already exists, left alone", number);
    UnpinSpoolFile(number);
    return false;
  }
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

// Writes the stored form at fhCount. On failure the file is cut back so no
// partial article stays in it.
bool WriteStoredForm(const _clientcontext* ctx) {
  size_t head = size_t(ctx->pathValue - ctx->buffer);
  iovec parts[3] = {
      {ctx->buffer, head},
      {const_cast<char*>(my_path_name.data()), my_path_name.size()},
      {ctx->pathValue, ctx->articleLength - head},
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
  return true;
}

// The Date: rule. False (and logged where the rule says so) refuses.
bool DateAcceptable(const _clientcontext* ctx) {
  const char* value = FindHeaderValue(ctx->buffer, ctx->articleLength, "Date: ");
  if (value == nullptr) {
    LogLinef("%s:AddArticleToFile(): no date line found", ctx->peerName);
    return false;
  }
  // The value ends at the next CR. The search may run on into the received
  // bytes after the article (up to bufLen), whose CR LF "." CR LF ends a
  // Date: line that is the article's last line.
  const char* limit = ctx->buffer + std::max(ctx->articleLength, ctx->bufLen);
  const char* end = static_cast<const char*>(memchr(value, '\r', size_t(limit - value)));
  if (end == nullptr) {
    LogLinef("%s:AddArticleToFile(): no termination for date line", ctx->peerName);
    return false;
  }
  size_t length = size_t(end - value);
  if (length > kMaxDateLength) return false;
  int32_t date = parsedate(value, length, nullptr);
  if (date <= 5) {
    LogLinef("%s: Date: could not parse: %.*s (accepted anyway)", ctx->peerName, int(length), value);
    return true;
  }
  uint32_t age = spoolClock() - uint32_t(date);
  if (age > MaxArticleAge * kSecondsPerDay && age < kTenYears) {
    LogLinef("%s: AddArticleToFile(): article too old (%u days old)", ctx->peerName, age / kSecondsPerDay);
    return false;
  }
  return true;
}

// An article already seen when it is filed counts as refused, not rejected:
// the rejection reply that follows adds the rejection back.
void CountAsRefused(_clientcontext* ctx) {
  ctx->incoming->refused++;
  ctx->incoming->rejected--;
}

int StoreLocked(_clientcontext* ctx, std::unique_lock<std::mutex>& lock) {
  if (CheckSeen(ctx->idKey[0], ctx->idKey[1])) {
    CountAsRefused(ctx);
    return 0;
  }
  if (!DateAcceptable(ctx)) return 0;
  ctx->pathValue = const_cast<char*>(FindPathValue(ctx->buffer, ctx->articleLength));
  if (ctx->pathValue == nullptr) {
    LogLinef("%s: AddArticleToFile(): no path line found", ctx->peerName);
    return 0;
  }
  RotateIfDue(ctx->articleLength + uint32_t(my_path_name.size()));
  if ((fh < 0 && !CreateSpoolFile()) || !WriteStoredForm(ctx)) {
    LogLine("article: Write failed, out of disk space?");
    lock.unlock();
    CloseConnection(ctx);
  }
  uint32_t start = uint32_t(fhCount - ctx->articleLength - my_path_name.size());
  FeedArticle article{ctx->buffer, ctx->articleLength, ctx->pathValue, ctx->articleId};
  FeedSetFlags(article, ctx->feedFlags);
  AddSeen(ctx->idKey[0], ctx->idKey[1]);
  return AddArticleToHistory(ctx->articleId, ctx->feedFlags, start, uint32_t(fhCount) - start, fhTime);
}

// The transmission runs on a non-blocking socket so that its five-minute
// limit holds however the caller set the socket up. Returns the flags to
// restore.
int MakeNonBlocking(int sock) {
  int flags = fcntl(sock, F_GETFL);
  if (flags >= 0 && !(flags & O_NONBLOCK)) fcntl(sock, F_SETFL, flags | O_NONBLOCK);
  return flags;
}

void RestoreFlags(int sock, int flags) {
  if (flags >= 0 && !(flags & O_NONBLOCK)) fcntl(sock, F_SETFL, flags);
}

// Waits until the socket takes more bytes, within the transmission's limit.
bool WaitWritable(int sock, const timespec& deadline) {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  long left = (deadline.tv_sec - now.tv_sec) * 1000 + (deadline.tv_nsec - now.tv_nsec) / 1000000;
  if (left <= 0) return false;
  pollfd p{sock, POLLOUT, 0};
  int r;
  do {
    r = poll(&p, 1, int(left));
  } while (r < 0 && errno == EINTR);
  if (r == 0) errno = ETIMEDOUT;
  return r > 0;
}

bool SendText(int sock, const char* text, const timespec& deadline) {
  size_t length = text != nullptr ? strlen(text) : 0;
  while (length > 0) {
    ssize_t n = send(sock, text, length, MSG_NOSIGNAL | MSG_MORE);
    if (n > 0) {
      text += n;
      length -= size_t(n);
    } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
      return false;
    } else if (!WaitWritable(sock, deadline)) {
      return false;
    }
  }
  return true;
}

bool SendFileRange(int sock, int file, off_t offset, size_t length, const timespec& deadline) {
  while (length > 0) {
    ssize_t n = sendfile(sock, file, &offset, length);
    if (n > 0) {
      length -= size_t(n);
    } else if (n == 0) {
      errno = EIO;  // the file is shorter than its history entry says
      return false;
    } else if (errno != EAGAIN && errno != EINTR) {
      return false;
    } else if (!WaitWritable(sock, deadline)) {
      return false;
    }
  }
  return true;
}

void SetCork(int sock, int on) { setsockopt(sock, IPPROTO_TCP, TCP_CORK, &on, sizeof on); }

bool OpenEntryFile(_histentry* entry) {
  uint32_t number = entry->header.spoolFile;
  if (entry->openFile >= 0 && entry->openFileNumber == number) return true;
  if (entry->openFile >= 0) {
    close(entry->openFile);
    UnpinSpoolFile(entry->openFileNumber);
    entry->openFile = -1;
  }
  PinSpoolFile(number);
  int fd = open(SpoolFileName(number).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    UnpinSpoolFile(number);
    return false;
  }
  posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  entry->openFile = fd;
  entry->openFileNumber = number;
  return true;
}

// A spool folder that is missing or cannot be written would fail every
// article; better to say so at once than at the first store.
void CheckSpoolFolder(const char* base) {
  struct stat st;
  int error = stat(base, &st) != 0 ? errno : !S_ISDIR(st.st_mode) ? ENOTDIR : 0;
  if (error == 0 && access(base, W_OK | X_OK) != 0) error = errno;
  if (error == 0) return;
  printf("article base %s is not a writable folder (%s), exiting\n", base, strerror(error));
  ExitProcess(1);
}

}  // namespace

int ArticleInit() {
  const char* base = GetConfigString("ArticleBasePath");
  if (base == nullptr) {
    printf("no article base specified, exiting\n");
    ExitProcess(1);
  }
  const char* host = GetConfigString("HostPathIdentifier");
  if (host == nullptr) {
    printf("no HostPathIdentifier specified, exiting\n");
    ExitProcess(1);
  }
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
  init_feed();
  return 1;
}

int AddArticleToFile(_clientcontext* ctx) {
  std::unique_lock<std::mutex> lock(csArtFile);
  try {
    return StoreLocked(ctx, lock);
  } catch (const ConnectionEnded&) {
    throw;
  } catch (...) {
    LogLine("Exception occurred in AddArticleToFile()");
    if (fh >= 0) fhCount = uint64_t(lseek(fh, 0, SEEK_END));
    return 0;
  }
}

int InnoculateHistory(_clientcontext* ctx) {
  std::lock_guard<std::mutex> lock(csArtFile);
  if (CheckSeen(ctx->idKey[0], ctx->idKey[1])) {
    // No reply follows an innoculate line: only the refusal is counted.
    ctx->incoming->refused++;
    return 0;
  }
  AddSeen(ctx->idKey[0], ctx->idKey[1]);
  return 1;
}

int TransmitArticle(_histentry* entry, int* cachedFile, uint32_t* cachedNumber, int sock, const char* head,
                    const char* tail, int* error) {
  *error = 0;
  bool cached = cachedFile != nullptr && cachedNumber != nullptr;
  entry->openFile = cached ? *cachedFile : -1;
  entry->openFileNumber = cached ? *cachedNumber : 0;
  if (!OpenEntryFile(entry)) {
    *error = 436;
    if (cached) *cachedFile = -1;
    return 0;
  }
  if (cached) {
    *cachedFile = entry->openFile;
    *cachedNumber = entry->openFileNumber;
  }
  timespec deadline;
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  deadline.tv_sec += kTransmitLimitMs / 1000;
  int flags = MakeNonBlocking(sock);
  SetCork(sock, 1);
  bool ok = SendText(sock, head, deadline) &&
            SendFileRange(sock, entry->openFile, off_t(entry->header.spoolOffset), entry->header.length, deadline) &&
            SendText(sock, tail, deadline);
  int err = errno;
  SetCork(sock, 0);
  RestoreFlags(sock, flags);
  if (!cached) {
    close(entry->openFile);
    UnpinSpoolFile(entry->openFileNumber);
  }
  // A file still open belongs to the caller's cache. Unless the cache is
  // the entry's own field, the entry lets go of it, so that releasing the
  // entry (DestroyEntry) cannot close a file the cache goes on using.
  if (cachedFile != &entry->openFile) entry->openFile = -1;
  if (!ok) {
    if (err == ETIMEDOUT) {
      LogLinef("Error in TransmitArticle (via GetOverlappedResult), %u\n", unsigned(err));
    } else {
      LogLinef("Error in TransmitArticle (direct), %u\n", unsigned(err));
    }
    return 0;
  }
  return 1;
}

void CloseCachedSpoolFile(int* cachedFile, uint32_t* cachedNumber) {
  if (*cachedFile < 0) return;
  close(*cachedFile);
  UnpinSpoolFile(*cachedNumber);
  *cachedFile = -1;
}

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
  if (!SeenFlush()) LogLinef("seen: could not write the seen database to disk: %s", strerror(errno));
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
