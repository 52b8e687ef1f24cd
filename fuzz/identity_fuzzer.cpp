// The client identity text both ways. The input's first bytes are taken as a sender
// address (zeros where the input is shorter): its identity must be well formed and must
// turn back into the same address and port. The whole input is also handed to
// address_from_identity as text, which may refuse it but must not crash.
#include <netinet/in.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "net/listener.h"

namespace {

constexpr unsigned kLargestOctet = 255;
constexpr unsigned kLargestPort = 65535;

[[noreturn]] void violated(const char* rule, std::string_view text) {
  static_cast<void>(std::fprintf(stderr, "identity invariant broken: %s [%.*s]\n", rule,
                                 static_cast<int>(text.size()), text.data()));
  std::abort();
}

// Reads a decimal number without sign or leading zeros from text at position at, no larger
// than largest; moves at past it.
bool plain_number(std::string_view text, std::size_t& at, unsigned largest) {
  const std::size_t first = at;
  unsigned value = 0;
  while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
    value = value * 10 + static_cast<unsigned>(text[at] - '0');
    if (value > largest) {
      return false;
    }
    ++at;
  }
  const std::size_t digits = at - first;
  return digits > 0 && (digits == 1 || text[first] != '0');
}

// "a.b.c.d:port" with four octets 0 to 255 and a port 0 to 65535, no signs, no leading zeros.
bool well_formed(std::string_view identity) {
  std::size_t at = 0;
  for (int octet = 0; octet < 4; ++octet) {
    if (!plain_number(identity, at, kLargestOctet)) {
      return false;
    }
    const char separator = octet < 3 ? '.' : ':';
    if (at >= identity.size() || identity[at] != separator) {
      return false;
    }
    ++at;
  }
  return plain_number(identity, at, kLargestPort) && at == identity.size();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  sockaddr_in sender{};
  std::memcpy(&sender, data, std::min(size, sizeof sender));

  const std::string identity = identity_of(sender);
  if (!well_formed(identity)) {
    violated("identity_of wrote a malformed identity", identity);
  }
  const auto back = address_from_identity(identity);
  if (!back.has_value()) {
    violated("an identity from identity_of did not parse back", identity);
  }
  if (back->sin_family != AF_INET || back->sin_addr.s_addr != sender.sin_addr.s_addr ||
      back->sin_port != sender.sin_port) {
    violated("the round trip changed the address or port", identity);
  }
  if (identity_of(*back) != identity) {
    violated("the round trip changed the identity text", identity);
  }

  const std::string text(reinterpret_cast<const char*>(data), size);
  const auto parsed = address_from_identity(text);
  if (text.find(':') == std::string::npos && parsed.has_value()) {
    violated("a text without a colon gave an address", text);
  }
  if (parsed.has_value() && parsed->sin_family != AF_INET) {
    violated("a parsed address is not IPv4", text);
  }
  return 0;
}
