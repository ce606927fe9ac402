// The connection thread's reads and replies: replies to pipelined commands
// go out complete and in order however they are batched, replies chosen
// before the connection ends still reach the peer, and the read time-out
// ends a silent peer's connection.
#include <gtest/gtest.h>

#include <string>

#include "support/nntp_client.h"
#include "support/relay_instance.h"

namespace {

std::string Id(int n) { return "<pipelined." + std::to_string(n) + "@test>"; }

TEST(ReplyBatching, PipelinedRepliesComeInOrderAndBeforeTheEnd) {
  RelayInstance relay("", "AddIncoming 127.0.0.1");
  ASSERT_TRUE(relay.WaitReady());

  // More replies than fit in one batch, sent as one stream, then quit.
  NntpClient client;
  ASSERT_TRUE(client.Connect("127.0.0.1", relay.port()));
  ASSERT_EQ(client.Line().substr(0, 4), "200 ");
  std::string commands;
  const int kChecks = 600;  // about 20 KiB of replies
  for (int i = 0; i < kChecks; i++) commands += "check " + Id(i) + "\r\n";
  commands += "article <x@y>\r\nssp\r\nquit\r\n";
  ASSERT_TRUE(client.Send(commands));
  for (int i = 0; i < kChecks; i++) ASSERT_EQ(client.Line(), "238 " + Id(i)) << i;
  EXPECT_EQ(client.Line(), "500 invalid command");
  EXPECT_EQ(client.Line().rfind("{starttime ", 0), 0u);
  EXPECT_EQ(client.Line(), "205 Goodbye");
  EXPECT_TRUE(client.WaitClosed());

  // mode reader ends the connection without a reply of its own, but the
  // replies to the commands before it are delivered.
  NntpClient reader;
  ASSERT_TRUE(reader.Connect("127.0.0.1", relay.port()));
  ASSERT_EQ(reader.Line().substr(0, 4), "200 ");
  ASSERT_TRUE(reader.Send("check <r1@test>\r\ncheck <pipelined.0@test>\r\nmode reader\r\ncheck <r2@test>\r\n"));
  EXPECT_EQ(reader.Line(), "238 <r1@test>");
  EXPECT_EQ(reader.Line(), "431 <pipelined.0@test>");  // still in transfer from the first connection
  EXPECT_TRUE(reader.WaitClosed());
  EXPECT_EQ(reader.Line(std::chrono::milliseconds(10)), "");
}

TEST(ReplyBatching, SilentPeerIsTimedOut) {
  RelayInstance relay("IncomingReadTimeout = 1", "AddIncoming 127.0.0.1");
  ASSERT_TRUE(relay.WaitReady());
  NntpClient idle;
  ASSERT_TRUE(idle.Connect("127.0.0.1", relay.port()));
  ASSERT_EQ(idle.Line().substr(0, 4), "200 ");
  // A command answered just before the silence gets its reply first.
  ASSERT_TRUE(idle.SendLine("check <idle@test>"));
  EXPECT_EQ(idle.Line(), "238 <idle@test>");
  EXPECT_TRUE(idle.WaitClosed(std::chrono::milliseconds(10000)));
  EXPECT_TRUE(relay.WaitForLog("read timeout for connection 127.0.0.1"));

  // Silent in the middle of an article: closed without a reply.
  NntpClient partial;
  ASSERT_TRUE(partial.Connect("127.0.0.1", relay.port()));
  ASSERT_EQ(partial.Line().substr(0, 4), "200 ");
  ASSERT_TRUE(partial.Send("takethis <partial@test>\r\nPath: a!b\r\nNewsgroups: x\r\n"));
  EXPECT_TRUE(partial.WaitClosed(std::chrono::milliseconds(10000)));
  EXPECT_EQ(partial.Line(std::chrono::milliseconds(10)), "");
}

}  // namespace
