// The control commands on a real Tcl interpreter, with their exact results
// and errors.
#include <gtest/gtest.h>

#include <tcl.h>
#include <unistd.h>

#include "base/config.h"
#include "base/log.h"
#include "control/commands.h"
#include "control/interpreter.h"
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
  void TearDown() override { Tcl_DeleteInterp(interp_); }

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

TEST_F(ControlCommands, SiteCommandsAnswerForAnEmptyTable) {
  EXPECT_EQ(Eval("GetSiteList"), "ok: ");
  EXPECT_EQ(Eval("GetSiteList x"), "error: GetSiteList: invalid arguments");
  EXPECT_EQ(Eval("GetSiteStats any words"), "ok: {sites } ");
  EXPECT_EQ(Eval("CreateSite news.example"), "error: CreateSite: invalid arguments: CreateSite siteName sitePort");
  EXPECT_EQ(Eval("CreateSite a 119 2 9"), "error: CreateSite: invalid arguments: CreateSite siteName sitePort");
  EXPECT_EQ(Eval("CreateSite news.example port"), "error: expected integer but got \"port\"");
  EXPECT_EQ(Eval("DeleteSite news.example"), "error: Unknown site: news.example");
  EXPECT_EQ(Eval("DeleteSite"), "error: DeleteSite: invalid arguments");
  EXPECT_EQ(Eval("GetSiteConfig news.example"), "error: Unknown site: news.example");
  EXPECT_EQ(Eval("GetSiteConfig"), "error: ");
  EXPECT_EQ(Eval("SetSite news.example maxbacklog 100"), "ok: SetSite: site not found: news.example");
  EXPECT_EQ(Eval("SetSite news.example maxbacklog"), "error: SetSite: invalid arguments");
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
