// A plain NNTP client over loopback (IPv4 or IPv6) for tests: line-oriented, every read
// bounded by a time-out.
#pragma once
#include <chrono>
#include <cstdint>
#include <string>

class NntpClient {
 public:
  NntpClient() = default;
  ~NntpClient();
  NntpClient(const NntpClient&) = delete;
  NntpClient& operator=(const NntpClient&) = delete;

  // Connects to `address`:`port`, first binding the local end to
  // `localAddress` when given (e.g. "127.0.0.2" to look like another host).
  bool Connect(const std::string& address, uint16_t port, const std::string& localAddress = "");
  bool Send(const std::string& bytes);
  bool SendLine(const std::string& line) { return Send(line + "\r\n"); }
  // The next line without its CR LF, or "" on time-out or close.
  std::string Line(std::chrono::milliseconds limit = std::chrono::milliseconds(10000));
  // True when the server closed the connection within `limit` (any unread
  // input is discarded).
  bool WaitClosed(std::chrono::milliseconds limit = std::chrono::milliseconds(10000));
  void Close();
  int fd() const { return fd_; }

 private:
  // Reads more bytes into buffer_; false on time-out, error or end.
  bool Fill(std::chrono::milliseconds limit);

  int fd_ = -1;
  std::string buffer_;
  bool eof_ = false;
};

// A TCP port on loopback (127.0.0.1, else ::1) that was free a moment ago.
uint16_t FreeLoopbackPort();
