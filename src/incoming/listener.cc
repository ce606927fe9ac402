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

namespace {

constexpr size_t kMaxBannerLength = 70;
constexpr size_t kMaxRefusalLength = 200;
constexpr int kListenBacklog = 25;
constexpr int kSocketTimeoutMs = 600000;

#define VELTRANE_WEB_ADDRESS "https://veltrane.example.org/"
constexpr const char* kBuiltInBanner = "Veltrane 1.1Beta1 -- " VELTRANE_WEB_ADDRESS;
constexpr const char* kSystemTooMany = "System connection limit reached -- Veltrane News Router -- " VELTRANE_WEB_ADDRESS;
constexpr const char* kNoAccess = "No Access -- Veltrane News Router -- " VELTRANE_WEB_ADDRESS;
constexpr const char* kSiteTooMany = "Site connection limit reached -- Veltrane News Router -- " VELTRANE_WEB_ADDRESS;

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
bool ParseListenEndpoint(const Config& config, ListenEndpoint* endpoint) {
  *endpoint = ListenEndpoint{};
  uint32_t port = 119;  // the configuration holds it to 1..65535
  config.GetConfigInt("ListenPort", &port);
  endpoint->port = uint16_t(port);
  const char* text = config.GetConfigString("ListenAddress");
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
int OpenListener(RelayBase& base) {
  ListenEndpoint endpoint;
  if (!ParseListenEndpoint(base.config, &endpoint)) return -1;
  int sock = ListenOn(endpoint.address, endpoint.dualStack);
  if (sock < 0 && errno == EAFNOSUPPORT && endpoint.unset) {
    base.log.LogLine("listener: no IPv6 on this system, listening on IPv4 only");
    NetAddress any4;
    ParseNetAddress("0.0.0.0", &any4);
    endpoint.address = SocketAddressOf(any4, endpoint.port);
    sock = ListenOn(endpoint.address, false);
  }
  if (sock < 0) {
    NetAddress shown;
    NetAddressOf(endpoint.address.get(), &shown);
    char text[kNetAddressTextSize];
    base.log.LogLinef(shown.IsV4() ? "listener: cannot listen on %s:%u: %s" : "listener: cannot listen on [%s]:%u: %s",
             FormatNetAddress(shown, text), unsigned(endpoint.port), strerror(errno));
    return -1;
  }
  return sock;
}

}  // namespace

std::string GreetingText(const Config& config) {
  const char* banner = config.GetConfigString("ConnectBanner");
  if (banner != nullptr && strlen(banner) <= kMaxBannerLength) return banner;
  return kBuiltInBanner;
}

std::string RefusalText(const Config& config, const char* key, const char* builtIn) {
  const char* text = config.GetConfigString(key);
  if (text != nullptr && strlen(text) <= kMaxRefusalLength) return text;
  return builtIn;
}

// Waits for OpenIntake, saying so in the log if that takes long. False
// when the listener stops first.
bool Listener::WaitForIntake() {
  std::unique_lock<std::mutex> lock(mu_);
  auto ready = [this] { return intakeOpen_ || stopping_; };
  if (!cv_.wait_for(lock, std::chrono::seconds(10), ready)) {
    intake_->base->log.LogLine("listener: waiting for the start-up script to finish before admitting peers");
    cv_.wait(lock, ready);
  }
  return !stopping_;
}

bool Listener::Stopping() {
  std::lock_guard<std::mutex> lock(mu_);
  return stopping_;
}

// The next connection, or -1 once the listener stops.
int Listener::AcceptNext(int listener, sockaddr_storage* peer) {
  for (;;) {
    socklen_t len = sizeof *peer;
    int sock = accept4(listener, reinterpret_cast<sockaddr*>(peer), &len, SOCK_CLOEXEC);
    if (sock >= 0) return sock;
    int err = errno;
    if (Stopping()) return -1;
    if (err == EINTR) continue;
    intake_->base->log.LogLinef("oops, accept() failed, %u\n", unsigned(err));
    // Out of descriptors or memory: let connections end before trying again
    // instead of spinning on the same failure.
    if (err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }
}

void Listener::Admit(int sock, const sockaddr_storage& peer, const std::string& greeting) {
  SetSocketTimeouts(sock, kSocketTimeoutMs);
  // An IPv4 peer on a dual-stack socket is its dotted address, as on an
  // IPv4 socket.
  NetAddress address;
  NetAddressOf(reinterpret_cast<const sockaddr*>(&peer), &address);
  char dotted[kNetAddressTextSize];
  FormatNetAddress(address, dotted);
  uint32_t total = intake_->connections.load();
  if (total >= maxConnections_) {
    SendAndClose(sock, "400 " + RefusalText(intake_->base->config, "SystemTooManyMessage", kSystemTooMany) + "\r\n");
    intake_->base->log.LogLinef("chopped %s, connection limit reached\n", dotted);
    return;
  }
  bool underLoad = double(total) / double(maxConnections_) > 0.9;
  _incomingentry* entry = nullptr;
  char host[256];
  uint32_t maxConnections = 0;
  switch (intake_->peers->HoldIncoming(address, underLoad, &entry, host, &maxConnections)) {
    case Admission::kNoAccess:
      SendAndClose(sock, "502 " + RefusalText(intake_->base->config, "NoAccessMessage", kNoAccess) + "\r\n");
      intake_->base->log.LogLinef("chopped %s, no access\n", dotted);
      return;
    case Admission::kAtLimit:
      SendAndClose(sock, "400 " + RefusalText(intake_->base->config, "SiteTooManyMessage", kSiteTooMany) + "\r\n");
      intake_->base->log.LogLinef("chopped %s, connection limit (%u) reached\n", host, maxConnections);
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
    intake_->base->log.LogLine("oops, couldn't alloc context\n");
    return;
  }
  ctx->sock = sock;
  ctx->incoming = entry;
  ctx->intake = intake_;
  TrackConnection(ctx);
  strcpy(ctx->peerName, host);
  if (!SendGreeting(sock, greeting)) {
    PeerTable::ReleaseIncoming(entry);
    AddContextToFreeList(ctx);
    return;
  }
  entry->connects++;
  intake_->connections++;
  if (!connectionThreads_.Start([ctx] { nntp(ctx); })) {
    PeerTable::ReleaseIncoming(entry);
    entry->connects--;
    intake_->connections--;
    AddContextToFreeList(ctx);
  }
}

void Listener::OpenIntake() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    intakeOpen_ = true;
  }
  cv_.notify_all();
}

