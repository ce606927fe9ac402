// The interpreter thread of the real relay: the script's effects, its error
// and its timers that outlive it.
#include <gtest/gtest.h>

#include "support/nntp_client.h"
#include "support/relay_instance.h"

namespace {

TEST(StartupScript, FailingThirdCommandKeepsTheFirstTwoAndTimersKeepFiring) {
  TempDir ticks;
  std::string tickFile = ticks.File("ticks");
  RelayInstance relay("",
                      "AddIncoming 127.0.0.1\n"
                      "proc tick {} { set f [open {" + tickFile + "} a]; puts $f x; close $f; after 20 tick }\n"
                      "tick\n"
                      "AddIncoming 127.0.0.1\n"
                      "AddIncoming 127.0.0.2\n");
  ASSERT_TRUE(relay.WaitListening());
  ASSERT_TRUE(relay.WaitForLog(": Startup error:\n"));
  EXPECT_TRUE(relay.WaitForLog(": add failed for 127.0.0.1\n"));
  EXPECT_FALSE(FileExists(relay.dir().File("script-done")));

  NntpClient first, fifth;
  ASSERT_TRUE(first.Connect("127.0.0.1", relay.port()));
  EXPECT_EQ(first.Line().substr(0, 4), "200 ");
  ASSERT_TRUE(fifth.Connect("127.0.0.1", relay.port(), "127.0.0.2"));
  EXPECT_EQ(fifth.Line().substr(0, 4), "502 ");

  // The timer re-arms itself on the interpreter thread after the script ended.
  EXPECT_TRUE(WaitUntil([&] { return ReadFile(tickFile).size() >= 10 * 2; }));
}

}  // namespace
