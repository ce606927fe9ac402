// The full statistics text: the relay-wide counters, the seen database, the
// outgoing sites and the incoming peers, as one Tcl list.
#pragma once
#include <string>

class PeerTable;
class SiteTable;
struct RelayBase;

// The "ssp" reply: BaseStatsGroups, SeenStatsGroups, the sites' and the
// incoming peers' texts, then "\r\n".
std::string GetStatsString(const RelayBase& base, PeerTable& peers, SiteTable& sites);
