// Sending stored articles: head text, the article's byte range straight
// from its spool file (sendfile), and tail text, corked into one
// transmission on the sender's socket.
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/io.h"
#include "spool/article_spool.h"

namespace {

constexpr int kTransmitLimitMs = 300000;

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

bool SendText(int sock, const char* text, Deadline deadline) {
  return text == nullptr || SendWithin(sock, text, strlen(text), deadline, MSG_MORE);
}

bool SendFileRange(int sock, int file, off_t offset, size_t length, Deadline deadline) {
  while (length > 0) {
    ssize_t n = sendfile(sock, file, &offset, length);
    if (n > 0) {
      length -= size_t(n);
    } else if (n == 0) {
      errno = EIO;  // the file is shorter than its history entry says
      return false;
    } else if (errno != EAGAIN && errno != EINTR) {
      return false;
    } else if (errno == EAGAIN && !WaitWritable(sock, deadline)) {
      return false;
    }
  }
  return true;
}

}  // namespace

// Opens spool file `number` into `file`, unless it already holds it.
bool ArticleSpool::OpenSpoolFile(uint32_t number, SpoolFileCache* file) {
  if (file->fd >= 0 && file->number == number) return true;
  CloseCachedSpoolFile(file);
  openFiles_.PinSpoolFile(number);
  int fd = open(SpoolFilePath(number).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    openFiles_.UnpinSpoolFile(number);
    return false;
  }
  posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  file->fd = fd;
  file->number = number;
  return true;
}

int ArticleSpool::TransmitArticle(const _histentry* entry, SpoolFileCache* cache, int sock, const char* head,
                                  const char* tail, int* error, bool senderCorks) {
  *error = 0;
  SpoolFileCache once;
  SpoolFileCache* file = cache != nullptr ? cache : &once;
  if (!OpenSpoolFile(entry->header.spoolFile, file)) {
    *error = 436;
    return 0;
  }
  Deadline deadline = DeadlineAfter(kTransmitLimitMs);
  int flags = senderCorks ? O_NONBLOCK : MakeNonBlocking(sock);
  if (!senderCorks) SetSocketFlag(sock, IPPROTO_TCP, TCP_CORK, true);
  bool ok = SendText(sock, head, deadline) &&
            SendFileRange(sock, file->fd, off_t(entry->header.spoolOffset), entry->header.length, deadline) &&
            SendText(sock, tail, deadline);
  int err = errno;
  if (!senderCorks) SetSocketFlag(sock, IPPROTO_TCP, TCP_CORK, false);
  RestoreFlags(sock, flags);
  if (cache == nullptr) CloseCachedSpoolFile(&once);
  if (!ok) {
    if (err == ETIMEDOUT) {
      base_->log.LogLinef("Error in TransmitArticle (via GetOverlappedResult), %u\n", unsigned(err));
    } else {
      base_->log.LogLinef("Error in TransmitArticle (direct), %u\n", unsigned(err));
    }
    return 0;
  }
  return 1;
}

void ArticleSpool::CloseCachedSpoolFile(SpoolFileCache* cache) {
  if (cache->fd < 0) return;
  close(cache->fd);
  openFiles_.UnpinSpoolFile(cache->number);
  cache->fd = -1;
}
