#include "incoming/incoming_table.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>
#include <strings.h>

#include "base/config.h"
#include "platform/threads.h"

namespace {

constexpr auto kRefreshInterval = std::chrono::milliseconds(3600000);
// The last known addresses survive this many consecutive failed look-ups.
constexpr uint32_t kResolveGrace = 20;

bool ResolveWithGetaddrinfo(const char* host, std::vector<NetAddress>* addresses) {
  std::vector<SocketAddress> found;
  if (!ResolveHost(host, 0, &found)) return false;
  for (const SocketAddress& s : found) {
    NetAddress a;
    // Link-local addresses of two zones are one address here.
    if (NetAddressOf(s.get(), &a) && std::find(addresses->begin(), addresses->end(), a) == addresses->end()) {
      addresses->push_back(a);
    }
  }
  return !addresses->empty();
}

void ClearSlot(_incomingentry* e) {
  memset(e->host, 0, sizeof e->host);
  std::fill(std::begin(e->addresses), std::end(e->addresses), NetAddress{});
  e->address_count = 0;
  e->accepts = 0;
  e->rejected = 0;
  e->refused = 0;
  e->precommit_saves = 0;
  e->connected = 0;
  e->connects = 0;
  e->in_use = 0;
  e->deleted = 0;
  e->max_connections = 0;
  e->streaming = 0;
  e->resolve_failures = 0;
}

// The key under which `host` is listed: the host as given, or the RFC 5952
// form of an IPv6 address.
std::string PeerKey(const char* host) {
  std::string_view bare = WithoutBrackets(host);
  NetAddress address;
  if (bare.find(':') == std::string_view::npos || !ParseNetAddress(bare, &address)) return host;
  char text[kNetAddressTextSize];
  return FormatNetAddress(address, text);
}

}  // namespace

// The first slot in use whose key matches; AddIncoming and DelIncoming
// compare exactly (strcmp), the parameter commands without case (strcasecmp).
_incomingentry* PeerTable::FindHost(const char* host, int (*compare)(const char*, const char*)) {
  std::string key = PeerKey(host);
  for (_incomingentry& e : entries_) {
    if (e.in_use && compare(e.host, key.c_str()) == 0) return &e;
  }
  return nullptr;
}

// What a look-up of one host found. Made with no lock held, so that a slow
// name server holds up neither the listener nor the control commands.
struct PeerTable::Lookup {
  bool resolved = false;
  std::vector<NetAddress> addresses;
};

PeerTable::Lookup PeerTable::LookUp(const char* host) {
  Lookup found;
  // IPv4 in any form inet_addr takes ("10.1" too; unlike inet_addr, the
  // broadcast address is not mistaken for a failure), or IPv6.
  NetAddress numeric;
  if (ParseNetAddress(host, &numeric)) {
    found.resolved = true;
    found.addresses.push_back(numeric);
  } else {
    found.resolved = resolver_.load()(host, &found.addresses);
  }
  return found;
}

// Stores a look-up's result in the entry; under the table lock, so that
// the listener never sees a list half written. A failure keeps the last
// known addresses for the first failures of a run.
void PeerTable::ApplyLookup(_incomingentry* e, const Lookup& found) {
  if (!found.resolved) {
    if (e->resolve_failures++ > kResolveGrace) e->address_count = 0;
    return;
  }
  e->resolve_failures = 0;
  size_t n = std::min(found.addresses.size(), size_t(kMaxIncomingAddresses));
  std::copy_n(found.addresses.begin(), n, e->addresses);
  e->address_count = uint32_t(n);
}

PeerTable::PeerTable(const Config* config) : config_(config), resolver_(ResolveWithGetaddrinfo) {
  uint32_t update = 1;
  config_->GetConfigInt("UpdateIncomingEntries", &update);
  for (_incomingentry& e : entries_) ClearSlot(&e);
  if (update != 0) {
    // Without it the table simply is not refreshed.
    refresher_.Start(kRefreshInterval, [this] { RefreshIncomingEntries(); }, false);
  }
}

PeerTable::~PeerTable() { refresher_.Stop(); }

void PeerTable::SetHostResolver(HostResolver r) { resolver_ = r != nullptr ? r : ResolveWithGetaddrinfo; }

int PeerTable::AddIncoming(const char* given) {
  const std::string key = PeerKey(given);
  const char* host = key.c_str();
  if (key.size() >= sizeof entries_[0].host) return 0;
  Lookup found = LookUp(host);
  uint32_t maxConnections = 7;
  config_->GetConfigInt("SiteDefaultMaxIncomingConnections", &maxConnections);
  // The duplicate and free-slot checks and the insert are one step.
  std::lock_guard<std::recursive_mutex> lock(mu_);
  _incomingentry* free = nullptr;
  for (_incomingentry& e : entries_) {
    if (!e.in_use) {
      free = &e;
    } else if (strcmp(e.host, host) == 0) {
      return 0;
    }
  }
  if (free == nullptr) return 0;
  ClearSlot(free);
  strcpy(free->host, host);
  ApplyLookup(free, found);
  free->streaming = 1;
  free->max_connections = maxConnections;
  free->in_use = 1;
  return 1;
}

