// The wake relay's sending side: the broadcast addresses of this host's networks, and the
// magic packet sent to each of them.
#pragma once

#include <string>
#include <vector>

#include "net/magic_packet.h"

/// Where a relayed wake went.
struct RelayResult {
  std::vector<std::string> sent_to;  // each broadcast address the packet went to, as text
  std::string failure;               // when it went to none: why
};

/// Sends mac's magic packet, on a socket of its own, to port kMagicPacketPort of the
/// broadcast address of each IPv4 interface that is up, not loopback and has one; only of
/// those named in interfaces when that is not empty (eth0 names eth0:1's address too). Sends
/// nothing else, anywhere.
RelayResult relay_wake(const Mac& mac, const std::vector<std::string>& interfaces);
