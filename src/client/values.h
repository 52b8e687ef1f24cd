// The values that words of the client's command line carry: a port, a time limit in
// seconds, a hardware (MAC) address. Each parser takes exactly its form and nothing else.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string_view>

#include "net/magic_packet.h"

/// A port in strict decimal, 1 to 65535; empty for anything else.
std::optional<std::uint16_t> parse_port(std::string_view text);

/// A time limit in seconds ("10", "2.5"), above zero and at most a day, to the millisecond;
/// empty for anything else.
std::optional<std::chrono::milliseconds> parse_seconds(std::string_view text);

/// Six pairs of hex digits, all separated by ':' or all by '-'; empty for anything else.
std::optional<Mac> parse_mac(std::string_view text);
