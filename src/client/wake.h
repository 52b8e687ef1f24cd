// Wake-on-LAN: the magic packet and the broadcast socket it goes out on, for wake and for the
// packets that wake --wait repeats.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <vector>

#include "client/arguments.h"
#include "net/magic_packet.h"

/// A UDP socket allowed to send to a broadcast address; -1, said on standard error, when none
/// can be opened.
int open_broadcast_socket();

/// Sends packet over fd to destination; unless quiet, says on standard error, naming
/// argument, why it could not. True when it went whole.
bool send_magic_packet(int fd, const sockaddr_in& destination, const std::string& packet,
                       const std::string& argument, bool quiet);

/// Sends one magic packet per sleeper to address:port with SO_BROADCAST, printing a line
/// for each. Returns 0, or 3 when a packet could not be sent.
int send_wake(const std::vector<Sleeper>& sleepers, in_addr address, std::uint16_t port);
