#include "feeds/cmd_sock.h"

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>

#include "article/article_headers.h"
#include "platform/io.h"


int CreateSocketAddress(std::vector<SocketAddress>* addresses, const char* host, uint32_t port) {
  addresses->clear();
  return ResolveHost(host, uint16_t(port), addresses) ? 1 : 0;
}

namespace {

constexpr int kSocketTimeoutMs = 60000;

// A non-blocking socket connected to `address` within the time-out, or -1
// with errno set (ECANCELED when `watch` refused the wait).
int ConnectWithin(const SocketAddress& address, int timeoutMs, const std::function<bool(int fd)>& watch) {
  int sock = ::socket(address.family(), SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (sock < 0) return -1;
  int error = 0;
  if (connect(sock, address.get(), address.length) != 0) {
    error = errno;
    if (error == EINPROGRESS && watch != nullptr && !watch(sock)) {
      error = ECANCELED;
    } else if (error == EINPROGRESS) {
      pollfd p{sock, POLLOUT, 0};
      Deadline deadline = DeadlineAfter(timeoutMs);
      int ready;
      do {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        ready = poll(&p, 1, int(std::max<int64_t>(left.count(), 0)));
      } while (ready < 0 && errno == EINTR);
      socklen_t length = sizeof error;
      if (ready == 0) {
        error = ETIMEDOUT;
      } else if (ready < 0 || getsockopt(sock, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
        error = errno;
      }
      if (watch != nullptr) watch(-1);
    }
  }
  if (error != 0) {
    close(sock);
    errno = error;
    return -1;
  }
  return sock;
}

}  // namespace

CmdSock::~CmdSock() {
  if (socket_ >= 0) close(socket_);
}

int CmdSock::Connect(const char* host, uint32_t port, ConnectReport* report,
                     const std::function<bool(int fd)>& watch) {
  socket_ = -1;
  std::vector<SocketAddress> addresses;
  if (CreateSocketAddress(&addresses, host, port) == 0) return 0;
  if (report != nullptr) report->resolved = addresses.size();
  int sock = -1;
  for (const SocketAddress& address : addresses) {
    sock = ConnectWithin(address, kSocketTimeoutMs, watch);
    int error = sock >= 0 ? 0 : errno;
    if (report != nullptr) {
      report->tried.push_back({NetAddress{}, error});
      NetAddressOf(address.get(), &report->tried.back().address);
    }
    if (sock >= 0 || error == ECANCELED) break;
  }
  if (sock < 0) return 0;
  socket_ = sock;
  SetSocketTimeouts(sock, kSocketTimeoutMs);
  SetSocketFlag(sock, SOL_SOCKET, SO_KEEPALIVE);
  SetSocketFlag(sock, IPPROTO_TCP, TCP_NODELAY);
  // Every wait on this socket is bounded by poll, so it stays non-blocking;
  // TransmitArticle finds it as it needs it.
  return 1;
}

int CmdSock::WriteLine(const char* text) {
  return socket_ >= 0 && SendWithin(socket_, text, strlen(text), DeadlineAfter(kSocketTimeoutMs)) ? 1 : 0;
}

int CmdSock::SetSockOpt(int option, const void* value, socklen_t length) {
  return setsockopt(socket_, SOL_SOCKET, option, value, length) != 0 ? 1 : 0;
}

// Waits up to connTimeout for data and appends what arrives. False when
// nothing came, the peer closed, the read failed or the buffer is full.
bool CmdSock::ReadMore() {
  if (socket_ < 0 || length_ >= sizeof buffer_ - 1) return false;
  pollfd p{socket_, POLLIN, 0};
  int ready;
  do {
    ready = poll(&p, 1, int(connTimeout_) * 1000);
  } while (ready < 0 && errno == EINTR);
  if (ready <= 0) return false;
  ssize_t n;
  do {
    n = recv(socket_, buffer_ + length_, sizeof buffer_ - 1 - length_, MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return false;
  length_ += uint32_t(n);
  buffer_[length_] = '\0';
  return true;
}

int CmdSock::ReadLine(char* destination, const uint32_t& capacity) {
  for (;;) {
    const char* crlf = length_ > 2 ? FindBytes(buffer_, length_, "\r\n", 2) : nullptr;
    if (crlf != nullptr) {
      uint32_t lineLength = uint32_t(crlf - buffer_);
      if (capacity == 0 || lineLength > capacity - 1) break;
      memcpy(destination, buffer_, lineLength);
      destination[lineLength] = '\0';
      length_ -= lineLength + 2;
      memmove(buffer_, crlf + 2, length_);
      buffer_[length_] = '\0';
      lastCode_ = atoi(destination);
      return 1;
    }
    if (!ReadMore()) break;
  }
  length_ = 0;
  buffer_[0] = '\0';
  lastCode_ = 0;
  return 0;
}
