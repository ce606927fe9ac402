#include "feeds/site_stats.h"

// No outgoing sites exist yet: the table is always empty.
std::string ReturnSiteStatsString() { return "{sites } "; }
