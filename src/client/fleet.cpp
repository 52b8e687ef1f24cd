#include "client/fleet.h"

#include <netdb.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "client/exchange.h"
#include "client/report.h"
#include "client/wake.h"
#include "key/keyed_wire.h"
#include "net/exit_status.h"
#include "net/protocol.h"

namespace {

// The key id that a client without a key names in a keyed EHLO (status, wake --wait): a
// daemon that does not hold it answers KEYED 2, as to a plain EHLO, and opens nothing.
constexpr std::string_view kNoKeyId = "00000000";
constexpr std::size_t kNone = static_cast<std::size_t>(-1);

// One host as the loop sees it.
struct Peer {
  std::string argument;
  std::vector<sockaddr_in> addresses;  // every address of the name, in the resolver's order
  std::size_t current = 0;             // the index in addresses of the one asked now
  bool heard = false;                  // any datagram at all came from it
  int fd = -1;                         // connected to the address asked, for ICMP errors
  std::size_t same_as = kNone;         // an earlier peer with the same address speaks for this one
  const NamedKey* key = nullptr;       // keyed: the key for this host's name
  Proving proving;                     // the nonces sent, the challenge the command answers
  std::string packet;                  // wake --wait: the magic packet for the host
  bool packet_failed = false;          // wake --wait: a magic packet could not be sent
  Exchange exchange;

