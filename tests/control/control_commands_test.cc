// The control commands on a real Tcl interpreter, with their exact results
// and errors.
#include <gtest/gtest.h>

#include <tcl.h>
#include <unistd.h>

#include "base/config.h"
#include "base/log.h"
#include "control/commands.h"
#include "control/interpreter.h"
#include "feeds/site.h"
#include "incoming/incoming_table.h"
#include "support/temp_dir.h"

namespace {

class ControlCommands : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(LoadConfigFile(dir_.Write("relay.conf", "UpdateIncomingEntries = 0\nFavourite = blue  \n").c_str()));
    IncomingInit();
    Tcl_FindExecutable(nullptr);
    interp_ = Tcl_CreateInterp();
    RegisterControlCommands(interp_);
  }
  void TearDown() override {
    Tcl_DeleteInterp(interp_);
    for (std::atomic<Site*>& slot : siteArray) slot = nullptr;
  }

  // "ok: <result>" or "error: <result>".
  std::string Eval(const std::string& script) {
    int code = Tcl_Eval(interp_, script.c_str());
    return std::string(code == TCL_OK ? "ok: " : "error: ") + Tcl_GetStringResult(interp_);
  }

  TempDir dir_;
  Tcl_Interp* interp_ = nullptr;
};

TEST_F(ControlCommands, IncomingPeerCommands) {
  EXPECT_EQ(Eval("ListIncoming"), "ok: ");
  EXPECT_EQ(Eval("AddIncoming 192.0.2.1"), "ok: ");
  EXPECT_EQ(Eval("AddIncoming 192.0.2.2"), "ok: ");
  EXPECT_EQ(Eval("AddIncoming 192.0.2.1"), "error: add failed for 192.0.2.1");
  EXPECT_EQ(Eval("AddIncoming"), "error: ");
  EXPECT_EQ(Eval("AddIncoming a b"), "error: ");
  EXPECT_EQ(Eval("ListIncoming extra words"), "ok: 192.0.2.2 192.0.2.1 ");

  EXPECT_EQ(Eval("SetIncoming 192.0.2.1 max_connections 3"), "ok: ");
  EXPECT_EQ(Eval("SetIncoming 192.0.2.1 weight 12"), "ok: ");
  EXPECT_EQ(Eval("SetIncoming 192.0.2.1 streaming lots"), "error: expected integer but got \"lots\"");
  EXPECT_EQ(Eval("SetIncoming 192.0.2.1 colour 1"), "error: set failed for 192.0.2.1");
  EXPECT_EQ(Eval("SetIncoming 192.0.2.9 streaming 1"), "error: set failed for 192.0.2.9");
  EXPECT_EQ(Eval("SetIncoming 192.0.2.1 streaming"), "error: ");
  EXPECT_EQ(Eval("GetIncomingConfig 192.0.2.1"),
            "ok: {192.0.2.1 {{parameters {{max_connections 3} {streaming 1}}} {statistics {{accepts 0} "
            "{refuse 0} {reject 0} {precommit_saves 0} {connected 0} {connects 0}}}}}");
  EXPECT_EQ(Eval("GetIncomingConfig 192.0.2.9"), "error: GetIncomingConfig failed for 192.0.2.9");
  EXPECT_EQ(Eval("GetIncomingConfig"), "error: ");

  EXPECT_EQ(Eval("DelIncoming 192.0.2.1"), "ok: ");
  EXPECT_EQ(Eval("DelIncoming 192.0.2.1"), "error: DelIncoming failed for 192.0.2.1");
  EXPECT_EQ(Eval("rename DelIncoming Forget; Forget nobody"), "error: Forget failed for nobody");
  EXPECT_EQ(Eval("ListIncoming"), "ok: 192.0.2.2 ");
}

