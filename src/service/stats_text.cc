#include "service/stats_text.h"

#include "base/stats.h"
#include "feeds/site.h"
#include "incoming/incoming_table.h"

std::string GetStatsString(PeerTable& peers) {
  std::string out;
  out.reserve(4096);
  out += BaseStatsGroups();
  out += SeenStatsGroups();
  out += ReturnSiteStatsString();
  out += peers.ReturnIncomingStatsString();
  out += "\r\n";
  return out;
}
