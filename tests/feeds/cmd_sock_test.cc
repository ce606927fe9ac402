// The outgoing command socket against a scripted peer on loopback: replies
// pipelined in one packet or split over several, the reply code, the line
// capacity, a silent peer, and names that do or do not resolve.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <string>
#include <thread>
#include <unistd.h>

#include "feeds/cmd_sock.h"
#include "support/nntp_client.h"

namespace {

// A listening socket on loopback whose one connection the test scripts.
class Peer {
 public:
  Peer() {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    EXPECT_EQ(listen(listener_, 1), 0);
    socklen_t len = sizeof a;
    getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
  }
  ~Peer() {
    if (conn_ >= 0) close(conn_);
    close(listener_);
  }
  uint16_t port() const { return port_; }
  void Accept() { conn_ = accept(listener_, nullptr, nullptr); }
  void Send(const std::string& bytes) { ASSERT_EQ(write(conn_, bytes.data(), bytes.size()), ssize_t(bytes.size())); }
  std::string Receive(size_t count) {
    std::string got(count, '\0');
    size_t have = 0;
    while (have < count) {
      ssize_t n = read(conn_, got.data() + have, count - have);
      if (n <= 0) break;
      have += size_t(n);
    }
    got.resize(have);
    return got;
  }

 private:
  int listener_ = -1, conn_ = -1;
  uint16_t port_ = 0;
};

struct Line {
  int result;
  std::string text;
  int32_t code;
};

Line Read(CmdSock& s, uint32_t capacity = 512) {
  std::string buffer(capacity + 1, '\0');
  int result = s.ReadLine(buffer.data(), capacity);
  return {result, result ? std::string(buffer.c_str()) : "", s.lastCode()};
}

TEST(CmdSock, RepliesComeOutOneLineAtATimeWithTheirCodes) {
  Peer peer;
  CmdSock s;
  ASSERT_EQ(s.Connect("127.0.0.1", peer.port()), 1);
  peer.Accept();
  ASSERT_EQ(s.WriteLine("check <a@x>\r\ncheck <b@x>\r\n"), 1);
  EXPECT_EQ(peer.Receive(26), "check <a@x>\r\ncheck <b@x>\r\n");

  // Two replies in one packet, then one split over three.
  peer.Send("238 <a@x>\r\n238 <b@x>\r\n");
  for (const char* expected : {"238 <a@x>", "238 <b@x>"}) {
    Line l = Read(s);
    EXPECT_EQ(l.result, 1);
    EXPECT_EQ(l.text, expected);
    EXPECT_EQ(l.code, 238);
  }
  std::thread later([&] {
    peer.Send("200 re");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    peer.Send("ady\r");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    peer.Send("\nno digits here\r\n  -5 signed\r\n");
  });
  Line ready = Read(s);
  later.join();
  EXPECT_EQ(ready.text, "200 ready");
  EXPECT_EQ(ready.code, 200);
  EXPECT_EQ(Read(s).code, 0);
  EXPECT_EQ(Read(s).code, -5);

  // Capacity 510 holds a line of 509 characters, not one of 510; a line
  // that does not fit fails the read.
  peer.Send("2" + std::string(508, 'x') + "\r\n" + std::string(510, 'y') + "\r\n");
  Line fits = Read(s, 510);
  EXPECT_EQ(fits.result, 1);
  EXPECT_EQ(fits.text.size(), 509u);
  EXPECT_EQ(fits.code, 2);
  EXPECT_EQ(Read(s, 510).result, 0);
}

TEST(CmdSock, SilenceClosedPeersAndEndlessLinesFailTheRead) {
  const uint32_t saved = CmdSock::connTimeout;
  CmdSock::connTimeout = 1;
  Peer peer;
  CmdSock s;
  ASSERT_EQ(s.Connect("localhost", peer.port()), 1);  // a name, looked up
  peer.Accept();
  peer.Send("200 hello\r\n");
  EXPECT_EQ(Read(s).code, 200);
  auto start = std::chrono::steady_clock::now();
  Line silent = Read(s);
  EXPECT_EQ(silent.result, 0);
  EXPECT_EQ(silent.code, 0);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));

  // 4095 bytes without a line end fill the buffer: the read fails.
  peer.Send(std::string(4095, 'z'));
  EXPECT_EQ(Read(s).result, 0);
  CmdSock::connTimeout = saved;

  // Nothing listens there any more, and a name that does not resolve.
  CmdSock refused, unknown;
  uint16_t closed = FreeLoopbackPort();
  EXPECT_EQ(refused.Connect("127.0.0.1", closed), 0);
  EXPECT_EQ(refused.socket(), -1);
  EXPECT_EQ(unknown.Connect("no-such-host.invalid", 119), 0);
  sockaddr_in a;
  EXPECT_EQ(CreateSocketAddress(&a, "10.1.2.3", 0x10077), 1);
  EXPECT_EQ(a.sin_addr.s_addr, inet_addr("10.1.2.3"));
  EXPECT_EQ(ntohs(a.sin_port), 0x77);
}

}  // namespace
