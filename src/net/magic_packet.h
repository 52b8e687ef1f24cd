// The Wake-on-LAN magic packet, which the client sends and the daemon relays, and the MAC
// addresses it carries.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

/// A hardware (MAC) address.
using Mac = std::array<std::uint8_t, 6>;

/// Where magic packets go unless the client's -p says otherwise: the discard port, by the
/// custom of Wake-on-LAN. It is not the daemon's port, though the two have the same number.
constexpr std::uint16_t kMagicPacketPort = 9;

/// The magic packet: six 0xFF bytes, then mac sixteen times (102 bytes).
std::string magic_packet(const Mac& mac);

/// A close-on-exec UDP socket allowed to send to broadcast addresses; -1, with errno set, when
/// none can be had.
int broadcast_socket();

/// mac as 12 lower-case hex digits, as a WAKE carries it.
std::string mac_digits(const Mac& mac);

/// The MAC of 12 lower-case hex digits; empty for anything else.
std::optional<Mac> mac_from_digits(std::string_view digits);

/// mac as six pairs of lower-case hex digits separated by ':', as the log shows it.
std::string mac_text(const Mac& mac);
