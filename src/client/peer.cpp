#include "client/peer.h"

#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "client/wake.h"
#include "key/keyed_wire.h"
#include "net/protocol.h"

namespace {

// The key id that a client without a key names in a keyed EHLO (status, wake --wait): a
// daemon that does not hold it answers KEYED 2, as to a plain EHLO, and opens nothing.
constexpr std::string_view kNoKeyId = "00000000";

bool same_address(const sockaddr_in& a, const sockaddr_in& b) {
  return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

bool contains(const std::vector<sockaddr_in>& list, const sockaddr_in& address) {
  return std::any_of(list.begin(), list.end(),
                     [&](const sockaddr_in& a) { return same_address(a, address); });
}

// Points the peer's socket at the address asked now, so that the kernel delivers only that
// address's datagrams and reports an ICMP port unreachable from it as ECONNREFUSED. A socket
// that cannot be connected still sends to the address; it only hears no ICMP.
void connect_to(const Peer& peer) {
  (void)connect(peer.fd, reinterpret_cast<const sockaddr*>(&peer.address()), sizeof(sockaddr_in));
  // An error left from the address asked before must not be taken for this one's.
  int error = 0;
  socklen_t length = sizeof error;
  (void)getsockopt(peer.fd, SOL_SOCKET, SO_ERROR, &error, &length);
}

// What a client without a key names in its keyed EHLOs.
const NamedKey& no_key() {
  static const NamedKey none{std::string(), std::string(kNoKeyId), Key{}};
  return none;
}

// The datagram that what stands for, to peer. status and wake --wait speak only keyed, with
// the key id of no key when the client has none, so that no session is ever opened.
std::string datagram_for(const Peer& peer, Send what, Command command) {
  const bool keyed =
      peer.key != nullptr || command == Command::kStatus || command == Command::kWake;
  if (!keyed) {
    return std::string(what == Send::kEhlo         ? protocol::kEhlo
                       : command == Command::kQuit ? protocol::kQuit
                                                   : protocol::kSuspend);
  }
  const NamedKey& key = peer.key != nullptr ? *peer.key : no_key();
  switch (what) {
  case Send::kProbe:
    return ehlo_datagram(key, peer.proving.probes.back());
  case Send::kCommand:
    // A command is sent only on a proven START, whose challenge the peer keeps.
    return command_datagram(key, peer.proving.word, peer.proving.challenge);
  case Send::kEhlo:
  case Send::kNothing:
    break;
  }
  return ehlo_datagram(key, peer.proving.nonce);
}

ssize_t send_text(const Peer& peer, const std::string& text) {
  return sendto(peer.fd, text.data(), text.size(), 0,
                reinterpret_cast<const sockaddr*>(&peer.address()), sizeof(sockaddr_in));
}

}  // namespace

std::uint64_t address_key(const sockaddr_in& address) {
  return (std::uint64_t{ntohl(address.sin_addr.s_addr)} << 16) | ntohs(address.sin_port);
}

std::vector<sockaddr_in> resolve(const Target& target) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  std::vector<sockaddr_in> addresses;
  if (getaddrinfo(target.name.c_str(), nullptr, &hints, &found) != 0) {
    return addresses;
  }
  for (const addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
    if (entry->ai_family != AF_INET || entry->ai_addrlen != sizeof(sockaddr_in)) {
      continue;
    }
    sockaddr_in address{};
    std::memcpy(&address, entry->ai_addr, sizeof address);
    address.sin_port = htons(target.port);
    if (!contains(addresses, address)) {
      addresses.push_back(address);
    }
  }
  freeaddrinfo(found);
  return addresses;
}

bool open_socket(Peer& peer) {
  peer.fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (peer.fd == -1) {
    return false;
  }
  connect_to(peer);
  return true;
}

// Only silence allows a move: with nothing heard, no command can have gone to that address.
bool ask_next_address(Peer& peer, std::unordered_set<std::uint64_t>& asked, Clock::time_point now) {
  const Result result = peer.exchange.result;
  if (peer.heard || (result != Result::kNoAnswer && result != Result::kNoDaemon)) {
    return false;
  }
  const auto left = std::chrono::floor<std::chrono::milliseconds>(peer.exchange.deadline - now);
  for (std::size_t next = peer.current + 1; left.count() > 0 && next < peer.addresses.size();
       ++next) {
    if (asked.insert(address_key(peer.addresses[next])).second) {
      peer.current = next;
      connect_to(peer);
      peer.exchange = start_exchange(now, left, peer.exchange.plan);
      return true;
    }
  }
  return false;
}

void send_packet(const Outgoing& out, Peer& peer) {
  if (!send_magic_packet(out.wake_fd, out.wake_to, peer.packet, peer.argument,
                         peer.packet_failed)) {
    peer.packet_failed = true;
  }
}

void send_to(const Outgoing& out, Peer& peer, Send what, Clock::time_point now) {
  if (what == Send::kNothing) {
    return;
  }
  if (what == Send::kProbe) {
    // A fresh nonce for each probe: only a START made for it shows the host awake since.
    remember_probe(peer.proving, new_nonce());
  }
  if (what == Send::kEhlo && !peer.packet.empty()) {
    send_packet(out, peer);
  }
  const std::string text = datagram_for(peer, what, out.command);
  // A failed send is a lost datagram: the exchange repeats EHLO or gives up in time. A send
  // that fails with ECONNREFUSED reports an earlier datagram's ICMP port unreachable and did
  // not go: the exchange hears of it, and the datagram goes again if it still should.
  if (send_text(peer, text) == -1 && errno == ECONNREFUSED) {
    (void)on_reply(peer.exchange, Reply::kUnreachable, now);
    if (peer.exchange.step != Step::kFinished) {
      (void)send_text(peer, text);
    }
  }
}

void receive_replies(const Outgoing& out, Peer& peer, Clock::time_point now) {
  std::array<char, 1024> buffer{};
  while (peer.exchange.step != Step::kFinished) {
    sockaddr_in sender{};
    socklen_t length = sizeof sender;
    const ssize_t size = recvfrom(peer.fd, buffer.data(), buffer.size(), 0,
                                  reinterpret_cast<sockaddr*>(&sender), &length);
    if (size < 0 && errno == ECONNREFUSED) {
      // The host's kernel answered an earlier datagram: nothing listens on the port.
      (void)on_reply(peer.exchange, Reply::kUnreachable, now);
      continue;
    }
    if (size < 0) {
      return;
    }
    if (length != sizeof sender || sender.sin_family != AF_INET ||
        !same_address(sender, peer.address())) {
      continue;
    }
    const std::string_view text(buffer.data(), static_cast<std::size_t>(size));
    const Heard heard =
        hear(peer.exchange, text, peer.key != nullptr ? &peer.key->key : nullptr, peer.proving);
    // With a key, only a proven reply shows that the daemon is there: a forger's datagram
    // must not keep the client from the name's next address.
    peer.heard = peer.heard || peer.key == nullptr ||
                 (heard.reply != Reply::kOther && heard.reply != Reply::kKeyed);
    const Send send =
        on_reply(peer.exchange, heard.reply, now, heard.sleep_status, heard.inhibitor);
    if (send == Send::kCommand && heard.reply == Reply::kKeyedStart) {
      peer.proving.challenge = heard.challenge;
    }
    send_to(out, peer, send, now);
  }
}
