// The settings of one load run and how they are read from the command line.
// A run only ever targets a loopback address: the host is taken as a
// numeric address (or "localhost") and refused unless it is in 127.0.0.0/8
// or is ::1; no name is ever resolved.
#pragma once
#include <cstdint>
#include <string>
#include <sys/socket.h>

namespace loadgen {

enum class Mode {
  kTakethis,  // pipelined takethis, no offer first
  kCheck,     // pipelined check, then takethis for each article wanted
  kIhave,     // lock-step ihave, one article at a time per connection
};

struct Options {
  std::string host = "127.0.0.1";
  uint16_t port = 119;
  uint32_t connections = 4;
  uint64_t articlesPerConnection = 10000;
  uint32_t articleSize = 2048;  // bytes on the wire, before the "." line
  Mode mode = Mode::kTakethis;
  uint32_t window = 256;        // commands awaiting a reply, per connection
  double timeLimitSeconds = 120;
  double rate = 0;              // articles per second in all, streaming modes; 0: as fast as possible
  std::string runPrefix;        // empty: made from the time and the pid
  std::string ackedPath;        // empty: no list of the acknowledged Message-IDs
};

inline constexpr uint32_t kMaxConnections = 999;
inline constexpr uint32_t kMaxWindow = 4096;
inline constexpr uint32_t kMaxArticleSize = 64u << 20;
inline constexpr size_t kMaxRunPrefix = 64;

// Fills `options` from argv; false with a message in `error` on a bad
// argument. "--help" is reported as an error with the usage text.
bool ParseOptions(int argc, char** argv, Options* options, std::string* error);

const char* Usage();

// The socket address of a loopback host; false (with the reason) for
// anything that is not a numeric loopback address (an IPv6 one with or
// without brackets) or "localhost".
bool LoopbackAddress(const std::string& host, uint16_t port, sockaddr_storage* address, socklen_t* length,
                     std::string* error);

// "127.0.0.1:119", "[::1]:119": a host and port as messages show them.
std::string HostAndPort(const std::string& host, uint16_t port);

// A run prefix unique to this process and second: letters, digits and '.'.
std::string DefaultRunPrefix();

// True when `prefix` can stand in a Message-ID: 1 to kMaxRunPrefix
// characters out of letters, digits, '.', '-' and '_'.
bool ValidRunPrefix(const std::string& prefix);

const char* ModeName(Mode mode);

}  // namespace loadgen