  // The address asked now; only for a peer whose name resolved.
  const sockaddr_in& address() const { return addresses[current]; }
};

bool same_address(const sockaddr_in& a, const sockaddr_in& b) {
  return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

bool contains(const std::vector<sockaddr_in>& list, const sockaddr_in& address) {
  return std::any_of(list.begin(), list.end(),
                     [&](const sockaddr_in& a) { return same_address(a, address); });
}

// The target's IPv4 addresses with its port, each once; empty when it cannot be resolved.
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

// Moves a peer whose address never answered at all (or had no daemon on the port) on to the
// next address of its name that no host of this call has been asked at, with what is left of
// the time limit. Only silence allows it: with nothing heard, no command can have gone to
// that address.
bool ask_next_address(Peer& peer, std::vector<sockaddr_in>& asked, Clock::time_point now) {
  const Result result = peer.exchange.result;
  if (peer.heard || (result != Result::kNoAnswer && result != Result::kNoDaemon)) {
    return false;
  }
  const auto left = std::chrono::floor<std::chrono::milliseconds>(peer.exchange.deadline - now);
  for (std::size_t next = peer.current + 1; left.count() > 0 && next < peer.addresses.size();
       ++next) {
    if (!contains(asked, peer.addresses[next])) {
      peer.current = next;
      asked.push_back(peer.address());
      connect_to(peer);
      peer.exchange = start_exchange(now, left, peer.exchange.plan);
      return true;
    }
  }
  return false;
}

// A fleet needs a descriptor per host; the soft limit is often far below the hard one.
void raise_descriptor_limit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

// The command word of what hosts are asked to do.
std::string_view word_of(Command command) {
  return command == Command::kQuit ? protocol::kQuitWord : protocol::kSuspendWord;
}

// What a client without a key names in its keyed EHLOs.
const NamedKey& no_key() {
  static const NamedKey none{std::string(), std::string(kNoKeyId), Key{}};
  return none;
}

// Every host of one call, and what has been reported of them.
struct Fleet {
  Command command = Command::kSuspend;
  std::vector<Peer> peers;
  std::vector<sockaddr_in> asked;  // every address that a host of this call has been asked at
  std::vector<Result> results;
  std::size_t pending = 0;  // peers with a socket, still to be reported
  int wake_fd = -1;         // wake --wait: the broadcast socket of the magic packets
  sockaddr_in wake_to{};    // wake --wait: where they go
};

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

// Sends the magic packet of a host that wake --wait waits for; says so once if it cannot.
void send_packet(const Fleet& fleet, Peer& peer) {
  if (!send_magic_packet(fleet.wake_fd, fleet.wake_to, peer.packet, peer.argument,
                         peer.packet_failed)) {
    peer.packet_failed = true;
  }
}

ssize_t send_text(const Peer& peer, const std::string& text) {
  return sendto(peer.fd, text.data(), text.size(), 0,
                reinterpret_cast<const sockaddr*>(&peer.address()), sizeof(sockaddr_in));
}

void send_to(Fleet& fleet, Peer& peer, Send what, Clock::time_point now) {
  if (what == Send::kNothing) {
    return;
  }
  if (what == Send::kProbe) {
    // A fresh nonce for each probe: only a START made for it shows the host awake since.
    remember_probe(peer.proving, new_nonce());
  }
  if (what == Send::kEhlo && !peer.packet.empty()) {
    send_packet(fleet, peer);
  }
  const std::string text = datagram_for(peer, what, fleet.command);
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

// Reads every waiting datagram and hands those from the host's own address and port on.
void receive_replies(Fleet& fleet, Peer& peer, Clock::time_point now) {
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
    const Send send = on_reply(peer.exchange, heard.reply, now, heard.sleep_status);
    if (send == Send::kCommand && heard.reply == Reply::kKeyedStart) {
      peer.proving.challenge = heard.challenge;
    }
    send_to(fleet, peer, send, now);
  }
}

// Reports a host that is done before it was asked anything.
void finish_early(Fleet& fleet, Peer& peer, Result result) {
  peer.exchange.step = Step::kFinished;
  peer.exchange.result = result;
  print_line(result_line(peer.argument, peer.exchange, fleet.command, 0));
  fleet.results.push_back(result);
}

// Resolves the i-th target's name and opens its socket, unless an earlier host of the call
// has the same address.
void prepare_peer(Fleet& fleet, std::size_t i, const Target& target, const KeySet* keys) {
  Peer& peer = fleet.peers[i];
  peer.argument = target.argument;
  peer.key = keys != nullptr ? keys->for_host(peer.argument) : nullptr;
  peer.proving.word = word_of(fleet.command);
  peer.proving.nonce = new_nonce();
  peer.addresses = resolve(target);
  if (peer.addresses.empty()) {
    // The magic packet needs no address of the host: it still goes, once.
    if (!peer.packet.empty()) {
      send_packet(fleet, peer);
    }
    finish_early(fleet, peer, Result::kUnresolved);
    return;
  }
  // Two sessions with one daemon would lock each other out, and a second command could
  // run twice: a host named twice is asked once and reported under each name. (wake --wait
  // sends each name's magic packet.)
  for (std::size_t j = 0; j < i && fleet.command != Command::kWake; ++j) {
    if (fleet.peers[j].fd != -1 && same_address(fleet.peers[j].address(), peer.address())) {
      peer.same_as = j;
      return;
    }
  }
  fleet.asked.push_back(peer.address());
  peer.fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (peer.fd == -1) {
    (void)std::fprintf(stderr, "lomarind: %s: cannot open a socket: %s\n", peer.argument.c_str(),
                       std::strerror(errno));
    finish_early(fleet, peer, Result::kNoAnswer);
    return;
  }
  connect_to(peer);
  ++fleet.pending;
}

// Reports whatever has finished, with any other names of the same host, and lets its socket
// go; returns when the next unfinished exchange has something to do.
Clock::time_point report_finished(Fleet& fleet, Clock::time_point now) {
  Clock::time_point next = Clock::time_point::max();
  for (std::size_t i = 0; i < fleet.peers.size(); ++i) {
    Peer& peer = fleet.peers[i];
    if (peer.fd == -1) {
      continue;
    }
    if (peer.exchange.step != Step::kFinished || ask_next_address(peer, fleet.asked, now)) {
      next = std::min(next, next_timer(peer.exchange));
      continue;
    }
    for (std::size_t j = i; j < fleet.peers.size(); ++j) {
      if (j == i || fleet.peers[j].same_as == i) {
        print_line(result_line(fleet.peers[j].argument, peer.exchange, fleet.command,
                               ntohs(peer.address().sin_port)));
        fleet.results.push_back(peer.exchange.result);
      }
    }
    close(peer.fd);
    peer.fd = -1;
    --fleet.pending;
  }
  return next;
}

// Waits for replies on every open socket, at most until the time until, and hands them on.
void wait_for_replies(Fleet& fleet, Clock::time_point now, Clock::time_point until) {
  std::vector<pollfd> ready;
  std::vector<std::size_t> polled;
  for (std::size_t i = 0; i < fleet.peers.size(); ++i) {
    if (fleet.peers[i].fd != -1) {
      ready.push_back(pollfd{fleet.peers[i].fd, POLLIN, 0});
      polled.push_back(i);
    }
  }
  // Rounded up, so that the loop does not spin through the last fraction of a millisecond.
  const auto wait = std::chrono::ceil<std::chrono::milliseconds>(until - now);
  const int timeout = static_cast<int>(std::max<long>(0, wait.count()));
  if (poll(ready.data(), ready.size(), timeout) <= 0) {
    return;
  }
  const Clock::time_point arrived = Clock::now();
  for (std::size_t k = 0; k < ready.size(); ++k) {
    if ((ready[k].revents & (POLLIN | POLLERR)) != 0) {
      receive_replies(fleet, fleet.peers[polled[k]], arrived);
    }
  }
}

// What the command line asks of one host's exchange.
Plan plan_for(const Arguments& arguments, const Peer& peer) {
  Plan plan;
  plan.task = arguments.command == Command::kStatus ? Task::kStatus
              : arguments.command == Command::kWake ? Task::kAwait
                                                    : Task::kCommand;
  plan.keyed = peer.key != nullptr;
  plan.suspend = arguments.command == Command::kSuspend;
  plan.confirm = arguments.confirm && plan.keyed && plan.suspend;
  return plan;
}

}  // namespace

int run_command(const Arguments& arguments, const KeySet* keys) {
  raise_descriptor_limit();
  Fleet fleet;
  fleet.command = arguments.command;
  if (arguments.command == Command::kWake) {
    fleet.wake_fd = open_broadcast_socket();
    if (fleet.wake_fd == -1) {
      return exit_status::kSilent;
    }
    fleet.wake_to.sin_family = AF_INET;
    fleet.wake_to.sin_addr = arguments.wake_address;
    fleet.wake_to.sin_port = htons(arguments.wake_port);
  }
  fleet.peers.resize(arguments.targets.size());
  // Names are looked up one after another before any host is contacted, so that every
  // host then gets the whole time limit.
  for (std::size_t i = 0; i < arguments.targets.size(); ++i) {
    if (arguments.command == Command::kWake) {
      fleet.peers[i].packet = magic_packet(arguments.sleepers.at(i).mac);
    }
    prepare_peer(fleet, i, arguments.targets[i], keys);
  }
  const Clock::time_point start = Clock::now();
  for (Peer& peer : fleet.peers) {
    if (peer.fd != -1) {
      peer.exchange = start_exchange(start, arguments.time_limit, plan_for(arguments, peer));
    }
  }
  while (fleet.pending > 0) {
    const Clock::time_point now = Clock::now();
    for (Peer& peer : fleet.peers) {
      if (peer.fd != -1 && peer.exchange.step != Step::kFinished) {
        send_to(fleet, peer, on_timer(peer.exchange, now), now);
      }
    }
    const Clock::time_point next = report_finished(fleet, now);
    if (fleet.pending > 0) {
      wait_for_replies(fleet, now, next);
    }
  }
  if (fleet.wake_fd != -1) {
    close(fleet.wake_fd);
  }
  return exit_status_of(fleet.results);
}
