#include "net/relay.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

namespace {

// The broadcast addresses to send to: one for each network, however many interfaces share it.
std::vector<in_addr> broadcast_addresses(const std::vector<std::string>& interfaces) {
  std::vector<in_addr> found;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) == -1) {
    return found;
  }
  for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    const unsigned flags = entry->ifa_flags;
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET ||
        entry->ifa_broadaddr == nullptr || (flags & IFF_UP) == 0 || (flags & IFF_LOOPBACK) != 0 ||
        (flags & IFF_BROADCAST) == 0) {
      continue;
    }
    if (!interfaces.empty() &&
        std::find(interfaces.begin(), interfaces.end(), entry->ifa_name) == interfaces.end()) {
      continue;
    }
    sockaddr_in broadcast{};
    std::memcpy(&broadcast, entry->ifa_broadaddr, sizeof broadcast);
    if (std::none_of(found.begin(), found.end(), [&](const in_addr& known) {
          return known.s_addr == broadcast.sin_addr.s_addr;
        })) {
      found.push_back(broadcast.sin_addr);
    }
  }
  freeifaddrs(list);
  return found;
}

std::string text_of(const in_addr& address) {
  std::array<char, INET_ADDRSTRLEN> text{};
  inet_ntop(AF_INET, &address, text.data(), text.size());
  return text.data();
}

}  // namespace

RelayResult relay_wake(const Mac& mac, const std::vector<std::string>& interfaces) {
  RelayResult result;
  const std::vector<in_addr> addresses = broadcast_addresses(interfaces);
  if (addresses.empty()) {
    result.failure = interfaces.empty()
                         ? "no network with a broadcast address"
                         : "no network with a broadcast address on the interfaces named";
    return result;
  }
  // A socket of its own, opened for each wake: the listening socket may not broadcast, and
  // close-on-exec keeps it from the sleep command.
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const int on = 1;
  if (fd == -1 || setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) == -1) {
    result.failure = std::string("no broadcast socket: ") + std::strerror(errno);
    if (fd != -1) {
      close(fd);
    }
    return result;
  }
  const std::string packet = magic_packet(mac);
  for (const in_addr& address : addresses) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr = address;
    to.sin_port = htons(kMagicPacketPort);
    if (sendto(fd, packet.data(), packet.size(), 0, reinterpret_cast<const sockaddr*>(&to),
               sizeof to) == static_cast<ssize_t>(packet.size())) {
      result.sent_to.push_back(text_of(address));
    } else {
      result.failure = "sending to " + text_of(address) + " failed: " + std::strerror(errno);
    }
  }
  close(fd);
  return result;
}
