#include "net/relay.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <string_view>

namespace {

// Room for this many interfaces' addresses at first; more is asked for while the list fills it.
constexpr std::size_t kFirstInterfaces = 32;
constexpr std::size_t kMostInterfaces = 4096;

// Whether an interface (an address's label: eth0, or eth0:1 for a second address) is among
// those named, or any is wanted.
bool wanted(const std::vector<std::string>& interfaces, std::string_view label) {
  const std::string_view device = label.substr(0, label.find(':'));
  return interfaces.empty() ||
         std::any_of(interfaces.begin(), interfaces.end(),
                     [&](const std::string& name) { return name == label || name == device; });
}

// This host's IPv4 addresses with their interfaces' names, asked of the kernel through fd.
// The ioctl rather than getifaddrs: that needs a netlink socket, which the unit's sandbox
// does not allow.
std::vector<ifreq> interface_addresses(int fd) {
  for (std::size_t room = kFirstInterfaces; room <= kMostInterfaces; room *= 2) {
    std::vector<ifreq> requests(room);
    ifconf list{};
    list.ifc_len = static_cast<int>(room * sizeof(ifreq));
    list.ifc_req = requests.data();
    if (ioctl(fd, SIOCGIFCONF, &list) == -1) {
      return {};
    }
    const auto filled = static_cast<std::size_t>(list.ifc_len) / sizeof(ifreq);
    if (filled < room) {
      requests.resize(filled);
      return requests;
    }
  }
  return {};
}

// The broadcast addresses to send to: one for each network, however many interfaces share it.
std::vector<in_addr> broadcast_addresses(int fd, const std::vector<std::string>& interfaces) {
  std::vector<in_addr> found;
  for (const ifreq& address : interface_addresses(fd)) {
    ifreq asked = address;
    asked.ifr_name[IFNAMSIZ - 1] = '\0';
    if (!wanted(interfaces, asked.ifr_name) || ioctl(fd, SIOCGIFFLAGS, &asked) == -1) {
      continue;
    }
    const auto flags = static_cast<unsigned>(asked.ifr_flags);
    if ((flags & IFF_UP) == 0U || (flags & IFF_LOOPBACK) != 0U || (flags & IFF_BROADCAST) == 0U ||
        ioctl(fd, SIOCGIFBRDADDR, &asked) == -1 || asked.ifr_broadaddr.sa_family != AF_INET) {
      continue;
    }
    sockaddr_in broadcast{};
    std::memcpy(&broadcast, &asked.ifr_broadaddr, sizeof broadcast);
    if (broadcast.sin_addr.s_addr != htonl(INADDR_ANY) &&
        std::none_of(found.begin(), found.end(), [&](const in_addr& known) {
          return known.s_addr == broadcast.sin_addr.s_addr;
        })) {
      found.push_back(broadcast.sin_addr);
    }
  }
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
  // A socket of its own, opened for each wake: the listening socket may not broadcast, and
  // close-on-exec keeps it from the sleep command.
  const int fd = broadcast_socket();
  if (fd == -1) {
    result.failure = std::string("no broadcast socket: ") + std::strerror(errno);
    return result;
  }
  const std::vector<in_addr> addresses = broadcast_addresses(fd, interfaces);
  if (addresses.empty()) {
    result.failure = interfaces.empty() ? "no network with a broadcast address"
                                        : "no network with a broadcast address on the "
                                          "interfaces named";
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
