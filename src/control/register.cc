#include "control/commands.h"

namespace {

struct ControlCommand {
  const char* name;
  Tcl_CmdProc* handler;
};

// Registered in this order.
constexpr ControlCommand kControlCommands[] = {
    {"CreateSite", Tcl_CreateSite},
    {"DeleteSite", Tcl_DeleteSite},
    {"GetSiteStats", Tcl_ReturnSiteStatsString},
    {"GetSiteConfig", Tcl_ReturnSiteConfigString},
    {"SetSite", Tcl_SetSiteParam},
    {"AddIncoming", Tcl_AddIncoming},
    {"SetIncoming", Tcl_SetIncoming},
    {"DelIncoming", Tcl_DelIncoming},
    {"GetSiteList", Tcl_GetSiteList},
    {"ListIncoming", Tcl_ListIncoming},
    {"GetIncomingConfig", Tcl_GetIncomingConfig},
    {"GetConfigString", Tcl_GetConfigString},
    {"GetBaseStats", Tcl_GetBaseStatsString},
    {"GetWriteState", Tcl_GetWriteState},
};

}  // namespace

void RegisterControlCommands(Tcl_Interp* interp, const ControlTargets* targets) {
  for (const ControlCommand& c : kControlCommands) {
    Tcl_CreateCommand(interp, c.name, c.handler, const_cast<ControlTargets*>(targets), nullptr);
  }
}
