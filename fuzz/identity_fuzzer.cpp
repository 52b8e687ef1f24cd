// The client identity text both ways. The input's first bytes are taken as a sender
// address (zeros where the input is shorter), IPv4 or, when the first byte is odd, IPv6 with
// a scope: its identity must be well formed and must turn back into the same address, port
// and scope. The whole input is also handed to address_from_identity as text, which may
// refuse it but must not crash.
#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <array>
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

// "[address]:port" or "[address%scope]:port": an address that inet_pton reads and
// inet_ntop writes back the same, a scope (any text without a bracket), and a port as above.
bool well_formed_ipv6(std::string_view identity) {
  const std::size_t close = identity.rfind("]:");
  if (!identity.starts_with('[') || close == std::string_view::npos) {
    return false;
  }
  std::string host(identity.substr(1, close - 1));
  const std::size_t percent = host.find('%');
  if (percent != std::string::npos) {
    if (percent + 1 == host.size() || host.find(']', percent) != std::string::npos) {
      return false;
    }
    host.resize(percent);
  }
  in6_addr address{};
  std::array<char, INET6_ADDRSTRLEN> written{};
  std::size_t at = close + 2;
  return inet_pton(AF_INET6, host.c_str(), &address) == 1 &&
         inet_ntop(AF_INET6, &address, written.data(), written.size()) != nullptr &&
         host == written.data() && plain_number(identity, at, kLargestPort) &&
         at == identity.size();
}

// The IPv6 half: the identity of an IPv6 sender made from the input's bytes.
void check_ipv6(const std::uint8_t* data, std::size_t size) {
  sockaddr_in6 sender{};
  std::memcpy(&sender, data, std::min(size, sizeof sender));
  sender.sin6_family = AF_INET6;
  sender.sin6_flowinfo = 0;  // not part of an identity
  const std::string identity = identity_of(sender);
  if (!well_formed_ipv6(identity) ||
      (sender.sin6_scope_id == 0) != (identity.find('%') == std::string::npos)) {
    violated("identity_of wrote a malformed IPv6 identity", identity);
  }
  const auto back = address_from_identity(identity);
  if (!back.has_value()) {
    violated("an IPv6 identity from identity_of did not parse back", identity);
  }
  if (!same_address(*back, Address(sender))) {
    violated("the round trip changed the IPv6 address, port or scope", identity);
  }
  if (identity_of(*back) != identity) {
    violated("the round trip changed the IPv6 identity text", identity);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 0 && (data[0] & 1) != 0) {
    check_ipv6(data + 1, size - 1);
  }
  sockaddr_in sender{};
  std::memcpy(&sender, data, std::min(size, sizeof sender));
  sender.sin_family = AF_INET;  // the socket's family: its peers are all IPv4

  const std::string identity = identity_of(sender);
  if (!well_formed(identity)) {
    violated("identity_of wrote a malformed identity", identity);
  }
  const auto back = address_from_identity(identity);
  if (!back.has_value()) {
    violated("an identity from identity_of did not parse back", identity);
  }
  if (back->family() != AF_INET || back->v4.sin_addr.s_addr != sender.sin_addr.s_addr ||
      back->v4.sin_port != sender.sin_port) {
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
  if (parsed.has_value() && parsed->family() != (text.starts_with('[') ? AF_INET6 : AF_INET)) {
    violated("a parsed address is not of the family its text says", text);
  }
  return 0;
}
