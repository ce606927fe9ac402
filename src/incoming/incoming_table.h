// The incoming peer table: the hosts the operator has listed as permitted to
// feed us, with their resolved addresses (IPv4 and IPv6), their limits and
// counters.
//
// 255 fixed slots. A slot is free when in_use is 0. New peers take the
// highest free slot and scans run from slot 0, so the peer added last is met
// first. A peer deleted while it has connections is only marked: it admits
// nobody new, and the hourly refresh frees the slot once its last connection
// has ended. `connected` (live connections, plus one during a refresh of the
// entry) keeps a slot from being freed or reused while anyone holds it.
// Host names are looked up with no lock held; the addresses found are
// written under the table lock, where the listener reads them.
//
// A peer's key is its host as given to AddIncoming, except that an IPv6
// address is kept in its RFC 5952 form ("2001:db8::1"): every spelling of
// it names the same peer, and lists, statistics and logs show it as people
// read it. The 256-byte host holds any address text (45 characters at
// most) and each of the 256 addresses is 16 bytes, IPv4 kept IPv4-mapped.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/config.h"
#include "platform/net_address.h"
#include "platform/threads.h"

inline constexpr int kIncomingSlots = 255;
inline constexpr int kMaxIncomingAddresses = 256;

struct _incomingentry {
  char host[256];
  NetAddress addresses[kMaxIncomingAddresses];
  std::atomic<uint32_t> address_count;
  std::atomic<uint32_t> accepts;
  std::atomic<uint32_t> rejected;
  std::atomic<uint32_t> refused;
  std::atomic<uint32_t> precommit_saves;
  std::atomic<int32_t> connected;
  std::atomic<uint32_t> connects;
  std::atomic<uint32_t> in_use;
  std::atomic<uint32_t> deleted;
  std::atomic<uint32_t> max_connections;
  std::atomic<uint32_t> streaming;
  uint32_t resolve_failures;
};

// Resolves a host name to its addresses, A and AAAA records, in the order
// returned; false when the name does not resolve. Replaceable so that tests
// can make names fail, succeed or change without a name server.
using HostResolver = bool (*)(const char* host, std::vector<NetAddress>* addresses);

enum class Admission { kNoAccess, kAtLimit, kHeld };

// One listed peer's name and figures, copied together under the table's
// lock, so that a reader never sees a name being rewritten.
struct IncomingFigures {
  std::string host;
  int32_t connected;
  uint32_t connects, accepts, refused, rejected, precommitSaves;
};

// The relay's peer table. The relay owns it; the listener, the control
// commands, the statistics and the metrics borrow it until the relay's stop
// has ended them. Entries stay where they are for the table's life, so a
// connection may keep its entry while `connected` counts it.
class PeerTable {
 public:
  // Reads UpdateIncomingEntries: an empty table and, unless the key is 0,
  // the hourly refresh thread. Later reads SiteDefaultMaxIncomingConnections
  // from `config`, which must outlive the table.
  explicit PeerTable(const Config* config);
  // Ends the refresh thread (a refresh under way finishes first) and joins it.
  ~PeerTable();
  PeerTable(const PeerTable&) = delete;
  PeerTable& operator=(const PeerTable&) = delete;

  void SetHostResolver(HostResolver resolver);  // nullptr restores getaddrinfo

  // Lists a peer (exact match of keys for duplicates). 1 when added, 0 when
  // the name is present (also marked) or the table is full, or the name is
  // longer than 255 characters. A numeric address, IPv4 or IPv6 (brackets
  // allowed), is taken without a look-up.
  int AddIncoming(const char* host);

  // Frees (no connections) or marks (live connections) the first entry whose
  // host matches exactly. 1 when found.
  int DelIncoming(const char* host);

  // Every listed host (marked ones included) followed by one blank.
  std::string ListIncoming();

  // The entry's parameters and statistics as a Tcl list, or false when no
  // entry matches without regard to case.
  bool GetIncomingConfig(const char* host, std::string* text);

  // Sets "max_connections" or "streaming" ("weight" is accepted and ignored)
  // of the first entry matching without regard to case. 1 on success.
  int SetIncomingParameter(const char* host, const char* name, int32_t value);

  // The first unmarked entry one of whose addresses equals `address`, or
  // nullptr. Takes no lock.
  _incomingentry* CheckIncoming(const NetAddress* address);

  // Admission step of the listener, made under the table lock so that an
  // entry cannot be freed between the look-up and the count: finds the
  // entry permitting `address`; when `underLoad` and the entry already holds
  // max_connections connections, refuses it; otherwise counts one
  // connection in it. The host and limit are copied out under the lock for
  // the caller's reply and log line.
  Admission HoldIncoming(const NetAddress& address, bool underLoad, _incomingentry** entry, char* host,
                         uint32_t* maxConnections);

  // Undoes HoldIncoming for a connection that was not admitted after all.
  static void ReleaseIncoming(_incomingentry* entry) { entry->connected--; }

  // "{incoming " + one item per listed peer + "} ".
  std::string ReturnIncomingStatsString();

  std::vector<IncomingFigures> IncomingSnapshot();

  // Re-resolves one entry (freeing it instead when it is marked and has no
  // connection). 0 when the slot is free or was freed, 1 after a look-up.
  int UpdateIncoming(_incomingentry* entry);

  // One refresh pass over every slot, as the hourly thread makes it.
  void RefreshIncomingEntries();

  _incomingentry& Slot(int index) { return entries_[index]; }

 private:
  struct Lookup;
  Lookup LookUp(const char* host);
  void ApplyLookup(_incomingentry* e, const Lookup& found);
  _incomingentry* FindHost(const char* host, int (*compare)(const char*, const char*));

  const Config* const config_;
  _incomingentry entries_[kIncomingSlots];
  std::recursive_mutex mu_;
  std::atomic<HostResolver> resolver_;
  PeriodicThread refresher_;  // last: stopped first
};

// Start-up: the relay's peer table, as configured (UpdateIncomingEntries).
std::unique_ptr<PeerTable> IncomingInit(const Config& config);
