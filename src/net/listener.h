// The daemon's one UDP endpoint: open it, receive and send datagrams, and name peers.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

/// Longest datagram text the daemon looks at; the receive buffer holds one byte more.
constexpr std::size_t kMaxDatagram = 1023;

/// The listening socket; -1 until open_listener succeeds.
extern int listening_socket;

/// Creates the close-on-exec IPv4 UDP socket, turns SO_REUSEADDR off, sets a one-second SO_RCVTIMEO
/// and IP_PKTINFO, and binds it to port on every local address. Does not return on failure.
void open_listener(int port);

/// Receives one datagram of at most kMaxDatagram bytes into buffer, filling in sender, local,
/// the local address a reply to it leaves from, and destination, the address it was sent to
/// (for a broadcast, the broadcast address); both are 0.0.0.0 when the system does not say.
/// Waits up to the socket's timeout when wait is set, else not at all. Returns the byte count
/// (0 for an empty datagram), or -1 on timeout, signal, nothing waiting or error.
ssize_t receive_datagram(char* buffer, sockaddr_in& sender, socklen_t& sender_length,
                         in_addr& local, in_addr& destination, bool wait = true);

/// Returns the client identity text "a.b.c.d:port" of sender.
std::string identity_of(const sockaddr_in& sender);

/// Sends message as one datagram on the listening socket from the local address source
/// (0.0.0.0: the system's choice) to destination; returns -1 as the send did, else the bytes
/// sent. Does not log.
ssize_t send_reply(std::string_view message, const sockaddr_in& destination,
                   socklen_t destination_length, const in_addr& source);

/// Turns an identity text back into an address; empty when the text has no colon or
/// its port is not a number in the range of a 32-bit int.
std::optional<sockaddr_in> address_from_identity(const std::string& identity);
