#include "incoming/incoming_stats.h"

// No incoming peer table exists yet: the table is always empty.
std::string ReturnIncomingStatsString() { return "{incoming } "; }
