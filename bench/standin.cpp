#include "standin.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <stdexcept>
#include <utility>

#include "net/listener.h"

namespace lmrbench {
namespace {

constexpr std::size_t kPerSubnet = 250;
// Room for every host's EHLO at once: a client with descriptors for all of them sends them all
// before it reads a reply, and a datagram that does not fit is lost (and costs its host a
// second).
constexpr int kReceiveBuffer = 64 * 1024 * 1024;
constexpr int kStopCheckMs = 50;

// The index of the stand-in address a datagram was sent to; hosts when it is none of them.
std::size_t host_of(in_addr destination, std::size_t hosts) {
  const std::uint32_t address = ntohl(destination.s_addr);
  const std::uint32_t subnet = (address >> 8) & 0xff;
  const std::uint32_t last = address & 0xff;
  if ((address >> 16) != 0x7f00 || subnet < 1 || last < 1 || last > kPerSubnet) {
    return hosts;
  }
  const std::size_t host = (subnet - 1) * kPerSubnet + (last - 1);
  return host < hosts ? host : hosts;
}

Clocks read_clocks() {
  timespec boot{};
  clock_gettime(CLOCK_BOOTTIME, &boot);
  return {std::time(nullptr), static_cast<std::uint32_t>(boot.tv_sec)};
}

// Sends a turn's datagrams, as the daemon's loop does; its lines and status go nowhere.
void send_all(const Turn& turn) {
  for (const Output& output : turn) {
    if (output.kind == Output::Kind::kSend) {
      (void)send_reply(output.message.text, output.message.to, output.message.from);
    }
  }
}

}  // namespace

std::string standin_address(std::size_t i) {
  return "127.0." + std::to_string(1 + i / kPerSubnet) + "." + std::to_string(1 + i % kPerSubnet);
}

StandIn::StandIn(std::uint16_t port, std::size_t hosts) : hosts_(hosts) {
  if (hosts > kMostStandinHosts || listening_socket != -1) {
    throw std::runtime_error("a stand-in answers at up to 10000 addresses, one at a time");
  }
  fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  const int on = 1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  if (fd_ == -1 || setsockopt(fd_, IPPROTO_IP, IP_PKTINFO, &on, sizeof on) != 0 ||
      bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    const std::string why = std::strerror(errno);
    if (fd_ != -1) {
      close(fd_);
    }
    throw std::runtime_error("stand-in on port " + std::to_string(port) + ": " + why);
  }
  if (setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &kReceiveBuffer, sizeof kReceiveBuffer) != 0) {
    (void)setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &kReceiveBuffer, sizeof kReceiveBuffer);
  }
  // The daemon's receive and send work on its one listening socket.
  listening_socket = fd_;
}

StandIn::~StandIn() {
  stop();
  listening_socket = -1;
  close(fd_);
}

void StandIn::use_keys(std::vector<KeySet> keys) { keys_ = std::move(keys); }

void StandIn::start() {
  stop();
  // Each address is a daemon just started: the keyed ones draw their challenges' secret.
  states_ = std::vector<LoopState>(hosts_);
  for (std::size_t host = 0; host < hosts_ && !keys_.empty(); ++host) {
    states_[host].keyed.emplace(keys_.at(host));
  }
  for (LoopState& state : states_) {
    state.command = "systemctl suspend";
  }
  received_.assign(hosts_, 0);
  suspended_.assign(hosts_, 0);
  stopping_ = false;
  thread_ = std::thread([this] { serve(); });
}

void StandIn::stop() {
  if (thread_.joinable()) {
    stopping_ = true;
    thread_.join();
  }
}

void StandIn::answer(std::size_t host, const Datagram& datagram) {
  LoopState& state = states_[host];
  ++received_[host];
  const Turn turn = take_turn(state, &datagram, read_clocks());
  send_all(turn);
  if (turn.effect == Effect::kSleep) {
    // A sleep command that no inhibitor holds back and that succeeds at once.
    ++suspended_[host];
    send_all(sleep_started(state, state.sleepers.back()));
    for (const Sleeper& sleeper : std::exchange(state.sleepers, {})) {
      send_all(sleep_ended(state, sleeper, 0, read_clocks()));
    }
  }
}

void StandIn::serve() {
  std::array<char, kMaxDatagram + 1> buffer{};
  while (!stopping_) {
    pollfd ready{fd_, POLLIN, 0};
    if (poll(&ready, 1, kStopCheckMs) <= 0) {
      continue;
    }
    for (;;) {
      Datagram datagram;
      const ssize_t size =
          receive_datagram(buffer.data(), datagram.sender, datagram.local, datagram.destination);
      if (size < 0) {
        break;
      }
      const std::size_t host = host_of(datagram.destination.v4.sin_addr, hosts_);
      if (host == hosts_) {
        continue;
      }
      datagram.text = datagram_text(buffer.data(), static_cast<std::size_t>(size));
      datagram.identity = identity_of(datagram.sender);
      answer(host, datagram);
    }
  }
}

}  // namespace lmrbench
