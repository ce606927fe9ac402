#include "service/stats_text.h"

#include "base/stats.h"
#include "feeds/site.h"
#include "incoming/incoming_table.h"

std::string GetStatsString(PeerTable& peers, SiteTable& sites) {
  std::string out;
  out.reserve(4096);
  out += BaseStatsGroups();
  out += SeenStatsGroups();
  out += sites.ReturnSiteStatsString();
  out += peers.ReturnIncomingStatsString();
  out += "\r\n";
  return out;
}
