#include "support/nntp_client.h"

#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/net_address.h"

namespace {

SocketAddress Loopback(const std::string& address, uint16_t port) {
  NetAddress parsed;
  ParseNetAddress(address, &parsed);
  return SocketAddressOf(parsed, port);
}

}  // namespace

NntpClient::~NntpClient() { Close(); }

void NntpClient::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

bool NntpClient::Connect(const std::string& address, uint16_t port, const std::string& localAddress) {
  Close();
  buffer_.clear();
  eof_ = false;
  SocketAddress sa = Loopback(address, port);
  fd_ = socket(sa.family(), SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return false;
  if (!localAddress.empty()) {
    SocketAddress local = Loopback(localAddress, 0);
    if (bind(fd_, local.get(), local.length) != 0) return false;
  }
  return connect(fd_, sa.get(), sa.length) == 0;
}

bool NntpClient::Send(const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += size_t(n);
  }
  return true;
}

bool NntpClient::Fill(std::chrono::milliseconds limit) {
  if (eof_ || fd_ < 0) return false;
  pollfd p{fd_, POLLIN, 0};
  int r = poll(&p, 1, int(limit.count()));
  if (r <= 0) return false;
  char buf[65536];
  ssize_t n = recv(fd_, buf, sizeof buf, 0);
  if (n <= 0) {
    eof_ = true;
    return false;
  }
  buffer_.append(buf, size_t(n));
  return true;
}

std::string NntpClient::Line(std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    size_t lf = buffer_.find('\n');
    if (lf != std::string::npos) {
      std::string line = buffer_.substr(0, lf > 0 && buffer_[lf - 1] == '\r' ? lf - 1 : lf);
      buffer_.erase(0, lf + 1);
      return line;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !Fill(left)) return "";
  }
}

// A reset reads as an error, which Fill takes for the end as well.
bool NntpClient::WaitClosed(std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (!eof_ && fd_ >= 0 && std::chrono::steady_clock::now() < deadline) {
    buffer_.clear();
    Fill(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()));
  }
  return eof_;
}

uint16_t FreeLoopbackPort() {
  // ::1 where there is no IPv4, as in a network of IPv6 only.
  for (const char* address : {"127.0.0.1", "::1"}) {
    SocketAddress sa = Loopback(address, 0);
    int fd = socket(sa.family(), SOCK_STREAM, 0);
    socklen_t len = sizeof sa.storage;
    bool bound = bind(fd, sa.get(), sa.length) == 0 &&
                 getsockname(fd, reinterpret_cast<sockaddr*>(&sa.storage), &len) == 0;
    close(fd);
    if (bound) return sa.port();
  }
  return 0;
}
