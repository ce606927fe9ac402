// The fourteen control commands of the relay's Tcl interpreter. Every
// handler is a Tcl string command procedure; results are built with
// Tcl_AppendResult and Tcl_AppendElement, and an error "without a message"
// leaves the result empty.
#pragma once
#include <tcl.h>

#define VELTRANE_TCL_HANDLER(name) int name(ClientData, Tcl_Interp* interp, int argc, const char* argv[])

// Site commands.
VELTRANE_TCL_HANDLER(Tcl_CreateSite);
VELTRANE_TCL_HANDLER(Tcl_DeleteSite);
VELTRANE_TCL_HANDLER(Tcl_ReturnSiteStatsString);
VELTRANE_TCL_HANDLER(Tcl_ReturnSiteConfigString);
VELTRANE_TCL_HANDLER(Tcl_SetSiteParam);
VELTRANE_TCL_HANDLER(Tcl_GetSiteList);

// Incoming peer, configuration and status commands.
VELTRANE_TCL_HANDLER(Tcl_AddIncoming);
VELTRANE_TCL_HANDLER(Tcl_SetIncoming);
VELTRANE_TCL_HANDLER(Tcl_DelIncoming);
VELTRANE_TCL_HANDLER(Tcl_ListIncoming);
VELTRANE_TCL_HANDLER(Tcl_GetIncomingConfig);
VELTRANE_TCL_HANDLER(Tcl_GetConfigString);
VELTRANE_TCL_HANDLER(Tcl_GetBaseStatsString);
VELTRANE_TCL_HANDLER(Tcl_GetWriteState);

// Registers the fourteen commands in their fixed order.
void RegisterControlCommands(Tcl_Interp* interp);