int Listener::DoConnections() {
  int listener = OpenListener(*intake_->base);
  if (listener < 0) return 0;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (stopping_) {
      close(listener);
      return 1;
    }
    listening_ = listener;
    serving_ = true;
  }
  if (WaitForIntake()) {
    const Config& config = intake_->base->config;
    config.GetConfigInt("MaxIncomingConnections", &maxConnections_);
    config.GetConfigInt("IncomingReadTimeout", &intake_->readTimeout);
    config.GetConfigInt("IncomingTransferTimeout", &intake_->transferTimeout);
    const std::string greeting = "200 " + GreetingText(config) + "\r\n";
    for (;;) {
      sockaddr_storage peer{};
      int sock = AcceptNext(listener, &peer);
      if (sock < 0) break;
      Admit(sock, peer, greeting);
    }
  }
  std::lock_guard<std::mutex> lock(mu_);
  listening_ = -1;
  close(listener);
  serving_ = false;
  cv_.notify_all();
  return 1;
}

void Listener::StopListener() {
  std::lock_guard<std::mutex> lock(mu_);
  stopping_ = true;
  if (listening_ >= 0) shutdown(listening_, SHUT_RDWR);
  cv_.notify_all();
}

void Listener::EndConnections() {
  StopListener();
  {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait(lock, [this] { return !serving_; });
  }
  // No connection is admitted now; those admitted end as their sockets do.
  ShutDownConnections(intake_);
  connectionThreads_.JoinAll();
  std::lock_guard<std::mutex> lock(mu_);
  stopping_ = false;  // a new start begins with the gate closed again
  intakeOpen_ = false;
}
