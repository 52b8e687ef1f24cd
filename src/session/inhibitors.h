// The host's own word on sleep: the block inhibitors that logind holds (systemd-inhibit
// --what=sleep --mode=block), which a network request must not cut short.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

/// One inhibitor as logind lists it.
struct InhibitorEntry {
  std::string what;  // colon-separated: sleep, shutdown, idle, ...
  std::string who;
  std::string why;
  std::string mode;  // block, delay (block-weak: root passes it)
};

/// The inhibitor that holds sleep back: who and why, bounded and printable.
struct Inhibitor {
  std::string who;
  std::string why;
};

/// At most this many bytes of who and of why are kept.
constexpr std::size_t kMostInhibitorWho = 64;
constexpr std::size_t kMostInhibitorWhy = 128;

/// text cut to most bytes, each byte outside printable ASCII replaced by '?', so that it can
/// stand in a log line and on the wire.
std::string printable(std::string_view text, std::size_t most);

/// The first of entries that blocks sleep (mode "block", what naming "sleep"), with its who
/// and why made printable; empty when none does.
std::optional<Inhibitor> blocking_sleep(std::span<const InhibitorEntry> entries);

/// Asks logind over the system bus for its inhibitors and returns the one that blocks sleep;
/// empty when none does, and when logind cannot be asked (no system bus, no logind, no answer
/// within half a second): the sleep command, which goes through logind too, then says why.
std::optional<Inhibitor> sleep_inhibitor();
