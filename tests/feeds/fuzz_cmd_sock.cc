// Reply bytes from a site are arbitrary: whatever arrives, ReadLine hands
// out whole lines that fit, without their CR LF, with the code they start
// with, and on a failure leaves nothing behind (empty buffer, code 0).
#include <arpa/inet.h>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "feeds/cmd_sock.h"

namespace {

int listener = -1;
uint16_t port = 0;

void Listen() {
  listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(listener, 4) != 0) abort();
  socklen_t length = sizeof a;
  getsockname(listener, reinterpret_cast<sockaddr*>(&a), &length);
  port = ntohs(a.sin_port);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (listener < 0) Listen();
  if (size > 60000) return 0;  // what one write into the socket buffer takes
  CmdSock sock(1);  // a reply line waits a second at most
  if (!sock.Connect("127.0.0.1", port)) abort();
  int peer = accept(listener, nullptr, nullptr);
  if (peer < 0 || write(peer, data, size) != ssize_t(size)) abort();
  close(peer);
  // The first byte picks the capacity, as the feed loops use several.
  uint32_t capacity = size > 0 ? 1 + data[0] * 4 : 511;
  char line[1100];
  size_t handedOut = 0;
  for (int i = 0; i < 20000; i++) {
    memset(line, 'Z', sizeof line);
    if (!sock.ReadLine(line, capacity)) {
      if (sock.lastCode() != 0) abort();
      return 0;
    }
    size_t length = strlen(line);
    if (length >= capacity || strstr(line, "\r\n") != nullptr) abort();
    if (sock.lastCode() != atoi(line)) abort();
    handedOut += length + 2;
    if (handedOut > size) abort();
  }
  abort();  // more lines than the input could hold
}
