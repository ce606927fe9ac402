#include "incoming/listener.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "base/config.h"
#include "base/log.h"
#include "incoming/client_context.h"
#include "incoming/incoming_table.h"
#include "incoming/input_buffer.h"
#include "incoming/nntp_server.h"
#include "platform/io.h"
#include "platform/net_address.h"
#include "platform/threads.h"

uint32_t MaxConnections = 350;

namespace {

// The intake gate, the listening socket and the stop, under intakeMu.
std::mutex intakeMu;
std::condition_variable intakeCv;
bool intakeOpen = false;
bool stopping = false;
int listening = -1;
bool serving = false;  // DoConnections runs: StopListener waits for it to return

ThreadSet connectionThreads;

// Waits for OpenIntake, saying so in the log if that takes long. False
// when the listener stops first.
bool WaitForIntake() {
  std::unique_lock<std::mutex> lock(intakeMu);
  auto ready = [] { return intakeOpen || stopping; };
  if (!intakeCv.wait_for(lock, std::chrono::seconds(10), ready)) {
    LogLine("listener: waiting for the start-up script to finish before admitting peers");
    intakeCv.wait(lock, ready);
  }
  return !stopping;
}

bool Stopping() {
  std::lock_guard<std::mutex> lock(intakeMu);
  return stopping;
}

constexpr const char* kWebAddress = "https://veltrane.example.org/";
constexpr size_t kMaxBannerLength = 70;
constexpr size_t kMaxRefusalLength = 200;
constexpr int kListenBacklog = 25;
constexpr int kSocketTimeoutMs = 600000;

const std::string kBuiltInBanner = std::string("Veltrane 1.1Beta1 -- ") + kWebAddress;
const std::string kSystemTooMany = std::string("System connection limit reached -- Veltrane News Router -- ") + kWebAddress;
const std::string kNoAccess = std::string("No Access -- Veltrane News Router -- ") + kWebAddress;
const std::string kSiteTooMany = std::string("Site connection limit reached -- Veltrane News Router -- ") + kWebAddress;

// Replies to a refused peer are sent without looking at the result.
void SendAndClose(int sock, const std::string& text) {
  SendWithin(sock, text.data(), text.size(), kNoDeadline);
  close(sock);
}

bool SendGreeting(int sock, const std::string& text) { return SendWithin(sock, text.data(), text.size(), kNoDeadline); }

// Where the listener listens: ListenAddress and ListenPort.
struct ListenEndpoint {
  SocketAddress address;
  uint16_t port = 119;
  bool dualStack = false;  // "::": IPv4 peers too, seen as their IPv4 addresses
  bool unset = false;      // no ListenAddress: "::", or 0.0.0.0 without IPv6
};

// Reads ListenAddress (an IPv4 or IPv6 address, brackets allowed; none is
// "::", every address of both families) and ListenPort (default 119).
// False when ListenAddress is not an address (the configuration's check
// stops the start before that can be).
bool ParseListenEndpoint(ListenEndpoint* endpoint) {
  *endpoint = ListenEndpoint{};
  uint32_t port = 119;  // the configuration holds it to 1..65535
  GetConfigInt("ListenPort", &port);
  endpoint->port = uint16_t(port);
  const char* text = GetConfigString("ListenAddress");
  endpoint->unset = text == nullptr || *text == '\0';
  NetAddress address{};  // "::", every address of both families
  if (!endpoint->unset && !ParseNetAddress(text, &address)) return false;
  endpoint->dualStack = IN6_IS_ADDR_UNSPECIFIED(&address.bytes);
  endpoint->address = SocketAddressOf(address, endpoint->port);
  return true;
}

// A socket bound to `address` and listening; -1 (errno set) when that
// cannot be done. A wildcard IPv6 address takes IPv4 peers too, whatever
// the system's default for IPv6 sockets.
int ListenOn(const SocketAddress& address, bool dualStack) {
  int sock = socket(address.family(), SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (sock < 0) return -1;
  // Lets a restarted relay bind while old connections sit in TIME_WAIT; on
  // Linux it does not let a second listener share the port.
  SetSocketFlag(sock, SOL_SOCKET, SO_REUSEADDR);
  if (address.family() == AF_INET6) SetSocketFlag(sock, IPPROTO_IPV6, IPV6_V6ONLY, !dualStack);
  if (bind(sock, address.get(), address.length) != 0 || listen(sock, kListenBacklog) != 0) {
    int err = errno;
    close(sock);
    errno = err;
    return -1;
  }
  return sock;
}

// Socket, bind, listen. A relay that cannot listen runs on without incoming
// service; the reason is logged so the administrator can tell why. With no
// ListenAddress, a system without IPv6 listens on every IPv4 address.
int OpenListener() {
  ListenEndpoint endpoint;
  if (!ParseListenEndpoint(&endpoint)) return -1;
  int sock = ListenOn(endpoint.address, endpoint.dualStack);
  if (sock < 0 && errno == EAFNOSUPPORT && endpoint.unset) {
    LogLine("listener: no IPv6 on this system, listening on IPv4 only");
    NetAddress any4;
    ParseNetAddress("0.0.0.0", &any4);
    endpoint.address = SocketAddressOf(any4, endpoint.port);
    sock = ListenOn(endpoint.address, false);
  }
  if (sock < 0) {
    NetAddress shown;
    NetAddressOf(endpoint.address.get(), &shown);
    char text[kNetAddressTextSize];
    LogLinef(shown.IsV4() ? "listener: cannot listen on %s:%u: %s" : "listener: cannot listen on [%s]:%u: %s",
             FormatNetAddress(shown, text), unsigned(endpoint.port), strerror(errno));
    return -1;
  }
  return sock;
}

// The next connection, or -1 once the listener stops.
int AcceptNext(int listener, sockaddr_storage* peer) {
  for (;;) {
    socklen_t len = sizeof *peer;
    int sock = accept4(listener, reinterpret_cast<sockaddr*>(peer), &len, SOCK_CLOEXEC);
    if (sock >= 0) return sock;
    int err = errno;
    if (Stopping()) return -1;
    if (err == EINTR) continue;
    LogLinef("oops, accept() failed, %u\n", unsigned(err));
    // Out of descriptors or memory: let connections end before trying again
    // instead of spinning on the same failure.
    if (err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }
}

bool StartConnectionThread(_clientcontext* ctx) {
  return connectionThreads.Start([ctx] { nntp(ctx); });
}

void Admit(int sock, const sockaddr_storage& peer, const std::string& greeting, const Intake& intake) {
  SetSocketTimeouts(sock, kSocketTimeoutMs);
  // An IPv4 peer on a dual-stack socket is its dotted address, as on an
  // IPv4 socket.
  NetAddress address;
  NetAddressOf(reinterpret_cast<const sockaddr*>(&peer), &address);
  char dotted[kNetAddressTextSize];
  FormatNetAddress(address, dotted);
  uint32_t total = TotalConnected.load();
  if (total >= MaxConnections) {
    SendAndClose(sock, "400 " + RefusalText("SystemTooManyMessage", kSystemTooMany.c_str()) + "\r\n");
    LogLinef("chopped %s, connection limit reached\n", dotted);
    return;
  }
  bool underLoad = double(total) / double(MaxConnections) > 0.9;
  _incomingentry* entry = nullptr;
  char host[256];
  uint32_t maxConnections = 0;
  switch (intake.peers->HoldIncoming(address, underLoad, &entry, host, &maxConnections)) {
    case Admission::kNoAccess:
      SendAndClose(sock, "502 " + RefusalText("NoAccessMessage", kNoAccess.c_str()) + "\r\n");
      LogLinef("chopped %s, no access\n", dotted);
      return;
    case Admission::kAtLimit:
      SendAndClose(sock, "400 " + RefusalText("SiteTooManyMessage", kSiteTooMany.c_str()) + "\r\n");
      LogLinef("chopped %s, connection limit (%u) reached\n", host, maxConnections);
      return;
    case Admission::kHeld:
      break;
  }
  SetSocketFlag(sock, SOL_SOCKET, SO_KEEPALIVE);
  SetSocketFlag(sock, IPPROTO_TCP, TCP_NODELAY);
  _clientcontext* ctx = AllocClientContext();
  if (ctx == nullptr) {
    PeerTable::ReleaseIncoming(entry);
    SendAndClose(sock, "400 Server Throttled\r\n");
    LogLine("oops, couldn't alloc context\n");
    return;
  }
  ctx->sock = sock;
  TrackConnection(ctx);
  ctx->incoming = entry;
  ctx->intake = &intake;
  strcpy(ctx->peerName, host);
  if (!SendGreeting(sock, greeting)) {
    PeerTable::ReleaseIncoming(entry);
    AddContextToFreeList(ctx);
    return;
  }
  entry->connects++;
  TotalConnected++;
  if (!StartConnectionThread(ctx)) {
    PeerTable::ReleaseIncoming(entry);
    entry->connects--;
    TotalConnected--;
    AddContextToFreeList(ctx);
  }
}

}  // namespace

std::string GreetingText() {
  const char* banner = GetConfigString("ConnectBanner");
  if (banner != nullptr && strlen(banner) <= kMaxBannerLength) return banner;
  return kBuiltInBanner;
}

std::string RefusalText(const char* key, const char* builtIn) {
  const char* text = GetConfigString(key);
  if (text != nullptr && strlen(text) <= kMaxRefusalLength) return text;
  return builtIn;
}

void OpenIntake() {
  {
    std::lock_guard<std::mutex> lock(intakeMu);
    intakeOpen = true;
  }
  intakeCv.notify_all();
}

int DoConnections(const Intake& intake) {
  int listener = OpenListener();
  if (listener < 0) return 0;
  {
    std::lock_guard<std::mutex> lock(intakeMu);
    if (stopping) {
      close(listener);
      return 1;
    }
    listening = listener;
    serving = true;
  }
  if (WaitForIntake()) {
    GetConfigInt("MaxIncomingConnections", &MaxConnections);
    GetConfigInt("IncomingReadTimeout", &connTimeout);
    GetConfigInt("IncomingTransferTimeout", &transferTimeout);
    const std::string greeting = "200 " + GreetingText() + "\r\n";
    for (;;) {
      sockaddr_storage peer{};
      int sock = AcceptNext(listener, &peer);
      if (sock < 0) break;
      Admit(sock, peer, greeting, intake);
    }
  }
  std::lock_guard<std::mutex> lock(intakeMu);
  listening = -1;
  close(listener);
  serving = false;
  intakeCv.notify_all();
  return 1;
}

void StopListener() {
  std::lock_guard<std::mutex> lock(intakeMu);
  stopping = true;
  if (listening >= 0) shutdown(listening, SHUT_RDWR);
  intakeCv.notify_all();
}

void EndConnections() {
  StopListener();
  {
    std::unique_lock<std::mutex> lock(intakeMu);
    intakeCv.wait(lock, [] { return !serving; });
  }
  // No connection is admitted now; those admitted end as their sockets do.
  ShutDownConnections();
  connectionThreads.JoinAll();
  std::lock_guard<std::mutex> lock(intakeMu);
  stopping = false;  // a new start begins with the gate closed again
  intakeOpen = false;
}
