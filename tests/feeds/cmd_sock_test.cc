// The outgoing command socket against a scripted site: replies and their
// codes, the line capacity, a silent site, a name that does not resolve.
// Replies split between reads are the random site's part of the site
// tests, arbitrary bytes the fuzz target's.
#include <gtest/gtest.h>

#include <chrono>
#include <tuple>

#include "feeds/cmd_sock.h"
#include "scripted_peer.h"
#include "support/nntp_client.h"

namespace {

// ReadLine's result, the line read and its code.
std::tuple<int, std::string, int32_t> Read(CmdSock& s, uint32_t capacity = 512) {
  std::string buffer(capacity + 1, '\0');
  int result = s.ReadLine(buffer.data(), capacity);
  return {result, result ? std::string(buffer.c_str()) : "", s.lastCode()};
}

TEST(CmdSock, ReadsRepliesWithTheirCodesWithinItsCapacityAndTime) {
  const uint32_t saved = CmdSock::connTimeout;
  CmdSock::connTimeout = 1;
  ScriptedPeer peer([](ScriptedPeer::Connection& c) {
    EXPECT_EQ(c.Line(), "check <a@x>");
    EXPECT_EQ(c.Line(), "check <b@x>");
    c.Send("238 <a@x>\r\n200 ready\r\nno digits\r\n  -5 signed\r\n");
    c.Line();  // after the silence
    c.Send("2" + std::string(508, 'x') + "\r\n" + std::string(510, 'y') + "\r\n");
    c.Line();
    c.Send(std::string(4095, 'z'));
    c.Line();
  });
  CmdSock s;
  ASSERT_EQ(s.Connect("localhost", peer.port()), 1);  // a name, looked up
  ASSERT_EQ(s.WriteLine("check <a@x>\r\ncheck <b@x>\r\n"), 1);
  using Line = std::tuple<int, std::string, int32_t>;
  for (const Line& expected : {Line{1, "238 <a@x>", 238}, Line{1, "200 ready", 200},
                               Line{1, "no digits", 0}, Line{1, "  -5 signed", -5}}) {
    EXPECT_EQ(Read(s), expected);
  }
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Read(s), Line(0, "", 0));  // silence for the time-out
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
  ASSERT_EQ(s.WriteLine("more\r\n"), 1);
  EXPECT_EQ(Read(s, 510), Line(1, "2" + std::string(508, 'x'), 2));  // 509 characters fit in 510
  EXPECT_EQ(std::get<0>(Read(s, 510)), 0);                           // 510 do not
  ASSERT_EQ(s.WriteLine("more\r\n"), 1);
  EXPECT_EQ(std::get<0>(Read(s)), 0);  // 4095 bytes without a line end fill the buffer
  CmdSock::connTimeout = saved;

  CmdSock unknown;
  EXPECT_EQ(unknown.Connect("no-such-host.invalid", 119), 0);
  EXPECT_EQ(unknown.socket(), -1);
}

}  // namespace
