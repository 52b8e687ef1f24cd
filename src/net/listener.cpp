#include "net/listener.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/time.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "process/startup.h"

int listening_socket = -1;
int listening_socket_v6 = -1;

namespace {

// Room for the one control message a socket exchanges (either family's), aligned as a cmsghdr
// must be.
struct PacketInfoControl {
  alignas(cmsghdr) std::array<char, CMSG_SPACE(sizeof(in6_pktinfo))> bytes;
};

// The largest port number an IPv6 identity may name.
constexpr unsigned long kLargestPort = 65535;

// Fills in local and destination from a datagram's packet information, for either family.
void read_packet_info(msghdr& header, Address& local, Address& destination) {
  for (const cmsghdr* item = CMSG_FIRSTHDR(&header); item != nullptr;
       item = CMSG_NXTHDR(&header, const_cast<cmsghdr*>(item))) {
    if (item->cmsg_level == IPPROTO_IP && item->cmsg_type == IP_PKTINFO) {
      in_pktinfo info{};
      std::memcpy(&info, CMSG_DATA(item), sizeof info);
      // The address the datagram reached this host at; for a broadcast, the receiving
      // interface's own address, which a reply can leave from. The header's destination
      // equals it exactly when the datagram was sent to this host alone.
      local.v4.sin_addr = info.ipi_spec_dst;
      destination.v4.sin_addr = info.ipi_addr;
    } else if (item->cmsg_level == IPPROTO_IPV6 && item->cmsg_type == IPV6_PKTINFO) {
      in6_pktinfo info{};
      std::memcpy(&info, CMSG_DATA(item), sizeof info);
      // IPv6 has no broadcast: the address a datagram was sent to is the one a reply leaves
      // from, unless it is a multicast group, which the turn drops. The interface it came in
      // on is the scope of a link-local address.
      local.v6.sin6_addr = info.ipi6_addr;
      local.v6.sin6_scope_id = info.ipi6_ifindex;
      destination = local;
    }
  }
}

// Receives one datagram on fd with flags; see receive_datagram.
ssize_t receive_on(int fd, int flags, char* buffer, Address& sender, Address& local,
                   Address& destination) {
  iovec data{buffer, kMaxDatagram};
  PacketInfoControl control{};
  msghdr header{};
  header.msg_name = sender.raw();
  header.msg_namelen = fd == listening_socket_v6 ? sizeof sender.v6 : sizeof sender.v4;
  header.msg_iov = &data;
  header.msg_iovlen = 1;
  header.msg_control = control.bytes.data();
  header.msg_controllen = control.bytes.size();
  const ssize_t received = recvmsg(fd, &header, flags);
  local = Address();
  local.v6.sin6_family = fd == listening_socket_v6 ? AF_INET6 : AF_INET;
  destination = local;
  read_packet_info(header, local, destination);
  return received;
}

// The text of an IPv6 address's scope: its interface's name, or its index where it has none.
std::string scope_text(std::uint32_t scope) {
  std::array<char, IF_NAMESIZE> name{};
  if (if_indextoname(scope, name.data()) != nullptr) {
    return name.data();
  }
  return std::to_string(scope);
}

// The interface index that a scope text names (a name or an index); 0 for none.
std::uint32_t scope_index(const std::string& text) {
  if (!text.empty() && text.find_first_not_of("0123456789") == std::string::npos) {
    errno = 0;
    const unsigned long index = std::strtoul(text.c_str(), nullptr, 10);
    return errno == ERANGE || index > UINT32_MAX ? 0 : static_cast<std::uint32_t>(index);
  }
  return if_nametoindex(text.c_str());
}

// "[address]:port" or "[address%scope]:port" back into an address, as identity_of writes it.
std::optional<Address> ipv6_from_identity(const std::string& identity) {
  const std::size_t close = identity.find("]:");
  if (close == std::string::npos) {
    return std::nullopt;
  }
  std::string host = identity.substr(1, close - 1);
  const std::string port_text = identity.substr(close + 2);
  if (port_text.empty() || port_text.size() > 5 ||
      port_text.find_first_not_of("0123456789") != std::string::npos) {
    return std::nullopt;
  }
  const unsigned long port = std::strtoul(port_text.c_str(), nullptr, 10);
  sockaddr_in6 address{};
  address.sin6_family = AF_INET6;
  if (const std::size_t percent = host.find('%'); percent != std::string::npos) {
    address.sin6_scope_id = scope_index(host.substr(percent + 1));
    if (address.sin6_scope_id == 0) {
      return std::nullopt;
    }
    host.resize(percent);
  }
  if (port > kLargestPort || inet_pton(AF_INET6, host.c_str(), &address.sin6_addr) != 1) {
    return std::nullopt;
  }
  address.sin6_port = htons(static_cast<uint16_t>(port));
  return Address(address);
}

}  // namespace

