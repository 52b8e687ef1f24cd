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

bool contains(const std::vector<Address>& list, const Address& address) {
  return std::any_of(list.begin(), list.end(),
                     [&](const Address& a) { return same_address(a, address); });
}

// Points the peer's socket at the address asked now, so that the kernel delivers only that
// address's datagrams and reports an ICMP port unreachable from it as ECONNREFUSED. A socket
// that cannot be connected still sends to the address; it only hears no ICMP.
void connect_to(const Peer& peer) {
  (void)connect(peer.fd, peer.address().raw(), peer.address().size());
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
  return sendto(peer.fd, text.data(), text.size(), 0, peer.address().raw(), peer.address().size());
}

}  // namespace

std::string address_key(const Address& address) {
  std::string key(1, static_cast<char>(address.family()));
  const auto append = [&key](const void* bytes, std::size_t size) {
    key.append(static_cast<const char*>(bytes), size);
  };
  if (address.family() == AF_INET6) {
    append(&address.v6.sin6_addr, sizeof address.v6.sin6_addr);
    append(&address.v6.sin6_scope_id, sizeof address.v6.sin6_scope_id);
  } else {
    append(&address.v4.sin_addr, sizeof address.v4.sin_addr);
  }
  append(&address.v4.sin_port, sizeof address.v4.sin_port);
  return key;
}

std::vector<Address> resolve(const Target& target) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  std::vector<Address> addresses;
  if (getaddrinfo(target.name.c_str(), nullptr, &hints, &found) != 0) {
    return addresses;
  }
  for (const addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
    Address address;
    if (entry->ai_family == AF_INET && entry->ai_addrlen == sizeof address.v4) {
      std::memcpy(&address.v4, entry->ai_addr, sizeof address.v4);
    } else if (entry->ai_family == AF_INET6 && entry->ai_addrlen == sizeof address.v6) {
      // A link-local address keeps the scope that "%eth0" in the name gave it.
      std::memcpy(&address.v6, entry->ai_addr, sizeof address.v6);
    } else {
      continue;
    }
    address.v6.sin6_port = htons(target.port);  // where both families keep the port
    if (!contains(addresses, address)) {
      addresses.push_back(address);
    }
  }
  freeaddrinfo(found);
  return addresses;
}

bool open_socket(Peer& peer) {
  peer.fd = socket(peer.address().family(), SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (peer.fd == -1) {
    return false;
  }
  connect_to(peer);
  return true;
}

// Only silence allows a move: with nothing heard, no command can have gone to that address.
bool ask_next_address(Peer& peer, std::unordered_set<std::string>& asked, Clock::time_point now) {
  const Result result = peer.exchange.result;
  if (peer.heard || (result != Result::kNoAnswer && result != Result::kNoDaemon)) {
    return false;
  }
  const auto left = std::chrono::floor<std::chrono::milliseconds>(peer.exchange.deadline - now);
  for (std::size_t next = peer.current + 1; left.count() > 0 && next < peer.addresses.size();
       ++next) {
    if (asked.insert(address_key(peer.addresses[next])).second) {
      const sa_family_t family = peer.address().family();
      peer.current = next;
      if (family == peer.address().family()) {
        connect_to(peer);
      } else if (close(peer.fd), !open_socket(peer)) {
        return false;
      }
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
    Address sender;
    socklen_t length = sizeof sender.v6;
    const ssize_t size = recvfrom(peer.fd, buffer.data(), buffer.size(), 0, sender.raw(), &length);
    if (size < 0 && errno == ECONNREFUSED) {
      // The host's kernel answered an earlier datagram: nothing listens on the port.
      (void)on_reply(peer.exchange, Reply::kUnreachable, now);
      continue;
    }
    if (size < 0) {
      return;
    }
    if (length != peer.address().size() || !same_address(sender, peer.address())) {
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
