// The listener: accepts connections on the relay's one listening socket,
// admits listed peers within the system-wide and per-peer limits, greets
// them and starts a thread per admitted connection.
#pragma once
#include <cstdint>
#include <string>

#include "platform/net_address.h"

// The system-wide connection limit (MaxIncomingConnections, default 350).
extern uint32_t MaxConnections;

// Where the listener listens: ListenAddress and ListenPort.
struct ListenEndpoint {
  SocketAddress address;
  uint16_t port = 119;
  bool dualStack = false;  // "::": IPv4 peers too, seen as their IPv4 addresses
  bool unset = false;      // no ListenAddress: "::", or 0.0.0.0 without IPv6
};

// Reads ListenAddress (an IPv4 or IPv6 address, brackets allowed; none is
// "::", every address of both families) and ListenPort (default 119).
// False when ListenAddress is not an address.
bool ParseListenEndpoint(ListenEndpoint* endpoint);

// Listens on ListenAddress:ListenPort (defaults: all addresses, port 119)
// and serves connections for ever, from the moment OpenIntake is called:
// a peer that connects earlier waits in the listening queue for its
// greeting. Returns 0 when the listening socket cannot be set up.
int DoConnections();

// Lets the listener admit peers (once the sites exist to flag articles
// for). Stays open for the life of the process.
void OpenIntake();

// The texts the listener sends: a configured text when present and not
// longer than `limit`, else the built-in one.
std::string GreetingText();
std::string RefusalText(const char* key, const char* builtIn);
