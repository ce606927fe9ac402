// Control commands for the incoming peers, the configuration and the status.
#include <string>

#include "base/relay_base.h"
#include "control/commands.h"
#include "incoming/incoming_table.h"

VELTRANE_TCL_HANDLER(Tcl_AddIncoming) {
  if (argc != 2) return TCL_ERROR;
  if (!Targets(data).peers->AddIncoming(argv[1])) {
    Tcl_AppendResult(interp, "add failed for ", argv[1], nullptr);
    return TCL_ERROR;
  }
  return TCL_OK;
}

VELTRANE_TCL_HANDLER(Tcl_SetIncoming) {
  if (argc != 4) return TCL_ERROR;
  int value = 0;
  if (Tcl_GetInt(interp, argv[3], &value) != TCL_OK) return TCL_ERROR;
  if (!Targets(data).peers->SetIncomingParameter(argv[1], argv[2], value)) {
    Tcl_AppendResult(interp, "set failed for ", argv[1], nullptr);
    return TCL_ERROR;
  }
  return TCL_OK;
}

VELTRANE_TCL_HANDLER(Tcl_DelIncoming) {
  if (argc != 2) return TCL_ERROR;
  if (!Targets(data).peers->DelIncoming(argv[1])) {
    Tcl_AppendResult(interp, argv[0], " failed for ", argv[1], nullptr);
    return TCL_ERROR;
  }
  return TCL_OK;
}

VELTRANE_TCL_HANDLER(Tcl_ListIncoming) {
  (void)argc;
  (void)argv;
  std::string list = Targets(data).peers->ListIncoming();
  Tcl_AppendResult(interp, list.c_str(), nullptr);
  return TCL_OK;
}

VELTRANE_TCL_HANDLER(Tcl_GetIncomingConfig) {
  if (argc != 2) return TCL_ERROR;
  std::string text;
  if (!Targets(data).peers->GetIncomingConfig(argv[1], &text)) {
    Tcl_AppendResult(interp, argv[0], " failed for ", argv[1], nullptr);
    return TCL_ERROR;
  }
  Tcl_AppendResult(interp, text.c_str(), nullptr);
  return TCL_OK;
}

VELTRANE_TCL_HANDLER(Tcl_GetConfigString) {
  if (argc != 2) return TCL_ERROR;
  const char* value = Targets(data).base->config.GetConfigString(argv[1]);
  if (value != nullptr) Tcl_AppendResult(interp, value, nullptr);
  return TCL_OK;
}

VELTRANE_TCL_HANDLER(Tcl_GetBaseStatsString) {
  (void)argv;
  if (argc != 1) return TCL_ERROR;
  const RelayBase& base = *Targets(data).base;
  std::string text = GetBaseStatsString(base.stats, base.log.StartTime());
  Tcl_AppendResult(interp, text.c_str(), nullptr);
  return TCL_OK;
}

// The relay keeps no write state; the command always reports none.
VELTRANE_TCL_HANDLER(Tcl_GetWriteState) {
  (void)argv;
  if (argc != 1) return TCL_ERROR;
  Tcl_AppendResult(interp, "no state", nullptr);
  return TCL_OK;
}
