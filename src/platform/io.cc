#include "platform/io.h"

#include <cerrno>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <unistd.h>

bool WaitWritable(int sock, Deadline deadline) {
  for (;;) {
    int wait = -1;
    if (deadline != kNoDeadline) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) {
        errno = ETIMEDOUT;
        return false;
      }
      wait = int(std::min<long long>(left.count(), 1 << 30));
    }
    pollfd p{sock, POLLOUT, 0};
    int r = poll(&p, 1, wait);
    if (r > 0) return true;
    if (r == 0) {
      errno = ETIMEDOUT;
      return false;
    }
    if (errno != EINTR) return false;
  }
}

bool SendWithin(int sock, const void* data, size_t length, Deadline deadline, int flags) {
  const char* p = static_cast<const char*>(data);
  while (length > 0) {
    ssize_t n = send(sock, p, length, flags | MSG_NOSIGNAL);
    if (n > 0) {
      p += n;
      length -= size_t(n);
    } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
      return false;
    } else if (errno == EAGAIN && !WaitWritable(sock, deadline)) {
      return false;
    }
  }
  return true;
}

bool WriteFully(int fd, const void* data, size_t length, off_t offset) {
  const char* p = static_cast<const char*>(data);
  while (length > 0) {
    ssize_t n = offset < 0 ? write(fd, p, length) : pwrite(fd, p, length, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = ENOSPC;
      return false;
    }
    p += n;
    length -= size_t(n);
    if (offset >= 0) offset += n;
  }
  return true;
}

void SetSocketTimeouts(int sock, int ms) {
  timeval tv{ms / 1000, (ms % 1000) * 1000};
  setsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

void SetSocketFlag(int sock, int level, int option, bool on) {
  int value = on ? 1 : 0;
  setsockopt(sock, level, option, &value, sizeof value);
}

void SkipWritten(iovec** iov, int* count, size_t written) {
  while (*count > 0 && written >= (*iov)->iov_len) {
    written -= (*iov)->iov_len;
    ++*iov;
    --*count;
  }
  if (*count > 0) {
    (*iov)->iov_base = static_cast<char*>((*iov)->iov_base) + written;
    (*iov)->iov_len -= written;
  }
}