int PeerTable::DelIncoming(const char* host) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  _incomingentry* e = FindHost(host, strcmp);
  if (e == nullptr) return 0;
  if (e->connected == 0) {
    ClearSlot(e);
  } else {
    e->deleted = 1;
  }
  return 1;
}

std::string PeerTable::ListIncoming() {
  std::string out;
  std::lock_guard<std::recursive_mutex> lock(mu_);
  for (const _incomingentry& e : entries_) {
    if (!e.in_use) continue;
    out += e.host;
    out += ' ';
  }
  return out;
}

bool PeerTable::GetIncomingConfig(const char* host, std::string* text) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  _incomingentry* e = FindHost(host, strcasecmp);
  if (e == nullptr) return false;
  char numbers[512];
  snprintf(numbers, sizeof numbers,
           " {{parameters {{max_connections %u} {streaming %u}}} {statistics {{accepts %u} {refuse %u} "
           "{reject %u} {precommit_saves %u} {connected %u} {connects %u}}}}}",
           e->max_connections.load(), e->streaming.load(), e->accepts.load(), e->refused.load(),
           e->rejected.load(), e->precommit_saves.load(), uint32_t(e->connected.load()), e->connects.load());
  text->assign(1, '{');
  text->append(e->host);
  text->append(numbers);
  return true;
}

int PeerTable::SetIncomingParameter(const char* host, const char* name, int32_t value) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  _incomingentry* e = FindHost(host, strcasecmp);
  if (e == nullptr) return 0;
  if (strcasecmp(name, "max_connections") == 0) {
    e->max_connections = uint32_t(value);
  } else if (strcasecmp(name, "streaming") == 0) {
    e->streaming = uint32_t(value);
  } else if (strcasecmp(name, "weight") != 0) {
    return 0;
  }
  return 1;
}

_incomingentry* PeerTable::CheckIncoming(const NetAddress* address) {
  for (_incomingentry& e : entries_) {
    if (!e.in_use) continue;
    for (uint32_t i = e.address_count; i-- > 0;) {
      if (e.addresses[i] == *address && !e.deleted) return &e;
    }
  }
  return nullptr;
}

Admission PeerTable::HoldIncoming(const NetAddress& address, bool underLoad, _incomingentry** entry, char* host,
                                  uint32_t* maxConnections) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  _incomingentry* e = CheckIncoming(&address);
  *entry = e;
  if (e == nullptr) return Admission::kNoAccess;
  strcpy(host, e->host);
  *maxConnections = e->max_connections;
  if (underLoad && uint32_t(e->connected.load()) == e->max_connections) return Admission::kAtLimit;
  e->connected++;
  return Admission::kHeld;
}

std::vector<IncomingFigures> PeerTable::IncomingSnapshot() {
  std::vector<IncomingFigures> peers;
  std::lock_guard<std::recursive_mutex> lock(mu_);
  for (const _incomingentry& e : entries_) {
    if (!e.in_use) continue;
    peers.push_back(IncomingFigures{std::string(e.host, strnlen(e.host, sizeof e.host)), e.connected.load(),
                                    e.connects.load(), e.accepts.load(), e.refused.load(), e.rejected.load(),
                                    e.precommit_saves.load()});
  }
  return peers;
}

std::string PeerTable::ReturnIncomingStatsString() {
  std::string out = "{incoming ";
  char item[512];
  for (const IncomingFigures& e : IncomingSnapshot()) {
    snprintf(item, sizeof item,
             "} {connected %i} {connects %u} {accepts %u} {refused %u} {rejected %u} {precommit_saves %u}} ",
             e.connected, e.connects, e.accepts, e.refused, e.rejected, e.precommitSaves);
    out += "{{host ";
    out += e.host;
    out += item;
  }
  out += "} ";
  return out;
}

int PeerTable::UpdateIncoming(_incomingentry* e) {
  char host[sizeof e->host];
  {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    if (!e->in_use) return 0;
    if (e->deleted && e->connected == 0) {
      ClearSlot(e);
      return 0;
    }
    strcpy(host, e->host);
    e->connected++;  // keeps the slot, and so its host, while unlocked
  }
  Lookup found = LookUp(host);
  std::lock_guard<std::recursive_mutex> lock(mu_);
  ApplyLookup(e, found);
  e->connected--;
  return 1;
}

void PeerTable::RefreshIncomingEntries() {
  for (_incomingentry& e : entries_) UpdateIncoming(&e);
}

std::unique_ptr<PeerTable> IncomingInit(const Config& config) { return std::make_unique<PeerTable>(&config); }
