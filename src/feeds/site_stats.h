// Statistics text of the outgoing sites, part of the full statistics.
#pragma once
#include <string>

// "{sites " then "{<site statistics>} " for each site in table order, then
// "} ".
std::string ReturnSiteStatsString();
