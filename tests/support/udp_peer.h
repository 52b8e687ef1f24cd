// A UDP client on loopback, as a remote controller of the daemon would be.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace lmrtest {

class UdpPeer {
 public:
  /// Binds a UDP socket to address and port (0: any free port).
  explicit UdpPeer(const std::string& address = "127.0.0.1", std::uint16_t port = 0);
  ~UdpPeer();
  UdpPeer(const UdpPeer&) = delete;
  UdpPeer& operator=(const UdpPeer&) = delete;

  std::uint16_t port() const { return port_; }

  /// The identity text the daemon gives this peer: "address:port".
  std::string identity() const;

  /// Sends bytes as one datagram to address:port; false if the send failed.
  bool send(std::string_view bytes, std::uint16_t to_port,
            const std::string& to_address = "127.0.0.1") const;

  /// The next datagram, or nothing if none arrives within timeout.
  std::optional<std::string> receive(std::chrono::milliseconds timeout) const;

  int fd() const { return fd_; }

 private:
  int fd_ = -1;
  std::string address_;
  std::uint16_t port_ = 0;
};

}  // namespace lmrtest
