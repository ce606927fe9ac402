// The fourteen control commands of the relay's Tcl interpreter. Every
// handler is a Tcl string command procedure; results are built with
// Tcl_AppendResult and Tcl_AppendElement, and an error "without a message"
// leaves the result empty.
#pragma once
#include <functional>
#include <tcl.h>

class Listener;
class PeerTable;
class SiteTable;
struct RelayBase;

// What the commands act on: the relay's objects, lent to the interpreter
// for its life. Each handler receives it as its ClientData.
struct ControlTargets {
  RelayBase* base = nullptr;  // the configuration, the log and the counters
  PeerTable* peers = nullptr;
  SiteTable* sites = nullptr;
  Listener* listener = nullptr;  // its intake opens once the start-up script has run
  // What "exit ?code?" does: by default the process ends at once with the
  // code; the relay sets here a request for its stop sequence, so that
  // everything is written back first. It must not wait for the stop
  // (which ends the interpreter thread and unwinds a script still running).
  std::function<void(int code)> exit;
};

#define VELTRANE_TCL_HANDLER(name) \
  int name([[maybe_unused]] ClientData data, Tcl_Interp* interp, int argc, const char* argv[])

// The targets a handler was registered with.
inline const ControlTargets& Targets(ClientData data) { return *static_cast<const ControlTargets*>(data); }

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

// Registers the fourteen commands in their fixed order, acting on
// `targets`, which must outlive the interpreter.
void RegisterControlCommands(Tcl_Interp* interp, const ControlTargets* targets);
