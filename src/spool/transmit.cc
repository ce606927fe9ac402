// Sending stored articles: head text, the article's byte range straight
// from its spool file (sendfile), and tail text, corked into one
// transmission on the sender's socket.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/mman.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/io.h"
#include "spool/article_spool.h"

namespace {

constexpr int kTransmitLimitMs = 300000;
// An article past a feeder's mapping of a spool file is read into the
// feeder's stage, with what follows it, up to this many bytes: taking a
// mapping down costs a flush of every core's TLB, too much for each batch
// of a feeder that keeps up with the articles as they come.
constexpr size_t kStageBytes = 131072;
// The file is mapped anew once an article lies this far past the mapping.
constexpr uint64_t kRemapAfter = uint64_t(4) << 20;

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
  if (cache->map != nullptr) munmap(const_cast<char*>(cache->map), cache->mapped);
  cache->map = nullptr;
  cache->mapped = 0;
  cache->staged = 0;
  close(cache->fd);
  openFiles_.UnpinSpoolFile(cache->number);
  cache->fd = -1;
}

namespace {

// The iovecs of a batch not written yet, written with as few writevs as the
// socket takes.
class Gather {
 public:
  explicit Gather(int sock, Deadline deadline) : sock_(sock), deadline_(deadline) {}
  bool Full() const { return count_ + 3 > kMaxParts; }
  void Add(const void* data, size_t length) {
    if (length != 0) parts_[count_++] = iovec{const_cast<void*>(data), length};
  }
  bool Flush() {
    iovec* iov = parts_;
    int left = count_;
    count_ = 0;
    while (left > 0) {
      ssize_t n = writev(sock_, iov, left);
      if (n < 0) {
        if (errno == EINTR) continue;
        if (errno == EAGAIN && WaitWritable(sock_, deadline_)) continue;
        return false;
      }
      SkipWritten(&iov, &left, size_t(n));
    }
    return true;
  }

 private:
  static constexpr int kMaxParts = 96;
  int sock_;
  Deadline deadline_;
  iovec parts_[kMaxParts];
  int count_ = 0;
};

constexpr char kBatchTerminator[] = "\r\n.\r\n";

// Maps the cached file anew from its start, as far as it reaches, which
// must be through byte `end`; false when it is shorter (or cannot be
// mapped). Bytes are only ever read below the file's end, so a mapping
// never faults.
bool MapThrough(SpoolFileCache* file, uint64_t end) {
  struct stat st;
  if (fstat(file->fd, &st) != 0 || uint64_t(st.st_size) < end) {
    errno = EIO;  // the file is shorter than its history entry says
    return false;
  }
  // The new mapping is made before the old one goes, so it never takes the
  // old one's addresses: a pointer into the old one could not pass for one
  // into the new.
  void* map = mmap(nullptr, size_t(st.st_size), PROT_READ, MAP_SHARED, file->fd, 0);
  if (map == MAP_FAILED) return false;
  if (file->map != nullptr) munmap(const_cast<char*>(file->map), file->mapped);
  file->map = static_cast<const char*>(map);
  file->mapped = size_t(st.st_size);
  return true;
}

// Reads the file's bytes [from, through) into the stage, as many as it
// holds and the file has; false when fewer than `need` could be read.
bool Stage(SpoolFileCache* file, uint64_t from, size_t need, uint64_t through) {
  if (file->stage == nullptr) file->stage.reset(new char[kStageBytes]);
  file->staged = 0;
  const size_t want = size_t(std::min<uint64_t>(through - from, kStageBytes));
  ssize_t n;
  do {
    n = pread(file->fd, file->stage.get(), want, off_t(from));
  } while (n < 0 && errno == EINTR);
  if (n < 0) return false;
  if (size_t(n) < need) {
    errno = EIO;  // the file is shorter than its history entry says
    return false;
  }
  file->stageFrom = from;
  file->staged = size_t(n);
  return true;
}

// The furthest end of an article of the batch from `i` on in the same
// spool file: every byte before it is written for good.
uint64_t FinalThrough(const Transmission* batch, uint32_t i, uint32_t count) {
  const HistEntryHeader& first = batch[i].entry->header;
  uint64_t final = uint64_t(first.spoolOffset) + first.length;
  for (uint32_t j = i + 1; j < count; j++) {
    const HistEntryHeader& h = batch[j].entry->header;
    if (h.spoolFile == first.spoolFile) final = std::max(final, uint64_t(h.spoolOffset) + h.length);
  }
  return final;
}

// Where the stored bytes of small article `i` of the batch can be read
// until the gathered batch is written: in the mapping, in the stage, or in
// either after the file is mapped anew or staged (then what is gathered is
// written out first, since it may point into either). A stage holds no
// byte past the end of an article in the history: bytes beyond may be
// those of a failed write, cut away and written again, where the mapping
// shows what the file holds now. nullptr on an error.
const char* StoredBytes(SpoolFileCache* file, const Transmission* batch, uint32_t i, uint32_t count, Gather* gather) {
  const uint64_t from = batch[i].entry->header.spoolOffset;
  const size_t length = batch[i].entry->header.length;
  const uint64_t end = from + length;
  if (end <= file->mapped) return file->map + from;
  if (from >= file->stageFrom && end <= file->stageFrom + file->staged) {
    return file->stage.get() + (from - file->stageFrom);
  }
  if (!gather->Flush()) return nullptr;
  if (end - file->mapped > kRemapAfter) return MapThrough(file, end) ? file->map + from : nullptr;
  return Stage(file, from, length, FinalThrough(batch, i, count)) ? file->stage.get() : nullptr;
}

}  // namespace

bool ArticleSpool::TransmitArticles(const Transmission* batch, uint32_t count, SpoolFileCache* cache, int sock,
                                    TransmitResult* results) {
  const Deadline deadline = DeadlineAfter(kTransmitLimitMs);
  Gather gather(sock, deadline);
  for (uint32_t i = 0; i < count; i++) {
    const HistEntryHeader& header = batch[i].entry->header;
    // What is gathered points into the cached file's mapping: written out
    // before the cache takes another file.
    if ((cache->fd < 0 || cache->number != header.spoolFile || gather.Full()) && !gather.Flush()) return false;
    if (!OpenSpoolFile(header.spoolFile, cache)) {
      results[i] = TransmitResult::kGone;
      continue;
    }
    results[i] = TransmitResult::kSent;
    gather.Add(batch[i].head, batch[i].headLength);
    if (header.length >= kSendfileFrom) {
      if (!gather.Flush() || !SendFileRange(sock, cache->fd, off_t(header.spoolOffset), header.length, deadline)) {
        return false;
      }
    } else {
      const char* bytes = StoredBytes(cache, batch, i, count, &gather);
      if (bytes == nullptr) return false;
      gather.Add(bytes, header.length);
    }
    gather.Add(kBatchTerminator, 5);
  }
  return gather.Flush();
}
