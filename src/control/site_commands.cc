// Control commands for the outgoing sites. The site table is empty until
// outgoing feeds exist: every command answers as for an empty table, and
// CreateSite, having checked its arguments, refuses to create a site.
#include "control/commands.h"
#include "feeds/site_stats.h"

VELTRANE_TCL_HANDLER(Tcl_CreateSite) {
  if (argc != 3 && argc != 4) {
    Tcl_AppendResult(interp, argv[0], ": invalid arguments: ", argv[0], " siteName sitePort", nullptr);
    return TCL_ERROR;
  }
  int slot = 0, port = 0;
  if (argc == 4 && Tcl_GetInt(interp, argv[3], &slot) != TCL_OK) return TCL_ERROR;
  if (Tcl_GetInt(interp, argv[2], &port) != TCL_OK) return TCL_ERROR;
  Tcl_AppendResult(interp, argv[0], ": outgoing sites are not available in this version", nullptr);
  return TCL_ERROR;
}

VELTRANE_TCL_HANDLER(Tcl_DeleteSite) {
  if (argc != 2) {
    Tcl_AppendResult(interp, argv[0], ": invalid arguments", nullptr);
    return TCL_ERROR;
  }
  Tcl_AppendResult(interp, "Unknown site: ", argv[1], nullptr);
  return TCL_ERROR;
}

VELTRANE_TCL_HANDLER(Tcl_ReturnSiteStatsString) {
  (void)argc;
  (void)argv;
  Tcl_AppendResult(interp, "{sites } ", nullptr);
  return TCL_OK;
}

VELTRANE_TCL_HANDLER(Tcl_ReturnSiteConfigString) {
  if (argc != 2) return TCL_ERROR;
  Tcl_AppendResult(interp, "Unknown site: ", argv[1], nullptr);
  return TCL_ERROR;
}

VELTRANE_TCL_HANDLER(Tcl_SetSiteParam) {
  if (argc != 4) {
    Tcl_AppendResult(interp, argv[0], ": invalid arguments", nullptr);
    return TCL_ERROR;
  }
  Tcl_AppendResult(interp, argv[0], ": site not found: ", argv[1], nullptr);
  return TCL_OK;
}

VELTRANE_TCL_HANDLER(Tcl_GetSiteList) {
  if (argc != 1) {
    Tcl_AppendResult(interp, argv[0], ": invalid arguments", nullptr);
    return TCL_ERROR;
  }
  return TCL_OK;
}
