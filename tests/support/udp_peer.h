// A UDP client on loopback (IPv4 or IPv6), as a remote controller of the daemon would be.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

namespace lmrtest {

class UdpPeer {
 public:
  /// Binds a UDP socket to address and port (0: any free port); an address with a colon is
  /// IPv6.
  explicit UdpPeer(const std::string& address = "127.0.0.1", std::uint16_t port = 0);
  ~UdpPeer();
  UdpPeer(const UdpPeer&) = delete;
  UdpPeer& operator=(const UdpPeer&) = delete;

  std::uint16_t port() const { return port_; }

  /// The identity text the daemon gives this peer: "address:port", for IPv6 "[address]:port".
  std::string identity() const;

  /// Sends bytes as one datagram to address:port (no address: the loopback address of the
  /// peer's family); false if the send failed.
  bool send(std::string_view bytes, std::uint16_t to_port,
            const std::string& to_address = "") const;

  /// The next datagram, or nothing if none arrives within timeout.
  std::optional<std::string> receive(std::chrono::milliseconds timeout) const;

  int fd() const { return fd_; }

 private:
  int fd_ = -1;
  std::string address_;
  std::uint16_t port_ = 0;
};

/// A raw socket that sends forged IPv4 datagrams (it needs CAP_NET_RAW); -1 when it cannot be
/// opened, with errno saying why.
int open_forging_socket();

/// Sends text (at most 128 bytes) as one UDP datagram from from_address:from_port to
/// to_address:to_port over raw_fd, whatever the source, port 0 included; false when the send
/// failed.
bool send_forged(int raw_fd, std::string_view text, const std::string& from_address,
                 std::uint16_t from_port, const std::string& to_address, std::uint16_t to_port);

/// A stranger's datagrams from forged sources to 127.0.0.1:port, paced at per_second on a
/// thread of its own until destroyed: keyed EHLOs naming key_id, plain EHLOs and made-up
/// commands in turn, each from the next of 1000 identities (addresses 127.1.x.y, ports from
/// 20000), over a raw socket (which needs CAP_NET_RAW).
class ForgedFlood {
 public:
  ForgedFlood(std::uint16_t port, const std::string& key_id, int per_second);
  ~ForgedFlood();
  ForgedFlood(const ForgedFlood&) = delete;
  ForgedFlood& operator=(const ForgedFlood&) = delete;

  /// False when the raw socket could not be opened; errno says why.
  bool ok() const { return fd_ != -1; }
  /// Datagrams sent so far.
  long sent() const { return sent_.load(); }

 private:
  void send_all(std::uint16_t port, const std::string& key_id, int per_second);

  int fd_;
  std::atomic<bool> stop_{false};
  std::atomic<long> sent_{0};
  std::thread thread_;
};

}  // namespace lmrtest
