// One host of a call as the fleet (client/fleet.h) sees it: the addresses of its name, its
// socket, and the datagrams that go out and come in on it, which its exchange
// (client/exchange.h) decides.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

#include "client/arguments.h"
#include "client/exchange.h"
#include "client/hearing.h"
#include "key/key.h"
#include "net/address.h"

/// One host of the call.
struct Peer {
  std::string argument;
  std::vector<Address> addresses;       // every address of the name, in the resolver's order
  std::size_t current = 0;              // the index in addresses of the one asked now
  bool heard = false;                   // any datagram at all came from it
  int fd = -1;                          // connected to the address asked, for ICMP errors
  std::vector<std::size_t> also_named;  // later hosts of the call with the same address
  const NamedKey* key = nullptr;        // keyed: the key for this host's name
  Proving proving;                      // the nonces sent, the challenge the command answers
  std::string word;                     // wake --via: the WAKE word proving.word points at
  std::string packet;                   // wake --wait: the magic packet for the host
  bool packet_failed = false;           // wake --wait: a magic packet could not be sent
  Exchange exchange;

  /// The address asked now; only for a peer whose name resolved.
  const Address& address() const { return addresses[current]; }
};

/// What every peer's datagrams depend on besides the peer: the command, and for wake --wait
/// where the magic packets go.
struct Outgoing {
  Command command = Command::kSuspend;
  int wake_fd = -1;       // wake --wait: the broadcast socket of the magic packets
  sockaddr_in wake_to{};  // wake --wait: where they go
};

/// An address and port (and an IPv6 address's scope) as one text, to look addresses up by.
std::string address_key(const Address& address);

/// The target's IPv4 and IPv6 addresses with its port, each once, in the resolver's order;
/// empty when it cannot be resolved.
std::vector<Address> resolve(const Target& target);

/// Opens the peer's non-blocking socket, of the family of the address asked now and connected
/// to it; false, with errno set, when no socket can be opened.
bool open_socket(Peer& peer);

/// Moves a finished peer that never heard from its address (or heard only that nothing
/// listens there) on to the next address of its name not in asked, with what is left of its
/// time limit, and adds that address to asked; false when it stays finished. For an address
/// of the other family the peer gets a new socket (a new descriptor to watch).
bool ask_next_address(Peer& peer, std::unordered_set<std::string>& asked, Clock::time_point now);

/// Sends the magic packet of a host that wake --wait waits for; says so once if it cannot.
void send_packet(const Outgoing& out, Peer& peer);

/// Sends what the peer's exchange asks for (nothing for Send::kNothing).
void send_to(const Outgoing& out, Peer& peer, Send what, Clock::time_point now);

/// Reads every datagram waiting on the peer's socket, hands those from its address on to its
/// exchange and sends what that asks for.
void receive_replies(const Outgoing& out, Peer& peer, Clock::time_point now);