void open_listener(int port) {
  // Close-on-exec keeps the suspend command from inheriting the daemon's endpoint.
  listening_socket = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (listening_socket == -1) {
    fatal_exit("Error creating socket");
  }
  // Address reuse off, explicitly: on Linux two UDP sockets that both set it share the port,
  // and the later one takes the datagrams. With it off, a second daemon or another user's
  // socket on our port fails to bind instead of silently hearing our clients.
  const int reuse = 0;
  if (setsockopt(listening_socket, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse) == -1) {
    fatal_exit("Error setting socket reuse option");
  }
  // The timeout makes the loop turn at least once a second, so expiry is never late.
  const timeval timeout{1, 0};
  if (setsockopt(listening_socket, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) == -1) {
    fatal_exit("Error setting socket timeout option");
  }
  // Each datagram then says which local address it was sent to, and each reply leaves from
  // that address: a client that checks where its answer comes from hears it on a host with
  // more than one address.
  const int packet_info = 1;
  if (setsockopt(listening_socket, IPPROTO_IP, IP_PKTINFO, &packet_info, sizeof packet_info) ==
      -1) {
    fatal_exit("Error setting socket packet info option");
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(static_cast<uint16_t>(port));
  if (bind(listening_socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) == -1) {
    fatal_exit("Error binding");
  }
}

void open_ipv6_listener(int port) {
  listening_socket_v6 = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (listening_socket_v6 == -1) {
    fatal_exit(errno == EAFNOSUPPORT ? "Error creating IPv6 socket: IPv6 is disabled on this host"
                                     : "Error creating IPv6 socket");
  }
  // IPv6 alone: IPv4 peers keep coming in on the IPv4 socket, under their plain identity
  // text, rather than as IPv4-mapped IPv6 addresses here.
  const int only = 1;
  if (setsockopt(listening_socket_v6, IPPROTO_IPV6, IPV6_V6ONLY, &only, sizeof only) == -1) {
    fatal_exit("Error setting IPv6-only socket option");
  }
  // Off for the reason the IPv4 socket has it off.
  const int reuse = 0;
  if (setsockopt(listening_socket_v6, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse) == -1) {
    fatal_exit("Error setting IPv6 socket reuse option");
  }
  // The address each datagram was sent to: replies leave from it, and multicast is dropped.
  const int packet_info = 1;
  if (setsockopt(listening_socket_v6, IPPROTO_IPV6, IPV6_RECVPKTINFO, &packet_info,
                 sizeof packet_info) == -1) {
    fatal_exit("Error setting IPv6 socket packet info option");
  }
  sockaddr_in6 address{};
  address.sin6_family = AF_INET6;
  address.sin6_addr = in6addr_any;
  address.sin6_port = htons(static_cast<uint16_t>(port));
  if (bind(listening_socket_v6, reinterpret_cast<const sockaddr*>(&address), sizeof address) ==
      -1) {
    fatal_exit("Error binding IPv6 socket");
  }
}

ssize_t receive_datagram(char* buffer, Address& sender, Address& local, Address& destination,
                         bool wait) {
  if (listening_socket_v6 == -1) {
    // One socket: its receive timeout bounds the wait.
    return receive_on(listening_socket, wait ? 0 : MSG_DONTWAIT, buffer, sender, local,
                      destination);
  }
  // Two sockets: poll bounds the wait to the same second, and a signal ends it as it ends a
  // receive. Each call looks at the socket the last one did not read first, so that neither
  // family's datagrams can crowd out the other's.
  std::array<pollfd, 2> ready{pollfd{listening_socket, POLLIN, 0},
                              pollfd{listening_socket_v6, POLLIN, 0}};
  if (wait && poll(ready.data(), ready.size(), 1000) <= 0) {
    return -1;
  }
  static bool ipv6_first = false;
  ipv6_first = !ipv6_first;
  const int first = ipv6_first ? listening_socket_v6 : listening_socket;
  const int second = ipv6_first ? listening_socket : listening_socket_v6;
  const ssize_t received = receive_on(first, MSG_DONTWAIT, buffer, sender, local, destination);
  if (received != -1 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
    return received;
  }
  return receive_on(second, MSG_DONTWAIT, buffer, sender, local, destination);
}

std::string identity_of(const Address& sender) {
  if (sender.family() == AF_INET6) {
    std::array<char, INET6_ADDRSTRLEN> text{};
    inet_ntop(AF_INET6, &sender.v6.sin6_addr, text.data(), text.size());
    std::string identity = "[";
    identity += text.data();
    if (sender.v6.sin6_scope_id != 0) {
      identity.append("%").append(scope_text(sender.v6.sin6_scope_id));
    }
    return identity.append("]:").append(std::to_string(sender.port()));
  }
  std::string identity = inet_ntoa(sender.v4.sin_addr);
  identity += ':';
  identity += std::to_string(ntohs(sender.v4.sin_port));
  return identity;
}

ssize_t send_reply(std::string_view message, const Address& destination, const Address& source) {
  // sendmsg only reads through these pointers.
  iovec data{const_cast<char*>(message.data()), message.size()};
  PacketInfoControl control{};
  msghdr header{};
  header.msg_name = const_cast<sockaddr*>(destination.raw());
  header.msg_namelen = destination.size();
  header.msg_iov = &data;
  header.msg_iovlen = 1;
  header.msg_control = control.bytes.data();
  header.msg_controllen = control.bytes.size();
  cmsghdr* item = CMSG_FIRSTHDR(&header);
  if (destination.family() == AF_INET6) {
    header.msg_controllen = CMSG_SPACE(sizeof(in6_pktinfo));
    item->cmsg_level = IPPROTO_IPV6;
    item->cmsg_type = IPV6_PKTINFO;
    item->cmsg_len = CMSG_LEN(sizeof(in6_pktinfo));
    // No interface here either: a link-local destination's own scope names it.
    in6_pktinfo info{};
    info.ipi6_addr = source.v6.sin6_addr;
    std::memcpy(CMSG_DATA(item), &info, sizeof info);
    return sendmsg(listening_socket_v6, &header, 0);
  }
  header.msg_controllen = CMSG_SPACE(sizeof(in_pktinfo));
  item->cmsg_level = IPPROTO_IP;
  item->cmsg_type = IP_PKTINFO;
  item->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
  // No interface: the route to destination picks it, as it would for any reply.
  in_pktinfo info{};
  info.ipi_spec_dst = source.v4.sin_addr;
  std::memcpy(CMSG_DATA(item), &info, sizeof info);
  return sendmsg(listening_socket, &header, 0);
}

std::optional<Address> address_from_identity(const std::string& identity) {
  if (identity.starts_with('[')) {
    return ipv6_from_identity(identity);
  }
  const std::size_t colon = identity.find(':');
  if (colon == std::string::npos) {
    return std::nullopt;
  }
  errno = 0;
  const char* port_text = identity.c_str() + colon + 1;
  const long port = std::strtol(port_text, nullptr, 10);
  if (errno == ERANGE || port < INT_MIN || port > INT_MAX) {
    return std::nullopt;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = inet_addr(identity.substr(0, colon).c_str());
  // Only the low 16 bits of the number name a port.
  address.sin_port = htons(static_cast<uint16_t>(port & 0xFFFF));
  return address;
}
