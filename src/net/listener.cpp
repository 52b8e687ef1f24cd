#include "net/listener.h"

#include <arpa/inet.h>
#include <sys/time.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "process/startup.h"

int listening_socket = -1;

namespace {

// Room for the one control message the socket exchanges, aligned as a cmsghdr must be.
struct PacketInfoControl {
  alignas(cmsghdr) std::array<char, CMSG_SPACE(sizeof(in_pktinfo))> bytes;
};

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

ssize_t receive_datagram(char* buffer, sockaddr_in& sender, socklen_t& sender_length,
                         in_addr& local, in_addr& destination, bool wait) {
  iovec data{buffer, kMaxDatagram};
  PacketInfoControl control{};
  msghdr header{};
  header.msg_name = &sender;
  header.msg_namelen = sender_length;
  header.msg_iov = &data;
  header.msg_iovlen = 1;
  header.msg_control = control.bytes.data();
  header.msg_controllen = control.bytes.size();
  const ssize_t received = recvmsg(listening_socket, &header, wait ? 0 : MSG_DONTWAIT);
  sender_length = header.msg_namelen;
  local.s_addr = htonl(INADDR_ANY);
  destination = local;
  for (const cmsghdr* item = CMSG_FIRSTHDR(&header); item != nullptr;
       item = CMSG_NXTHDR(&header, const_cast<cmsghdr*>(item))) {
    if (item->cmsg_level == IPPROTO_IP && item->cmsg_type == IP_PKTINFO) {
      in_pktinfo info{};
      std::memcpy(&info, CMSG_DATA(item), sizeof info);
      // The address the datagram reached this host at; for a broadcast, the receiving
      // interface's own address, which a reply can leave from. The header's destination
      // equals it exactly when the datagram was sent to this host alone.
      local = info.ipi_spec_dst;
      destination = info.ipi_addr;
    }
  }
  return received;
}

std::string identity_of(const sockaddr_in& sender) {
  std::string identity = inet_ntoa(sender.sin_addr);
  identity += ':';
  identity += std::to_string(ntohs(sender.sin_port));
  return identity;
}

ssize_t send_reply(std::string_view message, const sockaddr_in& destination,
                   socklen_t destination_length, const in_addr& source) {
  // sendmsg only reads through these pointers.
  iovec data{const_cast<char*>(message.data()), message.size()};
  PacketInfoControl control{};
  msghdr header{};
  header.msg_name = const_cast<sockaddr_in*>(&destination);
  header.msg_namelen = destination_length;
  header.msg_iov = &data;
  header.msg_iovlen = 1;
  header.msg_control = control.bytes.data();
  header.msg_controllen = control.bytes.size();
  cmsghdr* item = CMSG_FIRSTHDR(&header);
  item->cmsg_level = IPPROTO_IP;
  item->cmsg_type = IP_PKTINFO;
  item->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
  // No interface: the route to destination picks it, as it would for any reply.
  in_pktinfo info{};
  info.ipi_spec_dst = source;
  std::memcpy(CMSG_DATA(item), &info, sizeof info);
  return sendmsg(listening_socket, &header, 0);
}

std::optional<sockaddr_in> address_from_identity(const std::string& identity) {
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
