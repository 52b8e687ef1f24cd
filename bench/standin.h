// A stand-in for a fleet of daemons: one socket, on a thread of the benchmark's process, that
// answers at each of many loopback addresses as a daemon of its own would. Each address has
// the daemon's own state and turn (session/session_turn.h), keyless or keyed with a key of its
// own through the key room (KeyedService), and its replies leave from the address asked, with
// the daemon's own receive and send (net/listener.h). A SUSPEND is carried out by counting
// it: no sleep command ever runs.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "key/key.h"
#include "session/session_turn.h"

namespace lmrbench {

/// The i-th address of a stand-in fleet: 127.0.X.Y with X = 1 + i / 250, Y = 1 + i % 250.
std::string standin_address(std::size_t i);

/// Most addresses a stand-in answers at.
constexpr std::size_t kMostStandinHosts = 10000;

class StandIn {
 public:
  /// Binds port on every local address; hosts addresses (at most kMostStandinHosts), keyless.
  /// Throws std::runtime_error when the port cannot be bound.
  StandIn(std::uint16_t port, std::size_t hosts);
  ~StandIn();
  StandIn(const StandIn&) = delete;
  StandIn& operator=(const StandIn&) = delete;

  /// Makes the stand-in keyed: address i holds keys[i] alone (keys.size() == hosts).
  void use_keys(std::vector<KeySet> keys);

  /// Gives every address a new daemon's state (no session, no challenge spent), zeroes the
  /// counts and answers on a thread of its own until stop().
  void start();
  void stop();

  /// Per address, while stopped: datagrams received and SUSPENDs carried out.
  const std::vector<std::uint32_t>& received() const { return received_; }
  const std::vector<std::uint32_t>& suspended() const { return suspended_; }

 private:
  void serve();
  void answer(std::size_t host, const Datagram& datagram);

  int fd_ = -1;
  std::size_t hosts_;
  std::vector<KeySet> keys_;
  std::vector<LoopState> states_;
  std::vector<std::uint32_t> received_;
  std::vector<std::uint32_t> suspended_;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

}  // namespace lmrbench
