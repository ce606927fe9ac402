// The listener: accepts connections on the relay's one listening socket,
// admits listed peers within the system-wide and per-peer limits, greets
// them and starts a thread per admitted connection, which it owns.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include "base/config.h"
#include "platform/threads.h"

struct Intake;
struct _clientcontext;

class Listener {
 public:
  // Admitted connections share `intake` (client_context.h), which must
  // outlive the listener.
  explicit Listener(Intake* intake) : intake_(intake) {}
  ~Listener() { EndConnections(); }
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  // Listens on ListenAddress:ListenPort (defaults: all addresses of both
  // families, port 119) and serves connections from the moment OpenIntake
  // is called until StopListener: a peer that connects earlier waits in the
  // listening queue for its greeting. Returns 0 when the listening socket
  // cannot be set up, 1 when the listener has stopped.
  int DoConnections();

  // Lets the listener admit peers (once the sites exist to flag articles
  // for).
  void OpenIntake();

  // Stops the listener without waiting: no connection is accepted any more
  // and DoConnections returns. From any thread.
  void StopListener();

  // Stops the listener, waits until DoConnections has returned, ends every
  // admitted connection and joins its thread. After it the listener may be
  // started again, its gate closed until OpenIntake.
  void EndConnections();

 private:
  bool WaitForIntake();
  bool Stopping();
  int AcceptNext(int listener, struct sockaddr_storage* peer);
  void Admit(int sock, const struct sockaddr_storage& peer, const std::string& greeting);

  Intake* const intake_;
  // The system-wide connection limit (MaxIncomingConnections, default 350).
  uint32_t maxConnections_ = 350;
  // The intake gate, the listening socket and the stop, under mu_.
  std::mutex mu_;
  std::condition_variable cv_;
  bool intakeOpen_ = false;
  bool stopping_ = false;
  int listening_ = -1;
  bool serving_ = false;  // DoConnections runs: EndConnections waits for it to return
  ThreadSet connectionThreads_;
};

// The texts the listener sends: a configured text when present and not
// longer than `limit`, else the built-in one.
std::string GreetingText(const Config& config);
std::string RefusalText(const Config& config, const char* key, const char* builtIn);
