// Statistics text of the incoming peers, part of the full statistics.
#pragma once
#include <string>

// "{incoming " then one item per listed peer, then "} ".
std::string ReturnIncomingStatsString();
