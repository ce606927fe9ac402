#include "feeds/cmd_sock.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>

#include "platform/io.h"

uint32_t CmdSock::connTimeout = 600;

namespace {

constexpr int kSocketTimeoutMs = 60000;

}  // namespace

int CreateSocketAddress(sockaddr_in* address, const char* host, uint32_t port) {
  memset(address, 0, sizeof *address);
  address->sin_family = AF_INET;
  address->sin_port = htons(uint16_t(port));
  if (host == nullptr) {
    address->sin_addr.s_addr = htonl(INADDR_ANY);
    return 1;
  }
  if (inet_aton(host, &address->sin_addr) != 0) return 1;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr) return 0;
  address->sin_addr = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr;
  freeaddrinfo(found);
  return 1;
}

CmdSock::~CmdSock() {
  if (socket_ >= 0) close(socket_);
}

int CmdSock::Connect(const char* host, uint32_t port) {
  socket_ = -1;
  int sock = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (sock < 0) return 0;
  sockaddr_in local, peer;
  CreateSocketAddress(&local, nullptr, 0);
  if (bind(sock, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
      CreateSocketAddress(&peer, host, port) == 0 ||
      connect(sock, reinterpret_cast<sockaddr*>(&peer), sizeof peer) != 0) {
    close(sock);
    return 0;
  }
  socket_ = sock;
  SetSocketTimeouts(sock, kSocketTimeoutMs);
  SetSocketFlag(sock, SOL_SOCKET, SO_KEEPALIVE);
  SetSocketFlag(sock, IPPROTO_TCP, TCP_NODELAY);
  // Every wait on this socket is bounded by poll, so it is non-blocking
  // from here on; TransmitArticle then finds it as it needs it.
  fcntl(sock, F_SETFL, fcntl(sock, F_GETFL) | O_NONBLOCK);
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
    ready = poll(&p, 1, int(connTimeout) * 1000);
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
    const char* crlf = length_ > 2 ? static_cast<const char*>(memmem(buffer_, length_, "\r\n", 2)) : nullptr;
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
