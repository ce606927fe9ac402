// Control commands on a real Tcl interpreter (the texts they hand on are the
// feeds' and incoming tests' business), the socket's file, the start-up script.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <tcl.h>

#include "base/relay_base.h"
#include "control/commands.h"
#include "control/control_socket.h"
#include "feeds/site.h"
#include "incoming/incoming_table.h"
#include "support/nntp_client.h"
#include "support/relay_instance.h"

namespace {

using Steps = std::vector<std::pair<std::string, std::string>>;

class ControlCommands : public ::testing::Test {
 protected:
  void SetUp() override {
    Load("SiteDefaultMaxIncomingConnections = 4");
    peers_ = std::make_unique<PeerTable>(&base_.config);
    targets_.base = &base_;
    targets_.peers = peers_.get();
    targets_.sites = &sites_;
    Tcl_FindExecutable(nullptr);
    interp_ = Tcl_CreateInterp();
    RegisterControlCommands(interp_, &targets_);
  }
  void TearDown() override {
    Tcl_DeleteInterp(interp_);
  }
  void Load(const std::string& config) {
    std::string text = "UpdateIncomingEntries = 0\nFavourite = blue  \n" + config;
    ASSERT_TRUE(base_.config.LoadConfigFile(dir_.Write("relay.conf", text).c_str()));
  }
  void Expect(const Steps& steps) {
    for (const auto& [command, expected] : steps) {
      int code = Tcl_Eval(interp_, command.c_str());
      EXPECT_EQ(std::string(code == TCL_OK ? "ok: " : "error: ") + Tcl_GetStringResult(interp_), expected) << command;
    }
  }
  TempDir dir_;
  RelayBase base_;
  std::unique_ptr<PeerTable> peers_;
  Distributions distributions_{&base_};
  History history_{&base_};  // never opened: no feeder is made here
  ArticleSpool spool_{&base_};
  SiteTable sites_{&base_, &distributions_, &history_, &spool_};
  ControlTargets targets_;
  Tcl_Interp* interp_ = nullptr;
};

// Peers added later take lower slots and are listed and met first; adding
// and deleting compare names exactly, the other commands without regard to case.
TEST_F(ControlCommands, IncomingConfigurationAndStatusCommands) {
  const std::string x(255, 'x');
  Expect({
      {"AddIncoming a.example", "ok: "}, {"AddIncoming A.example", "ok: "}, {"AddIncoming " + x, "ok: "},
      {"AddIncoming a.example", "error: add failed for a.example"}, {"AddIncoming", "error: "},
      {"AddIncoming " + x + "y", "error: add failed for " + x + "y"},
      {"ListIncoming extra words", "ok: " + x + " A.example a.example "},
      {"SetIncoming a.EXAMPLE STREAMING 0", "ok: "}, {"SetIncoming a.example weight 12", "ok: "},
      {"SetIncoming a.example streaming lots", "error: expected integer but got \"lots\""},
      {"SetIncoming a.example colour 1", "error: set failed for a.example"}, {"SetIncoming a b", "error: "},
      {"lindex [GetIncomingConfig a.example] 0 0", "ok: A.example"}, {"GetIncomingConfig", "error: "},
      {"lindex [GetIncomingConfig a.example] 0 1 0 1", "ok: {max_connections 4} {streaming 0}"},
      {"GetIncomingConfig b.example", "error: GetIncomingConfig failed for b.example"}, {"DelIncoming", "error: "},
      {"DelIncoming A.EXAMPLE", "error: DelIncoming failed for A.EXAMPLE"},
      {"DelIncoming A.example; DelIncoming " + x + "; DelIncoming a.example; ListIncoming", "ok: "},
      {"for {set i 1} {$i <= 255} {incr i} {AddIncoming 10.0.0.$i}; AddIncoming one.more",
       "error: add failed for one.more"},
      {"DelIncoming 10.0.0.7; AddIncoming one.more; lindex [ListIncoming] 248", "ok: one.more"},
      {"GetConfigString favourite", "ok: blue  "}, {"GetConfigString Missing", "ok: "}, {"GetConfigString", "error: "},
      {"GetWriteState", "ok: no state"}, {"GetWriteState now", "error: "}, {"GetBaseStats x", "error: "},
      {"string range [GetBaseStats] 0 10", "ok: {starttime "},
  });
}

// No feeder is started here: feeders are the feeds tests' business.
TEST_F(ControlCommands, SiteCommands) {
  const std::string usage = "error: CreateSite: invalid arguments: CreateSite siteName sitePort";
  Expect({
      {"GetSiteList", "ok: "}, {"GetSiteList x", "error: GetSiteList: invalid arguments"},
      {"GetSiteStats any words", "ok: {sites } "}, {"CreateSite news.example", usage}, {"CreateSite a 119 2 9", usage},
      {"CreateSite news.example port", "error: expected integer but got \"port\""},
      {"CreateSite news.example 563", "ok: 0"}, {"CreateSite news.example 120", "ok: 1"},  // names need not be unique
      {"CreateSite other.example 563 127", "ok: 127"},
      {"CreateSite taken.example 1 127", "error: CreateSite: slot 127 is taken by other.example"},
      {"CreateSite far.example 1 128", "error: CreateSite: slot 128 is outside 0 to 127"},
      {"CreateSite far.example 1 -1", "error: CreateSite: slot -1 is outside 0 to 127"},
      {"CreateSite far.example 1 x", "error: expected integer but got \"x\""},
      {"CreateSite far.example 65655", "error: CreateSite: port 65655 is outside 1 to 65535"},
      {"CreateSite far.example 0", "error: CreateSite: port 0 is outside 1 to 65535"},
      {"CreateSite far.example 65535 3", "ok: 3"}, {"DeleteSite far.example", "ok: "},
      {"CreateSite " + std::string(255, 'h') + " 1 2", "ok: 2"},
      {"CreateSite " + std::string(256, 'h') + " 1", "error: CreateSite: site name longer than 255 characters"},
      {"DeleteSite " + std::string(255, 'h'), "ok: "},
      {"GetSiteList", "ok: {news.example 0} {news.example 1} {other.example 127} "},
      {"GetSiteConfig", "error: "}, {"GetSiteConfig nobody", "error: Unknown site: nobody"},
      // Ranges: nothing changes on a refusal. The first of two equal names
      // is the one set; names match exactly, parameters in any case.
      {"SetSite news.example maxbacklog 19", "error: "}, {"SetSite news.example maxbacklog 200001", "error: "},
      {"SetSite news.example maxbacklog 20", "ok: "}, {"SetSite news.example MAXBACKLOG 200000", "ok: "},
      {"SetSite news.example LatencyFeedPrefetch 0", "error: "},
      {"SetSite news.example RegularFeedPrefetch 30", "error: "},
      {"SetSite news.example LatencyFeedPrefetch 1", "ok: "}, {"SetSite news.example RegularFeedPrefetch 29", "ok: "},
      {"SetSite news.example streaming 0x", "ok: "}, {"SetSite news.example nocheckn 3", "ok: "},
      {"SetSite news.example nocheckl 4", "ok: "}, {"SetSite news.example setupdateflag whatever", "ok: "},
      {"SetSite news.example port 9999", "ok: "},
      {"SetSite news.example colour 1", "error: SetSite: unknown parameter: colour"},
      {"SetSite News.example streaming 1", "ok: SetSite: site not found: News.example"},
      {"SetSite news.example streaming", "error: SetSite: invalid arguments"},
      {"SetSite news.example cancelbypass 1", "error: SetSite: no distribution set for news.example"},
      {"SetSite news.example distribution comp.*,!comp.bad", "ok: "},
      {"SetSite news.example distribution " + std::string(64, 'p'), "ok: "},  // refused, not reported
      {"SetSite news.example cancelbypass 1", "ok: "},
      {"SetSite news.example createfeeder {}", "error: feeder creation failed, is distribution set?"},
      {"SetSite news.example createfeeder ,x", "error: feeder creation failed, is distribution set?"},
      {"SetSite news.example deletefeeder 7", "ok: "},
      {"lindex [GetSiteConfig NEWS.example] 0 1 0 1", "ok: {Port 563} {LatencyFeedPrefetch 1} {RegularFeedPrefetch 29} "
                                                      "{Streaming 0} {MaxBacklog 200000} {NoCheckN 3} {NoCheckL 4} "
                                                      "{Distribution {comp.*,!comp.bad}}"},
      {"lmap s [lrange [lindex [GetSiteStats] 0] 1 end] {lindex $s 0 1}",
       "ok: news.example news.example other.example"},
      {"DeleteSite", "error: DeleteSite: invalid arguments"}, {"DeleteSite nobody", "error: Unknown site: nobody"},
      {"DeleteSite NEWS.example", "error: Unknown site: NEWS.example"},
  });
  // Feeders take up streaming, the prefetch values, nocheckn, nocheckl and
  // setupdateflag at their next batch; maxbacklog and the distribution need
  // no update. The other site of the same name was not touched.
  EXPECT_EQ(sites_.siteArray[0].load()->updateCount.load(), 6u);
  EXPECT_EQ(sites_.siteArray[0].load()->GetDistribution()->cancelBypass.load(), 1u);
  EXPECT_EQ(sites_.siteArray[1].load()->updateCount.load(), 0u);
  Expect({{"DeleteSite news.example", "ok: "}, {"GetSiteList", "ok: {news.example 1} {other.example 127} "},
          {"CreateSite third.example 1", "ok: 0"},  // the lowest free slot again
          {"for {set i 0} {$i < 125} {incr i} {CreateSite filler 1}; CreateSite one.more 1",
           "error: CreateSiteToo many sites"}});
}

// The socket's path, and its file: it takes the place of a socket file
// left by a relay that is gone, never of another kind of file or of a
// socket someone answers on, and leaves room for its staging name.
TEST_F(ControlCommands, ControlSocketReplacesOnlyAStaleSocketFile) {
  Load("HistoryTablePath = /h/");  // relay runs use a folder without the '/'
  EXPECT_EQ(ControlSocketPath(base_.config), "/h/veltrane.ctl");
  ControlSocket control(&base_);
  auto start = [&](const std::string& path) {
    Load("ControlSocket = " + path);
    return control.StartControlSocket(interp_);
  };
  auto listening = [](const std::string& path) {  // a socket file that answers
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{.sun_family = AF_UNIX, .sun_path = {}};
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    EXPECT_TRUE(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && listen(fd, 1) == 0);
    return fd;
  };
  const std::string path = dir_.Write("c", "not a socket");
  EXPECT_FALSE(start(path));
  EXPECT_EQ(ReadFile(path), "not a socket");
  const std::string longest = path + std::string(103 - path.size(), 'c');
  int live = listening(longest);
  EXPECT_FALSE(start(longest));
  close(live);  // its file stays behind
  EXPECT_FALSE(start(longest + "c"));
  EXPECT_TRUE(start(longest));
  EXPECT_FALSE(start(longest));  // its own socket answers there now
  control.StopControlSocket();
  EXPECT_FALSE(FileExists(longest));
}

// The script runs until its first error, which is logged; timers it set up
// go on firing on the interpreter thread after it has ended.
TEST(StartupScript, FailingThirdCommandKeepsTheFirstTwoAndTimersKeepFiring) {
  TempDir ticks;
  RelayInstance relay("", "AddIncoming 127.0.0.1\nproc tick {} { set f [open {" + ticks.File("t") +
                              "} a]; puts $f x; close $f; after 20 tick }\ntick\nAddIncoming 127.0.0.1\n"
                              "AddIncoming 127.0.0.2\n");
  ASSERT_TRUE(relay.WaitListening());
  ASSERT_TRUE(relay.WaitForLog(": Startup error:\n"));
  EXPECT_TRUE(relay.WaitForLog(": add failed for 127.0.0.1\n"));
  NntpClient first, third;
  ASSERT_TRUE(first.Connect("127.0.0.1", relay.port()) && third.Connect("127.0.0.1", relay.port(), "127.0.0.2"));
  EXPECT_EQ(first.Line().substr(0, 4), "200 ");
  EXPECT_EQ(third.Line().substr(0, 4), "502 ");
  EXPECT_TRUE(WaitUntil([&] { return ReadFile(ticks.File("t")).size() >= 3 * 2; }));
}

}  // namespace
