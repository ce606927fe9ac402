// The listener: accepts connections on the relay's one listening socket,
// admits listed peers within the system-wide and per-peer limits, greets
// them and starts a thread per admitted connection.
#pragma once
#include <cstdint>
#include <string>

// The system-wide connection limit (MaxIncomingConnections, default 350).
extern uint32_t MaxConnections;

struct Intake;

// Listens on ListenAddress:ListenPort (defaults: all addresses of both
// families, port 119)
// and serves connections from the moment OpenIntake is called until
// StopListener: a peer that connects earlier waits in the listening queue
// for its greeting. Returns 0 when the listening socket cannot be set up,
// 1 when the listener has stopped.
// Connections borrow `intake` (client_context.h).
int DoConnections(const Intake& intake);

// Stops the listener without waiting: no connection is accepted any more
// and DoConnections returns. From any thread.
void StopListener();

// Stops the listener, waits until DoConnections has returned, ends every
// admitted connection and joins its thread. After it the listener may be
// started again, its gate closed until OpenIntake.
void EndConnections();

// Lets the listener admit peers (once the sites exist to flag articles
// for). Stays open for the life of the process.
void OpenIntake();

// The texts the listener sends: a configured text when present and not
// longer than `limit`, else the built-in one.
std::string GreetingText();
std::string RefusalText(const char* key, const char* builtIn);
