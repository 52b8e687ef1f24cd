// The daemon's UDP endpoints (IPv4, and with --ipv6 a second one for IPv6): open them,
// receive and send datagrams, and name peers.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "net/address.h"

/// Longest datagram text the daemon looks at; the receive buffer holds one byte more.
constexpr std::size_t kMaxDatagram = 1023;

/// The listening socket; -1 until open_listener succeeds.
extern int listening_socket;

/// The IPv6 listening socket; -1 unless open_ipv6_listener succeeded.
extern int listening_socket_v6;

/// Creates the close-on-exec IPv4 UDP socket, turns SO_REUSEADDR off, sets a one-second SO_RCVTIMEO
/// and IP_PKTINFO, and binds it to port on every local address. Does not return on failure.
void open_listener(int port);

/// Creates the close-on-exec UDP socket for IPv6 alone (IPV6_V6ONLY, so that IPv4 peers stay on
/// the IPv4 socket), with SO_REUSEADDR off and IPV6_RECVPKTINFO, and binds it to port on every
/// local IPv6 address. Does not return on failure.
void open_ipv6_listener(int port);

/// Receives one datagram of at most kMaxDatagram bytes into buffer, from either listening
/// socket, filling in sender, local, the local address a reply to it leaves from, and
/// destination, the address it was sent to (for a broadcast, the broadcast address); both are
/// the family's "any" address when the system does not say (for IPv6, local and destination
/// are one address, with the receiving interface as its scope). Waits up to a second when
/// wait is set, else not at all. Returns the byte count (0 for an empty datagram), or -1 on
/// timeout, signal, nothing waiting or error.
ssize_t receive_datagram(char* buffer, Address& sender, Address& local, Address& destination,
                         bool wait = true);

/// Returns the client identity text of sender: "a.b.c.d:port" for IPv4; for IPv6
/// "[address]:port", with a scoped (link-local) address's interface as "[fe80::1%eth0]:port"
/// (its index when it has no name).
std::string identity_of(const Address& sender);

/// Sends message as one datagram on the listening socket of destination's family from the
/// local address source (zeroed or "any": the system's choice) to destination; returns -1 as
/// the send did, else the bytes sent. Does not log.
ssize_t send_reply(std::string_view message, const Address& destination, const Address& source);

/// Turns an identity text back into an address. IPv4: empty when the text has no colon or
/// its port is not a number in the range of a 32-bit int. IPv6 ("[...]:port"): empty unless
/// the address, its scope (an interface's name or index) and the port 0 to 65535 are valid.
std::optional<Address> address_from_identity(const std::string& identity);
