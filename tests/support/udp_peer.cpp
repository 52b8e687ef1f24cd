#include "support/udp_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <system_error>

namespace lmrtest {

using namespace std::chrono_literals;

namespace {

// address:port as a socket address of the family the address's text says; false when the text
// is no address.
bool socket_address(const std::string& address, std::uint16_t port, sockaddr_in6& result) {
  result = sockaddr_in6{};
  if (address.find(':') != std::string::npos) {
    result.sin6_family = AF_INET6;
    result.sin6_port = htons(port);
    return inet_pton(AF_INET6, address.c_str(), &result.sin6_addr) == 1;
  }
  sockaddr_in ipv4{};
  ipv4.sin_family = AF_INET;
  ipv4.sin_port = htons(port);
  const bool valid = inet_pton(AF_INET, address.c_str(), &ipv4.sin_addr) == 1;
  std::memcpy(&result, &ipv4, sizeof ipv4);
  return valid;
}

socklen_t length_of(const sockaddr_in6& address) {
  return address.sin6_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
}

}  // namespace

UdpPeer::UdpPeer(const std::string& address, std::uint16_t port) : address_(address) {
  sockaddr_in6 local{};
  const bool valid = socket_address(address, port, local);
  fd_ = socket(local.sin6_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd_ == -1 || !valid ||
      bind(fd_, reinterpret_cast<const sockaddr*>(&local), length_of(local)) == -1) {
    // A peer without its own address would make every check about its identity meaningless.
    const int error = errno;
    close(fd_);
    throw std::system_error(error, std::generic_category(),
                            "UdpPeer cannot bind " + address + ":" + std::to_string(port));
  }
  socklen_t length = sizeof local;
  getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length);
  port_ = ntohs(local.sin6_port);  // where both families keep the port
}

UdpPeer::~UdpPeer() {
  if (fd_ != -1) {
    close(fd_);
  }
}

std::string UdpPeer::identity() const {
  const bool ipv6 = address_.find(':') != std::string::npos;
  return (ipv6 ? "[" + address_ + "]" : address_) + ":" + std::to_string(port_);
}

bool UdpPeer::send(std::string_view bytes, std::uint16_t to_port,
                   const std::string& to_address) const {
  const bool ipv6 = address_.find(':') != std::string::npos;
  sockaddr_in6 destination{};
  socket_address(to_address.empty() ? (ipv6 ? "::1" : "127.0.0.1") : to_address, to_port,
                 destination);
  return sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&destination),
                length_of(destination)) == static_cast<ssize_t>(bytes.size());
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

int open_forging_socket() { return socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_RAW); }

bool send_forged(int raw_fd, std::string_view text, const std::string& from_address,
                 std::uint16_t from_port, const std::string& to_address, std::uint16_t to_port) {
  std::array<unsigned char, 28 + 128> packet{};
  if (text.size() > packet.size() - 28) {
    return false;
  }
  const auto length = static_cast<std::uint16_t>(28 + text.size());
  packet[0] = 0x45;  // IPv4, a 20-byte header; the kernel fills in length and checksum
  packet[8] = 64;
  packet[9] = IPPROTO_UDP;
  in_addr from{};
  in_addr to{};
  if (inet_pton(AF_INET, from_address.c_str(), &from) != 1 ||
      inet_pton(AF_INET, to_address.c_str(), &to) != 1) {
    return false;
  }
  std::memcpy(packet.data() + 12, &from, sizeof from);
  std::memcpy(packet.data() + 16, &to, sizeof to);
  const std::array<std::uint16_t, 3> udp{htons(from_port), htons(to_port),
                                         htons(static_cast<std::uint16_t>(length - 20))};
  std::memcpy(packet.data() + 20, udp.data(), sizeof udp);  // checksum 0: none
  std::memcpy(packet.data() + 28, text.data(), text.size());
  sockaddr_in destination{};
  destination.sin_family = AF_INET;
  destination.sin_addr = to;
  return sendto(raw_fd, packet.data(), length, 0, reinterpret_cast<const sockaddr*>(&destination),
                sizeof destination) == length;
}

ForgedFlood::ForgedFlood(std::uint16_t port, const std::string& key_id, int per_second)
    : fd_(open_forging_socket()) {
  if (fd_ != -1) {
    thread_ = std::thread([this, port, key_id, per_second] { send_all(port, key_id, per_second); });
  }
}

ForgedFlood::~ForgedFlood() {
  stop_ = true;
  if (thread_.joinable()) {
    thread_.join();
  }
  if (fd_ != -1) {
    close(fd_);
  }
}

void ForgedFlood::send_all(std::uint16_t port, const std::string& key_id, int per_second) {
  constexpr int kIdentities = 1000;
  const auto started = std::chrono::steady_clock::now();
  for (long i = 0; !stop_; ++i) {
    // Paced: datagram i leaves at i / per_second seconds.
    std::this_thread::sleep_until(started + i * 1'000'000us / per_second);
    const std::string digits = std::to_string(1'000'000'000'000LL + i).substr(1, 12);
    const std::array<std::string, 3> texts{
        "EHLO " + key_id + " " + (digits + digits).append(digits.substr(0, 8)) + "\n", "EHLO\n",
        "SUSPEND " + key_id + " " + std::string(32, 'a') + " " + std::string(64, 'b') + "\n"};
    const std::string& text = texts.at(static_cast<std::size_t>(i % 3));
    const int identity = static_cast<int>(i % kIdentities);
    const std::string from =
        "127.1." + std::to_string(identity / 250) + "." + std::to_string(identity % 250 + 1);
    const auto source_port = static_cast<std::uint16_t>(20000 + identity);
    if (send_forged(fd_, text, from, source_port, "127.0.0.1", port)) {
      ++sent_;
    }
  }
}

}  // namespace lmrtest
