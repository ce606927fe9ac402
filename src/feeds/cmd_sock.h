// The client end of one outgoing NNTP connection: connects to a site by
// name or address (IPv4 or IPv6), writes command lines whole, and reads reply lines
// through a 4096-byte buffer, handing out one line per call (pipelined
// replies that arrive together come out one by one) and remembering the
// numeric code of the last one. Articles bypass it: TransmitArticle sends
// them from the spool file on the same socket, between a WriteLine and the
// next ReadLine. One feeder thread uses a CmdSock, for one connection.
#pragma once
#include <cstdint>
#include <functional>
#include <netinet/in.h>
#include <sys/socket.h>
#include <vector>

#include "platform/net_address.h"

// What a Connect did: how many addresses the host has, and each address
// it tried, in order, with its outcome (0 connected, else the errno).
struct ConnectReport {
  size_t resolved = 0;
  struct Attempt {
    NetAddress address;
    int error;
  };
  std::vector<Attempt> tried;
};

class CmdSock {
 public:
  // `connTimeout`: seconds a ReadLine waits for data before it fails.
  explicit CmdSock(uint32_t connTimeout = 600) : connTimeout_(connTimeout) {}
  ~CmdSock();  // closes the socket
  CmdSock(const CmdSock&) = delete;
  CmdSock& operator=(const CmdSock&) = delete;

  // Connects to `host` (a numeric address, else looked up: A and AAAA
  // records) on `port` from any local port, trying its addresses in the
  // resolver's order until one connects, each within 60 s. The connection
  // has 60 s send and receive time-outs, keep-alive and no Nagle delay; the
  // socket is then non-blocking, every wait on it being bounded by poll.
  // 1 on success, 0 on failure; `report`, when given, says what was tried.
  // `watch`, when given, is told each socket while its connect is under way
  // and -1 after: a shutdown of that socket ends the wait. When it answers
  // false, the connect is given up at once.
  int Connect(const char* host, uint32_t port, ConnectReport* report = nullptr,
              const std::function<bool(int fd)>& watch = nullptr);

  // Sends every byte of `text` (which holds its own CR LF line ends, one
  // line or several). 1 when all was sent, 0 otherwise.
  int WriteLine(const char* text);

  // The next reply line, without its CR LF, into `destination`; it must fit
  // in capacity - 1 characters and the NUL. Sets lastCode to the number the
  // line starts with (atoi rules, 0 when none). 0 when the line does not
  // fit, the peer closed, nothing came for connTimeout seconds, or 4095
  // bytes arrived without a line end; the buffer is then emptied and
  // lastCode is 0.
  int ReadLine(char* destination, const uint32_t& capacity);

  // setsockopt at SOL_SOCKET; nonzero when it fails.
  int SetSockOpt(int option, const void* value, socklen_t length);

  int32_t lastCode() const { return lastCode_; }
  int socket() const { return socket_; }

 private:
  bool ReadMore();

  const uint32_t connTimeout_;
  char buffer_[4096] = {0};
  uint32_t length_ = 0;
  int socket_ = -1;
  int32_t lastCode_ = 0;
};

// Fills `addresses` with every socket address of `host` on `port` (low 16
// bits), IPv4 and IPv6, in the resolver's order. A numeric address is used
// as it is, brackets allowed; a name is looked up. 0 when the name does not
// resolve, else 1.
int CreateSocketAddress(std::vector<SocketAddress>* addresses, const char* host, uint32_t port);
