#include "service/stats_text.h"

#include "base/relay_base.h"
#include "feeds/site.h"
#include "incoming/incoming_table.h"

std::string GetStatsString(const RelayBase& base, PeerTable& peers, SiteTable& sites) {
  std::string out;
  out.reserve(4096);
  out += BaseStatsGroups(base.stats, base.log.StartTime());
  out += SeenStatsGroups(base.stats);
  out += sites.ReturnSiteStatsString();
  out += peers.ReturnIncomingStatsString();
  out += "\r\n";
  return out;
}
