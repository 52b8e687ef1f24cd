#include "net/listener.h"

#include <arpa/inet.h>
#include <sys/time.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "process/startup.h"

int listening_socket = -1;

void open_listener(int port) {
  // Close-on-exec keeps the suspend command from inheriting the daemon's endpoint.
  listening_socket = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (listening_socket == -1) {
    fatal_exit("Error creating socket");
  }
  const int reuse = 1;
  if (setsockopt(listening_socket, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse) == -1) {
    fatal_exit("Error setting socket reuse option");
  }
  // The timeout makes the loop turn at least once a second, so expiry is never late.
  const timeval timeout{1, 0};
  if (setsockopt(listening_socket, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) == -1) {
    fatal_exit("Error setting socket timeout option");
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(static_cast<uint16_t>(port));
  if (bind(listening_socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) == -1) {
    fatal_exit("Error binding");
  }
}

ssize_t receive_datagram(char* buffer, sockaddr_in& sender, socklen_t& sender_length) {
  return recvfrom(listening_socket, buffer, kMaxDatagram, 0, reinterpret_cast<sockaddr*>(&sender),
                  &sender_length);
}

std::string identity_of(const sockaddr_in& sender) {
  std::string identity = inet_ntoa(sender.sin_addr);
  identity += ':';
  identity += std::to_string(ntohs(sender.sin_port));
  return identity;
}

ssize_t send_reply(int socket, std::string_view message, int flags, const sockaddr_in& destination,
                   socklen_t destination_length) {
  return sendto(socket, message.data(), message.size(), flags,
                reinterpret_cast<const sockaddr*>(&destination), destination_length);
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
