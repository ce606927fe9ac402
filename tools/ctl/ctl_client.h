// The client end of the relay's control socket (see
// control/control_socket.h for the wire format): one connection, one
// command line out, one reply frame back.
#pragma once
#include <string>

#include "platform/io.h"

class CtlClient {
 public:
  // A reply frame that has not come `timeoutSeconds` after its command was
  // sent counts as a failed connection (TimedOut() then tells so).
  explicit CtlClient(int timeoutSeconds) : timeoutMs_(timeoutSeconds * 1000) {}
  ~CtlClient();
  CtlClient(const CtlClient&) = delete;
  CtlClient& operator=(const CtlClient&) = delete;

  // Connects to the socket at `path`; false with the reason in *error.
  bool Connect(const std::string& path, std::string* error);

  // Sends `command` as one line (a command holding line ends is wrapped so
  // that it still travels as one) and reads its reply frame. False when the
  // connection fails; else *status is 200, 500 or 400 and *text the frame's
  // text.
  bool Run(const std::string& command, int* status, std::string* text);
  bool TimedOut() const { return timedOut_; }

 private:
  bool ReadFrame(int* status, std::string* text, Deadline deadline);

  int timeoutMs_;
  bool timedOut_ = false;
  int fd_ = -1;
  std::string input_;
};

// `command` as it goes on the wire: itself when it holds no line end, else
// "eval" with the command as one backslash-quoted word.
std::string OneLine(const std::string& command);
