// What every subsystem of one relay shares: its configuration, its log and
// its counters.
//
// Ownership: the Relay owns one RelayBase and lends every subsystem a
// pointer to it; the Relay stops and destroys its subsystems before the
// base, so the pointer stays valid for as long as a subsystem can use it.
// A test builds a RelayBase of its own for the subsystems it tries.
#pragma once
#include "base/config.h"
#include "base/log.h"
#include "base/stats.h"

struct RelayBase {
  Config config;
  Log log;
  RelayStats stats;
};
