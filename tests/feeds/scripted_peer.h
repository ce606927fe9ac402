// A site on a loopback address of either family (127.0.0.1 unless told) whose every
// connection a test scripts: each accepted connection is served by `serve`
// on a thread of its own.
#pragma once
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "platform/net_address.h"

// The Message-ID between the angle brackets of a command or reply line.
inline std::string IdOf(const std::string& line) {
  size_t open = line.find('<');
  return open == std::string::npos ? "" : line.substr(open + 1, line.find('>', open) - open - 1);
}

class ScriptedPeer {
 public:
  struct Connection {
    int fd;
    int number;  // counted from 0 in the order of acceptance
    std::string buffer;
    bool closed = false;
    // The next line without CR LF; "" with `closed` set at the end.
    std::string Line() {
      for (size_t end; (end = buffer.find("\r\n")) == std::string::npos;) {
        char chunk[4096];
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n <= 0) {
          closed = true;
          return "";
        }
        buffer.append(chunk, size_t(n));
      }
      std::string line = buffer.substr(0, buffer.find("\r\n"));
      buffer.erase(0, line.size() + 2);
      return line;
    }
    // An article up to its "." line, without the CR LF before that line.
    std::string Article() {
      std::string text;
      for (std::string line = Line(); !closed && line != "."; line = Line()) text += line + "\r\n";
      return text.substr(0, text.size() >= 2 ? text.size() - 2 : 0);
    }
    void Send(const std::string& text) { (void)!write(fd, text.data(), text.size()); }
  };

  explicit ScriptedPeer(std::function<void(Connection&)> serve, const char* host = "127.0.0.1")
      : serve_(std::move(serve)) {
    NetAddress address;
    EXPECT_TRUE(ParseNetAddress(host, &address)) << host;
    SocketAddress a = SocketAddressOf(address, 0);
    listener_ = socket(a.family(), SOCK_STREAM, 0);
    EXPECT_EQ(bind(listener_, a.get(), a.length), 0);
    EXPECT_EQ(listen(listener_, 8), 0);
    socklen_t len = sizeof a.storage;
    getsockname(listener_, reinterpret_cast<sockaddr*>(&a.storage), &len);
    port_ = a.port();
    acceptor_ = std::thread([this] {
      for (int fd; (fd = accept(listener_, nullptr, nullptr)) >= 0;) {
        int on = 1;  // replies written in pieces go out at once
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        std::lock_guard<std::mutex> lock(mu_);
        fds_.push_back(fd);
        served_.emplace_back([this, fd, n = connections_++] {
          Connection c{fd, n, "", false};
          serve_(c);
          shutdown(fd, SHUT_RDWR);  // closed by the destructor, so the number is not reused meanwhile
        });
      }
    });
  }
  ~ScriptedPeer() {
    shutdown(listener_, SHUT_RDWR);
    close(listener_);
    acceptor_.join();
    for (int fd : fds_) shutdown(fd, SHUT_RDWR);  // reads on both sides see the end
    for (std::thread& t : served_) t.join();
    for (int fd : fds_) close(fd);
  }
  uint16_t port() const { return port_; }
  int connections() const { return connections_.load(); }

 private:
  std::function<void(Connection&)> serve_;
  int listener_ = -1;
  uint16_t port_ = 0;
  std::thread acceptor_;
  std::atomic<int> connections_{0};
  std::mutex mu_;
  std::vector<int> fds_;
  std::vector<std::thread> served_;
};
