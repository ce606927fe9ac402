// The control socket: a Unix-domain stream socket through which an operator
// (veltrane-ctl) runs commands in the control interpreter of a running
// relay.
//
// Wire format. The client sends lines (LF or CR LF ended); each line is one
// Tcl command, run in the interpreter's global scope on the interpreter's
// own thread, one after another. Every command gets one reply frame:
//   "<status> <length>\n" then exactly <length> bytes of text
// with status 200 (the command's result), 500 (its error message) or 400
// (the socket refused: a peer of another user, too many clients, a line
// over kControlLineLimit bytes, or silence over kControlIdleSeconds; the
// connection is closed after it).
//
// Bounds: kControlClients connections at once; a command that runs longer
// than kControlCommandSeconds is stopped with an error by Tcl's time limit,
// so the interpreter goes back to its timers and the start-up script's
// "after" loops.
//
// Only the relay's own user and root may use the socket (SO_PEERCRED); the
// file is created with mode 0600 and removed at stop.
#pragma once
#include <atomic>
#include <chrono>
#include <cstddef>
#include <mutex>
#include <set>
#include <string>

#include "base/relay_base.h"
#include "platform/threads.h"

struct Tcl_Interp;

inline constexpr int kControlClients = 4;
inline constexpr size_t kControlLineLimit = 65536;
inline constexpr int kControlIdleSeconds = 300;
inline constexpr int kControlCommandSeconds = 10;

// The socket's path from the configuration: the key ControlSocket, or
// "veltrane.ctl" in HistoryTablePath when the key is absent. Empty when the
// key is present and empty (the socket is off).
std::string ControlSocketPath(const Config& config);

// One control socket. Its owner (the control interpreter) stops it before
// the interpreter goes.
class ControlSocket {
 public:
  // Logs to, and reads its path from, `base`, which must outlive it.
  explicit ControlSocket(RelayBase* base) : base_(base) {}
  ~ControlSocket() { StopControlSocket(); }
  ControlSocket(const ControlSocket&) = delete;
  ControlSocket& operator=(const ControlSocket&) = delete;

  // Opens the socket and serves it on threads of its own, handing commands
  // to `interp`, which belongs to the calling thread (the interpreter
  // thread must run Tcl's event loop). A socket file left by a relay that
  // is gone is replaced; one that answers (another relay) is left alone.
  // Problems are logged and leave the relay without a control socket. True
  // when it listens.
  bool StartControlSocket(Tcl_Interp* interp);

  // Stops taking connections, closes the listening socket, removes the
  // socket file, ends every client's connection (a command under way is
  // answered first) and joins the socket's threads. Not to be called on the
  // interpreter thread, which may owe a client its answer. (A failed accept
  // before, such as running out of descriptors, is logged at most once a
  // minute and tried again.)
  void StopControlSocket();

  struct Request;  // one command on its way to the interpreter and back

 private:
  void AcceptClients(int fd);
  void AcceptFailed(int error);
  void ServeClient(int fd);
  void Evaluate(Request* r);

  RelayBase* const base_;
  Tcl_Interp* interp_ = nullptr;
  void* interpThread_ = nullptr;  // its Tcl_ThreadId
  std::mutex listenMu_;  // the stop's shut-down against the accept thread's close
  std::atomic<int> listenFd_{-1};
  std::atomic<int> clients_{0};
  std::mutex pathMu_;
  std::string socketPath_;  // the file to remove at stop
  // The accept thread and one thread per client, and the clients' sockets
  // (under clientsMu_, until their threads close them), for the stop.
  ThreadSet threads_;
  std::mutex clientsMu_;
  std::set<int> clientFds_;
  // The last accept failure logged.
  std::chrono::steady_clock::time_point acceptLogged_;
  bool acceptFailed_ = false;
};
