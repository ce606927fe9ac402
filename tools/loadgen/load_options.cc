#include "loadgen/load_options.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <netinet/in.h>
#include <unistd.h>

namespace loadgen {

namespace {

bool ParseUnsigned(const char* text, uint64_t max, uint64_t* value) {
  if (text == nullptr || *text < '0' || *text > '9') return false;
  errno = 0;
  char* end;
  unsigned long long v = strtoull(text, &end, 10);
  if (errno != 0 || *end != '\0' || v > max) return false;
  *value = v;
  return true;
}

bool ParseSeconds(const char* text, double* value) {
  if (text == nullptr) return false;
  errno = 0;
  char* end;
  double v = strtod(text, &end);
  if (errno != 0 || end == text || *end != '\0' || !(v > 0) || v > 86400) return false;
  *value = v;
  return true;
}

bool ParseMode(const char* text, Mode* mode) {
  if (text == nullptr) return false;
  if (strcmp(text, "takethis") == 0) {
    *mode = Mode::kTakethis;
  } else if (strcmp(text, "check") == 0) {
    *mode = Mode::kCheck;
  } else if (strcmp(text, "ihave") == 0) {
    *mode = Mode::kIhave;
  } else {
    return false;
  }
  return true;
}

// Applies one "--name value" pair; false when the value does not fit.
bool Apply(const std::string& name, const char* value, Options* o) {
  uint64_t n;
  if (name == "--host") {
    if (value == nullptr) return false;
    o->host = value;
    return true;
  }
  if (name == "--port") {
    if (!ParseUnsigned(value, 65535, &n) || n == 0) return false;
    o->port = uint16_t(n);
    return true;
  }
  if (name == "--connections") {
    if (!ParseUnsigned(value, kMaxConnections, &n) || n == 0) return false;
    o->connections = uint32_t(n);
    return true;
  }
  if (name == "--articles") {
    if (!ParseUnsigned(value, 1000000000, &n) || n == 0) return false;
    o->articlesPerConnection = n;
    return true;
  }
  if (name == "--size") {
    if (!ParseUnsigned(value, kMaxArticleSize, &n)) return false;
    o->articleSize = uint32_t(n);
    return true;
  }
  if (name == "--window") {
    if (!ParseUnsigned(value, kMaxWindow, &n) || n == 0) return false;
    o->window = uint32_t(n);
    return true;
  }
  if (name == "--mode") return ParseMode(value, &o->mode);
  if (name == "--time-limit") return ParseSeconds(value, &o->timeLimitSeconds);
  if (name == "--rate") {
    if (!ParseUnsigned(value, 10000000, &n) || n == 0) return false;
    o->rate = double(n);
    return true;
  }
  if (name == "--acked") {
    if (value == nullptr || *value == '\0') return false;
    o->ackedPath = value;
    return true;
  }
  if (name == "--run-prefix") {
    if (value == nullptr || !ValidRunPrefix(value)) return false;
    o->runPrefix = value;
    return true;
  }
  return false;
}

}  // namespace

const char* Usage() {
  return "usage: veltrane-loadgen [options]\n"
         "  --host ADDR         loopback address of the relay (127.0.0.1; only 127.0.0.0/8, ::1, localhost)\n"
         "  --port N            port of the relay (119)\n"
         "  --connections N     connections opened at once (4)\n"
         "  --articles M        articles sent on each connection (10000)\n"
         "  --size BYTES        size of each article before its \".\" line (2048)\n"
         "  --mode MODE         takethis | check | ihave (takethis)\n"
         "  --window N          commands awaiting a reply per connection, streaming modes (256)\n"
         "  --time-limit SECS   stop after this long, whatever is left (120)\n"
         "  --rate N            new articles per second in all, streaming modes (as fast as possible)\n"
         "  --run-prefix TEXT   first part of every Message-ID (from the time and pid)\n"
         "  --acked FILE        write the Message-ID of each article the relay took (239 or 235),\n"
         "                      one a line, to FILE; the list is whole even when the relay breaks\n"
         "                      the connections\n";
}

bool ParseOptions(int argc, char** argv, Options* options, std::string* error) {
  for (int i = 1; i < argc; i++) {
    std::string name = argv[i];
    if (name == "--help" || name == "-h") {
      *error = Usage();
      return false;
    }
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (!Apply(name, value, options)) {
      *error = "bad or unknown argument: " + name + (value != nullptr ? std::string(" ") + value : "") + "\n" + Usage();
      return false;
    }
    i++;
  }
  if (options->runPrefix.empty()) options->runPrefix = DefaultRunPrefix();
  return LoopbackAddress(options->host, options->port, nullptr, nullptr, error);
}

bool LoopbackAddress(const std::string& host, uint16_t port, sockaddr_storage* address, socklen_t* length,
                     std::string* error) {
  std::string numeric = host == "localhost" ? "127.0.0.1" : host;
  if (numeric.size() > 2 && numeric.front() == '[' && numeric.back() == ']') numeric = numeric.substr(1, numeric.size() - 2);
  sockaddr_storage storage{};
  socklen_t size = 0;
  in_addr v4;
  in6_addr v6;
  if (inet_pton(AF_INET, numeric.c_str(), &v4) == 1) {
    if ((ntohl(v4.s_addr) >> 24) != 127) {
      *error = host + " is not a loopback address; the load generator only targets 127.0.0.0/8 and ::1\n";
      return false;
    }
    auto* sin = reinterpret_cast<sockaddr_in*>(&storage);
    sin->sin_family = AF_INET;
    sin->sin_port = htons(port);
    sin->sin_addr = v4;
    size = sizeof *sin;
  } else if (inet_pton(AF_INET6, numeric.c_str(), &v6) == 1) {
    if (memcmp(&v6, &in6addr_loopback, sizeof v6) != 0) {
      *error = host + " is not a loopback address; the load generator only targets 127.0.0.0/8 and ::1\n";
      return false;
    }
    auto* sin6 = reinterpret_cast<sockaddr_in6*>(&storage);
    sin6->sin6_family = AF_INET6;
    sin6->sin6_port = htons(port);
    sin6->sin6_addr = v6;
    size = sizeof *sin6;
  } else {
    *error = host + " is not a numeric address (names other than localhost are not resolved)\n";
    return false;
  }
  if (address != nullptr) *address = storage;
  if (length != nullptr) *length = size;
  return true;
}

std::string HostAndPort(const std::string& host, uint16_t port) {
  bool bare6 = host.find(':') != std::string::npos && host.front() != '[';
  return (bare6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

std::string DefaultRunPrefix() {
  char text[48];
  snprintf(text, sizeof text, "lg%lx.%ld", long(time(nullptr)), long(getpid()));
  return text;
}

bool ValidRunPrefix(const std::string& prefix) {
  if (prefix.empty() || prefix.size() > kMaxRunPrefix) return false;
  for (char c : prefix) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-' ||
              c == '_';
    if (!ok) return false;
  }
  return true;
}

const char* ModeName(Mode mode) {
  switch (mode) {
    case Mode::kTakethis: return "takethis";
    case Mode::kCheck: return "check";
    case Mode::kIhave: return "ihave";
  }
  return "?";
}

}  // namespace loadgen
