// A UDP address of either family, as the socket calls take and give it: what both programs
// hold for a peer, and what the daemon holds for the local address a datagram reached.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <cstring>

/// An IPv4 or IPv6 socket address. A zeroed one (family 0) stands for "any address", which
/// as a local address leaves the choice to the system.
struct Address {
  Address() : v6{} {}
  /// An IPv4 address as it is; implicit, so that IPv4 code hands its addresses over as before.
  Address(const sockaddr_in& ipv4) : v6{} { v4 = ipv4; }  // NOLINT(google-explicit-constructor)
  /// An IPv6 address, its scope (interface index) included.
  Address(const sockaddr_in6& ipv6) : v6{ipv6} {}  // NOLINT(google-explicit-constructor)

  /// AF_INET, AF_INET6, or 0 for a zeroed address.
  sa_family_t family() const { return v6.sin6_family; }
  /// The port in host order; both families keep it at the same place.
  std::uint16_t port() const { return ntohs(v6.sin6_port); }
  /// The length that the socket calls take for this family.
  socklen_t size() const { return family() == AF_INET6 ? sizeof v6 : sizeof v4; }
  /// The address as the socket calls take it.
  const sockaddr* raw() const { return reinterpret_cast<const sockaddr*>(&v6); }
  /// The address as the socket calls fill it in; room for either family.
  sockaddr* raw() { return reinterpret_cast<sockaddr*>(&v6); }

  union {
    sockaddr_in6 v6;  // the larger one first, so that the constructors clear the whole union
    sockaddr_in v4;
  };
};

/// True when a and b are one family, address and port (and for IPv6, one scope).
inline bool same_address(const Address& a, const Address& b) {
  if (a.family() != b.family() || a.port() != b.port()) {
    return false;
  }
  if (a.family() == AF_INET6) {
    return std::memcmp(&a.v6.sin6_addr, &b.v6.sin6_addr, sizeof a.v6.sin6_addr) == 0 &&
           a.v6.sin6_scope_id == b.v6.sin6_scope_id;
  }
  return a.v4.sin_addr.s_addr == b.v4.sin_addr.s_addr;
}
