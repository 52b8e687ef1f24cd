#include "support/udp_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <system_error>

namespace lmrtest {

UdpPeer::UdpPeer(const std::string& address, std::uint16_t port) : address_(address) {
  fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(port);
  if (fd_ == -1 || inet_pton(AF_INET, address.c_str(), &local.sin_addr) != 1 ||
      bind(fd_, reinterpret_cast<const sockaddr*>(&local), sizeof local) == -1) {
    // A peer without its own address would make every check about its identity meaningless.
    const int error = errno;
    close(fd_);
    throw std::system_error(error, std::generic_category(),
                            "UdpPeer cannot bind " + address + ":" + std::to_string(port));
  }
  socklen_t length = sizeof local;
  getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length);
  port_ = ntohs(local.sin_port);
}

UdpPeer::~UdpPeer() {
  if (fd_ != -1) {
    close(fd_);
  }
}

std::string UdpPeer::identity() const { return address_ + ":" + std::to_string(port_); }

bool UdpPeer::send(std::string_view bytes, std::uint16_t to_port,
                   const std::string& to_address) const {
  sockaddr_in destination{};
  destination.sin_family = AF_INET;
  destination.sin_port = htons(to_port);
  inet_pton(AF_INET, to_address.c_str(), &destination.sin_addr);
  return sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&destination),
                sizeof destination) == static_cast<ssize_t>(bytes.size());
}

std::optional<std::string> UdpPeer::receive(std::chrono::milliseconds timeout) const {
  pollfd ready{fd_, POLLIN, 0};
  if (poll(&ready, 1, static_cast<int>(timeout.count())) <= 0) {
    return std::nullopt;
  }
  std::array<char, 65536> buffer{};
  const ssize_t length = recv(fd_, buffer.data(), buffer.size(), 0);
  if (length < 0) {
    return std::nullopt;
  }
  return std::string(buffer.data(), static_cast<std::size_t>(length));
}

}  // namespace lmrtest