TEST_F(ControlCommands, ConfigurationAndStatusCommands) {
  EXPECT_EQ(Eval("GetConfigString favourite"), "ok: blue  ");
  EXPECT_EQ(Eval("GetConfigString Missing"), "ok: ");
  EXPECT_EQ(Eval("GetConfigString"), "error: ");
  EXPECT_EQ(Eval("GetWriteState"), "ok: no state");
  EXPECT_EQ(Eval("GetWriteState now"), "error: ");
  EXPECT_EQ(Eval("GetBaseStats x"), "error: ");
  std::string base = Eval("GetBaseStats");
  EXPECT_EQ(base.rfind("ok: {starttime ", 0), 0u) << base;
  EXPECT_TRUE(base.ends_with("{total_accept 0} {total_refuse 0} {total_reject 0}\r\n")) << base;
}

// Sites are created, set, reported and deleted as the commands specify. No
// feeder is started here (feeders are the feeds tests' business).
TEST_F(ControlCommands, SiteCommands) {
  const std::string stats0 =
      "{site news.example} {accepts 0} {refused 0} {rejects 0} {articles_per_second 0.0000} {elapsed_time 0} "
      "{flagged_for 0} {inpath 0} {connects 0}";
  const std::string config0 =
      "{news.example {{parameters {{Port 119} {LatencyFeedPrefetch 5} {RegularFeedPrefetch 20} {Streaming 1} "
      "{MaxBacklog 5000} {NoCheckN 0} {NoCheckL 0} {Distribution {not-set-yet}}}} {feeders {}} {statistics {" +
      stats0 + "}}}}";
  const std::string longPattern(64, 'p');
  const std::pair<std::string, std::string> steps[] = {
      {"GetSiteList", "ok: "},
      {"GetSiteList x", "error: GetSiteList: invalid arguments"},
      {"GetSiteStats any words", "ok: {sites } "},
      {"CreateSite news.example", "error: CreateSite: invalid arguments: CreateSite siteName sitePort"},
      {"CreateSite a 119 2 9", "error: CreateSite: invalid arguments: CreateSite siteName sitePort"},
      {"CreateSite news.example port", "error: expected integer but got \"port\""},
      {"CreateSite news.example 119", "ok: 0"},
      {"CreateSite news.example 120", "ok: 1"},  // names need not be unique
      {"CreateSite other.example 563 5", "ok: 5"},
      {"CreateSite taken.example 1 5", "error: CreateSite: slot 5 is taken by other.example"},
      {"CreateSite far.example 1 128", "error: CreateSite: slot 128 is outside 0 to 127"},
      {"CreateSite far.example 1 -1", "error: CreateSite: slot -1 is outside 0 to 127"},
      {"CreateSite " + std::string(256, 'h') + " 1", "error: CreateSite: site name longer than 255 characters"},
      {"GetSiteList", "ok: {news.example 0} {news.example 1} {other.example 5} "},
      {"GetSiteConfig NEWS.example", "ok: " + config0},
      {"GetSiteConfig", "error: "},
      {"GetSiteConfig nobody", "error: Unknown site: nobody"},
      // Ranges: nothing changes on a refusal. The first of two equal names
      // is the one set; names match exactly, parameters in any case.
      {"SetSite news.example maxbacklog 19", "error: "},
      {"SetSite news.example maxbacklog 200001", "error: "},
      {"SetSite news.example MaxBacklog -5", "error: "},
      {"SetSite news.example maxbacklog 20", "ok: "},
      {"SetSite news.example MAXBACKLOG 200000", "ok: "},
      {"SetSite news.example LatencyFeedPrefetch 0", "error: "},
      {"SetSite news.example latencyfeedprefetch 30", "error: "},
      {"SetSite news.example LatencyFeedPrefetch 1", "ok: "},
      {"SetSite news.example RegularFeedPrefetch 29", "ok: "},
      {"SetSite news.example streaming 0x", "ok: "},
      {"SetSite news.example nocheckn 3", "ok: "},
      {"SetSite news.example nocheckl 4", "ok: "},
      {"SetSite news.example setupdateflag whatever", "ok: "},
      {"SetSite news.example port 9999", "ok: "},
      {"SetSite news.example colour 1", "error: SetSite: unknown parameter: colour"},
      {"SetSite News.example streaming 1", "ok: SetSite: site not found: News.example"},
      {"SetSite news.example streaming", "error: SetSite: invalid arguments"},
      {"SetSite news.example createfeeder x", "error: feeder creation failed, is distribution set?"},
      {"SetSite news.example cancelbypass 1", "error: SetSite: no distribution set for news.example"},
      {"SetSite news.example distribution comp.*,!comp.bad", "ok: "},
      {"SetSite news.example distribution " + longPattern, "ok: "},  // refused, not reported
      {"SetSite news.example cancelbypass 1", "ok: "},
      {"SetSite news.example createfeeder {}", "error: feeder creation failed, is distribution set?"},
      {"SetSite news.example deletefeeder 7", "ok: "},
      {"GetSiteConfig news.example",
       "ok: {news.example {{parameters {{Port 119} {LatencyFeedPrefetch 1} {RegularFeedPrefetch 29} {Streaming 0} "
       "{MaxBacklog 200000} {NoCheckN 3} {NoCheckL 4} {Distribution {comp.*,!comp.bad}}}} {feeders {}} {statistics {" +
           stats0 + "}}}}"},
      {"GetSiteStats", "ok: {sites {" + stats0 + "} {" + stats0 + "} {" +
                           std::string(stats0).replace(6, 12, "other.example") + "}} "},
      {"DeleteSite", "error: DeleteSite: invalid arguments"},
      {"DeleteSite nobody", "error: Unknown site: nobody"},
      {"DeleteSite news.example", "ok: "},
      {"GetSiteList", "ok: {news.example 1} {other.example 5} "},
      {"CreateSite third.example 1", "ok: 0"},  // the lowest free slot again
  };
  Site* first = nullptr;
  for (const auto& [command, expected] : steps) {
    EXPECT_EQ(Eval(command), expected) << command;
    if (first == nullptr) first = siteArray[0].load();
  }
  // The parameters that feeders take up at their next batch raised the
  // update count (streaming, the two prefetch values, nocheckn, nocheckl,
  // setupdateflag); maxbacklog and the distribution did not. The other
  // site of the same name was not touched.
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->updateCount.load(), 6u);
  EXPECT_EQ(first->GetDistribution()->cancelBypass.load(), 1u);
  EXPECT_EQ(siteArray[1].load()->updateCount.load(), 0u);
  for (int i = 0; i < 128; i++) Eval("CreateSite filler 1");
  EXPECT_EQ(Eval("CreateSite one.more 1"), "error: CreateSiteToo many sites");
}

TEST_F(ControlCommands, StartupScriptDefaultsToInitTclAndLogsItsError) {
  ASSERT_TRUE(LoadConfigFile(dir_.Write("script.conf", "LogDirectory = " + dir_.path() + "\n").c_str()));
  console_init();
  dir_.Write("init.tcl", "AddIncoming 192.0.2.7\nAddIncoming 192.0.2.8\nNoSuchCommand now\nAddIncoming 192.0.2.9\n");
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir(dir_.path().c_str()), 0);
  Tcl_Interp* interp = RunStartupScript();
  ASSERT_EQ(chdir(cwd), 0);
  Tcl_DeleteInterp(interp);
  LogLine(nullptr);
  EXPECT_EQ(ListIncoming(), "192.0.2.8 192.0.2.7 ");
  std::string log = ReadFile(dir_.File("veltrane.log"));
  EXPECT_NE(log.find(": Startup error:\n"), std::string::npos) << log;
  EXPECT_NE(log.find(": invalid command name \"NoSuchCommand\"\n"), std::string::npos) << log;
}

}  // namespace
