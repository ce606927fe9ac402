// IP addresses of both families, as the relay keeps, compares, prints and
// connects to them.
//
// A NetAddress holds every address in IPv6 form: an IPv4 address is kept
// IPv4-mapped (::ffff:a.b.c.d). So a peer that reaches a dual-stack socket
// and the same peer reaching an IPv4 socket compare equal, an address is 16
// bytes whatever its family, and one comparison serves both. Zones
// (fe80::1%eth0) are not part of a NetAddress.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <netinet/in.h>
#include <string_view>
#include <sys/socket.h>
#include <vector>

// Room for any address's text and its NUL: INET6_ADDRSTRLEN.
inline constexpr size_t kNetAddressTextSize = 46;

struct NetAddress {
  in6_addr bytes{};

  bool IsV4() const { return IN6_IS_ADDR_V4MAPPED(&bytes); }
  bool operator==(const NetAddress& other) const { return memcmp(&bytes, &other.bytes, sizeof bytes) == 0; }
};

// A numeric address: IPv4 in any form inet_aton takes ("10.1" too), or IPv6
// with or without brackets ("2001:db8::1", "[2001:db8::1]"). False for
// anything else, names included.
bool ParseNetAddress(std::string_view text, NetAddress* address);

// The address of a socket address of either family; false for other
// families. An IPv4-mapped IPv6 peer is its IPv4 address.
bool NetAddressOf(const sockaddr* socketAddress, NetAddress* address);

// Dotted quad for IPv4 (mapped ones too), RFC 5952 text for IPv6: lower
// case, no leading zeros, the longest run of two or more zero groups (the
// first of equal runs) written "::". Writes at most kNetAddressTextSize
// bytes with the NUL; returns `text`.
char* FormatNetAddress(const NetAddress& address, char* text);

// A socket address ready for connect or bind, with its length.
struct SocketAddress {
  sockaddr_storage storage{};
  socklen_t length = 0;

  const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&storage); }
  int family() const { return storage.ss_family; }
  uint16_t port() const {
    return ntohs(family() == AF_INET ? reinterpret_cast<const sockaddr_in*>(&storage)->sin_port
                                     : reinterpret_cast<const sockaddr_in6*>(&storage)->sin6_port);
  }
};

// The socket address of `address` on `port`: AF_INET for an IPv4 address,
// AF_INET6 otherwise.
SocketAddress SocketAddressOf(const NetAddress& address, uint16_t port);

// Every address of `host`, IPv4 and IPv6, in the order the resolver gives
// them (the system's address selection). A numeric
// address is taken as it is, with no look-up; brackets around an IPv6
// address and a zone after it are understood. False when nothing is found.
bool ResolveHost(const char* host, uint16_t port, std::vector<SocketAddress>* addresses);

// "[" host "]" without its brackets; any other text as it is.
std::string_view WithoutBrackets(std::string_view host);
