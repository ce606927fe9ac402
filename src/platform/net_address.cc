#include "platform/net_address.h"

#include <arpa/inet.h>
#include <cstdio>
#include <netdb.h>
#include <string>

namespace {

NetAddress MappedV4(in_addr v4) {
  NetAddress a;
  a.bytes.s6_addr[10] = 0xff;
  a.bytes.s6_addr[11] = 0xff;
  memcpy(&a.bytes.s6_addr[12], &v4, 4);
  return a;
}

// The longest run of two or more zero groups, the first of equal runs;
// {8, 0} when there is none.
std::pair<int, int> LongestZeroRun(const uint16_t (&groups)[8]) {
  int bestStart = 8, bestLength = 0;
  for (int i = 0; i < 8;) {
    int j = i;
    while (j < 8 && groups[j] == 0) j++;
    if (j - i > bestLength) {
      bestStart = i;
      bestLength = j - i;
    }
    i = j == i ? i + 1 : j;
  }
  if (bestLength < 2) return {8, 0};
  return {bestStart, bestLength};
}

}  // namespace

std::string_view WithoutBrackets(std::string_view host) {
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') return host.substr(1, host.size() - 2);
  return host;
}

bool ParseNetAddress(std::string_view text, NetAddress* address) {
  std::string copy(text);
  in_addr v4;
  if (inet_aton(copy.c_str(), &v4) != 0) {
    *address = MappedV4(v4);
    return true;
  }
  copy.assign(WithoutBrackets(text));
  return inet_pton(AF_INET6, copy.c_str(), &address->bytes) == 1;
}

bool NetAddressOf(const sockaddr* socketAddress, NetAddress* address) {
  if (socketAddress->sa_family == AF_INET) {
    *address = MappedV4(reinterpret_cast<const sockaddr_in*>(socketAddress)->sin_addr);
    return true;
  }
  if (socketAddress->sa_family == AF_INET6) {
    address->bytes = reinterpret_cast<const sockaddr_in6*>(socketAddress)->sin6_addr;
    return true;
  }
  return false;
}

char* FormatNetAddress(const NetAddress& address, char* text) {
  const uint8_t* b = address.bytes.s6_addr;
  if (address.IsV4()) {
    snprintf(text, kNetAddressTextSize, "%u.%u.%u.%u", b[12], b[13], b[14], b[15]);
    return text;
  }
  uint16_t groups[8];
  for (int i = 0; i < 8; i++) groups[i] = uint16_t(b[2 * i] << 8 | b[2 * i + 1]);
  auto [zeroStart, zeroLength] = LongestZeroRun(groups);
  char* out = text;
  for (int i = 0; i < 8; i++) {
    if (i == zeroStart) {
      *out++ = ':';
      if (i == 0) *out++ = ':';
      i += zeroLength - 1;
      continue;
    }
    out += sprintf(out, "%x", unsigned(groups[i]));
    if (i < 7) *out++ = ':';
  }
  *out = '\0';
  return text;
}

SocketAddress SocketAddressOf(const NetAddress& address, uint16_t port) {
  SocketAddress s;
  if (address.IsV4()) {
    auto* a4 = reinterpret_cast<sockaddr_in*>(&s.storage);
    a4->sin_family = AF_INET;
    a4->sin_port = htons(port);
    memcpy(&a4->sin_addr, &address.bytes.s6_addr[12], 4);
    s.length = sizeof *a4;
  } else {
    auto* a6 = reinterpret_cast<sockaddr_in6*>(&s.storage);
    a6->sin6_family = AF_INET6;
    a6->sin6_port = htons(port);
    a6->sin6_addr = address.bytes;
    s.length = sizeof *a6;
  }
  return s;
}

bool ResolveHost(const char* host, uint16_t port, std::vector<SocketAddress>* addresses) {
  NetAddress numeric;
  if (ParseNetAddress(host, &numeric)) {
    addresses->push_back(SocketAddressOf(numeric, port));
    return true;
  }
  std::string name(WithoutBrackets(host));
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(name.c_str(), nullptr, &hints, &found) != 0) return false;
  for (addrinfo* ai = found; ai != nullptr; ai = ai->ai_next) {
    if ((ai->ai_family != AF_INET && ai->ai_family != AF_INET6) || ai->ai_addrlen > sizeof(sockaddr_storage)) continue;
    SocketAddress s;
    memcpy(&s.storage, ai->ai_addr, ai->ai_addrlen);
    s.length = ai->ai_addrlen;
    if (s.family() == AF_INET) {
      reinterpret_cast<sockaddr_in*>(&s.storage)->sin_port = htons(port);
    } else {
      reinterpret_cast<sockaddr_in6*>(&s.storage)->sin6_port = htons(port);
    }
    addresses->push_back(s);
  }
  freeaddrinfo(found);
  return !addresses->empty();
}
