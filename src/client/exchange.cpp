#include "client/exchange.h"

#include <netdb.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <vector>

#include "net/protocol.h"

namespace {

constexpr int kSilentStatus = 3;
constexpr int kLockedStatus = 2;
constexpr int kKeyMismatchStatus = 4;
constexpr std::size_t kNone = static_cast<std::size_t>(-1);

void finish(Exchange& exchange, Result result) {
  exchange.step = Step::kFinished;
  exchange.result = result;
}

void wait_for_lock(Exchange& exchange, Clock::time_point now) {
  exchange.step = Step::kWaitingForLock;
  exchange.next = now + kLockedRetry;
}

// One host as the loop sees it.
struct Peer {
  std::string argument;
  std::vector<sockaddr_in> addresses;  // every address of the name, in the resolver's order
  std::size_t asking = 0;              // the one of them that is asked now
  bool heard = false;                  // any datagram at all came from it
  int fd = -1;
  std::size_t same_as = kNone;    // an earlier peer with the same address speaks for this one
  const NamedKey* key = nullptr;  // keyed: the key for this host's name
  std::string nonce;              // keyed: drawn for this host, sent in each EHLO
  std::string challenge;          // keyed: from the proven START the command answered
  Exchange exchange;

  // The address asked now; only for a peer whose name resolved.
  const sockaddr_in& address() const { return addresses[asking]; }
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

// Moves a peer whose address never answered at all on to the next address of its name
// that no host of this call has been asked at, with what is left of the time limit. Only
// silence allows it: with nothing heard, no command can have gone to that address.
bool ask_next_address(Peer& peer, std::vector<sockaddr_in>& asked, Clock::time_point now) {
  if (peer.heard || peer.exchange.result != Result::kNoAnswer) {
    return false;
  }
  const auto left = std::chrono::floor<std::chrono::milliseconds>(peer.exchange.deadline - now);
  for (std::size_t next = peer.asking + 1; left.count() > 0 && next < peer.addresses.size();
       ++next) {
    if (!contains(asked, peer.addresses[next])) {
      peer.asking = next;
      asked.push_back(peer.address());
      peer.exchange = start_exchange(now, left, peer.exchange.keyed);
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

void print_line(const std::string& line) {
  // A fleet's lines should show up as hosts finish, also through a pipe. Output that cannot
  // be written has nowhere to be reported; the exit status still tells.
  (void)std::fputs(line.c_str(), stdout);
  (void)std::fputc('\n', stdout);
  (void)std::fflush(stdout);
}

// The command word of what hosts are asked to do.
std::string_view word_of(Command command) {
  return command == Command::kQuit ? protocol::kQuitWord : protocol::kSuspendWord;
}

// The datagram that what stands for, to peer.
std::string datagram_for(const Peer& peer, Send what, Command command) {
  const std::string_view word = word_of(command);
  if (peer.key == nullptr) {
    return std::string(what == Send::kEhlo         ? protocol::kEhlo
                       : command == Command::kQuit ? protocol::kQuit
                                                   : protocol::kSuspend);
  }
  // A command is sent only on a proven START, whose challenge the peer keeps.
  return what == Send::kEhlo ? ehlo_datagram(*peer.key, peer.nonce)
                             : command_datagram(*peer.key, word, peer.challenge);
}

void send_to(const Peer& peer, Send what, Command command) {
  if (what == Send::kNothing) {
    return;
  }
  const std::string text = datagram_for(peer, what, command);
  // A failed send is a lost datagram: the exchange repeats EHLO or gives up in time.
  (void)sendto(peer.fd, text.data(), text.size(), 0,
               reinterpret_cast<const sockaddr*>(&peer.address()), sizeof(sockaddr_in));
}

// Reads every waiting datagram and hands those from the host's own address and port on.
void receive_replies(Peer& peer, Command command, Clock::time_point now) {
  std::array<char, 1024> buffer{};
  for (;;) {
    sockaddr_in sender{};
    socklen_t length = sizeof sender;
    const ssize_t size = recvfrom(peer.fd, buffer.data(), buffer.size(), 0,
                                  reinterpret_cast<sockaddr*>(&sender), &length);
    if (size < 0) {
      return;
    }
    if (length != sizeof sender || sender.sin_family != AF_INET ||
        !same_address(sender, peer.address())) {
      continue;
    }
    const std::string_view text(buffer.data(), static_cast<std::size_t>(size));
    const Reply reply = peer.key == nullptr ? reply_of(text)
                                            : proven_reply(text, peer.key->key, peer.nonce,
                                                           peer.challenge, word_of(command));
    // With a key, only a proven reply shows that the daemon is there: a forger's datagram
    // must not keep the client from the name's next address.
    peer.heard = peer.heard || peer.key == nullptr || reply != Reply::kOther;
    const Send send = on_reply(peer.exchange, reply, now);
    if (send == Send::kCommand && reply == Reply::kKeyedStart) {
      peer.challenge = read_start(text)->challenge;
    }
    send_to(peer, send, command);
    if (peer.exchange.step == Step::kFinished) {
      return;
    }
  }
}

// Every host of one call, and what has been reported of them.
struct Fleet {
  std::vector<Peer> peers;
  std::vector<sockaddr_in> asked;  // every address that a host of this call has been asked at
  std::vector<Result> results;
  std::size_t pending = 0;  // peers with a socket, still to be reported
};

// Reports a host that is done before it was asked anything.
void finish_early(Fleet& fleet, Peer& peer, Result result, Command command) {
  peer.exchange.step = Step::kFinished;
  peer.exchange.result = result;
  print_line(result_line(peer.argument, result, command));
  fleet.results.push_back(result);
}

// Resolves the i-th target's name and opens its socket, unless an earlier host of the call
// has the same address.
void prepare_peer(Fleet& fleet, std::size_t i, const Target& target, const KeySet* keys,
                  Command command) {
  Peer& peer = fleet.peers[i];
  peer.argument = target.argument;
  if (keys != nullptr) {
    peer.key = keys->for_host(peer.argument);
    peer.nonce = new_nonce();
  }
  peer.addresses = resolve(target);
  if (peer.addresses.empty()) {
    finish_early(fleet, peer, Result::kUnresolved, command);
    return;
  }
  // Two sessions with one daemon would lock each other out, and a second command could
  // run twice: a host named twice is asked once and reported under each name.
  for (std::size_t j = 0; j < i; ++j) {
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
    finish_early(fleet, peer, Result::kNoAnswer, command);
    return;
  }
  ++fleet.pending;
}

// Reports whatever has finished, with any other names of the same host, and lets its socket
// go; returns when the next unfinished exchange has something to do.
Clock::time_point report_finished(Fleet& fleet, Command command, Clock::time_point now) {
  Clock::time_point wake = Clock::time_point::max();
  for (std::size_t i = 0; i < fleet.peers.size(); ++i) {
    Peer& peer = fleet.peers[i];
    if (peer.fd == -1) {
      continue;
    }
    if (peer.exchange.step != Step::kFinished || ask_next_address(peer, fleet.asked, now)) {
      wake = std::min(wake, wake_time(peer.exchange));
      continue;
    }
    for (std::size_t j = i; j < fleet.peers.size(); ++j) {
      if (j == i || fleet.peers[j].same_as == i) {
        print_line(result_line(fleet.peers[j].argument, peer.exchange.result, command));
        fleet.results.push_back(peer.exchange.result);
      }
    }
    close(peer.fd);
    peer.fd = -1;
    --fleet.pending;
  }
  return wake;
}

// Waits until wake for replies on every open socket and hands them on.
void wait_for_replies(Fleet& fleet, Command command, Clock::time_point now,
                      Clock::time_point wake) {
  std::vector<pollfd> ready;
  std::vector<std::size_t> polled;
  for (std::size_t i = 0; i < fleet.peers.size(); ++i) {
    if (fleet.peers[i].fd != -1) {
      ready.push_back(pollfd{fleet.peers[i].fd, POLLIN, 0});
      polled.push_back(i);
    }
  }
  // Rounded up, so that the loop does not spin through the last fraction of a millisecond.
  const auto wait = std::chrono::ceil<std::chrono::milliseconds>(wake - now);
  const int timeout = static_cast<int>(std::max<long>(0, wait.count()));
  if (poll(ready.data(), ready.size(), timeout) <= 0) {
    return;
  }
  const Clock::time_point arrived = Clock::now();
  for (std::size_t k = 0; k < ready.size(); ++k) {
    if ((ready[k].revents & (POLLIN | POLLERR)) != 0) {
      receive_replies(fleet.peers[polled[k]], command, arrived);
    }
  }
}

}  // namespace

Reply reply_of(std::string_view datagram) {
  const std::array<std::pair<std::string_view, Reply>, 5> exact{{
      {protocol::kStart, Reply::kStart},
      {protocol::kLocked, Reply::kLocked},
      {protocol::kOk, Reply::kOk},
      {protocol::kEnd, Reply::kEnd},
      {protocol::kKeyedNotice, Reply::kKeyed},
  }};
  for (const auto& [text, reply] : exact) {
    if (datagram == text) {
      return reply;
    }
  }
  if (read_start(datagram)) {
    return Reply::kKeyedStart;
  }
  if (read_ok(datagram)) {
    return Reply::kKeyedOk;
  }
  return Reply::kOther;
}

Reply proven_reply(std::string_view datagram, const Key& key, std::string_view nonce,
                   std::string_view challenge, std::string_view word) {
  if (proven_start(datagram, key, nonce)) {
    return Reply::kKeyedStart;
  }
  return proven_ok(datagram, key, challenge, word) ? Reply::kKeyedOk : Reply::kOther;
}

Exchange start_exchange(Clock::time_point now, std::chrono::milliseconds time_limit, bool keyed) {
  Exchange exchange;
  exchange.keyed = keyed;
  exchange.next = now;
  exchange.deadline = now + time_limit;
  return exchange;
}

Clock::time_point wake_time(const Exchange& exchange) {
  return std::min(exchange.next, exchange.deadline);
}

Send on_timer(Exchange& exchange, Clock::time_point now) {
  if (exchange.step == Step::kFinished) {
    return Send::kNothing;
  }
  if (now >= exchange.deadline) {
    // Only a command sent may have been carried out; before it, the host was either held by
    // a session (ours whose START was lost, or another client's) or silent.
    if (exchange.step == Step::kCommanded) {
      finish(exchange, Result::kUnconfirmed);
    } else {
      finish(exchange, exchange.heard_locked ? Result::kLocked : Result::kNoAnswer);
    }
    return Send::kNothing;
  }
  if (now < exchange.next) {
    return Send::kNothing;
  }
  switch (exchange.step) {
  case Step::kGreeting:
    if (exchange.ehlos >= kEhloTries) {
      finish(exchange, Result::kNoAnswer);
      return Send::kNothing;
    }
    ++exchange.ehlos;
    exchange.next = now + kResendInterval;
    return Send::kEhlo;
  case Step::kWaitingForLock:
    exchange.step = Step::kGreeting;
    exchange.ehlos = 1;
    exchange.next = now + kResendInterval;
    return Send::kEhlo;
  case Step::kCommanded:
    // Copies of a keyed command are carried out once, so it may go again while no OK comes.
    if (exchange.keyed && exchange.commands < kKeyedCommandTries) {
      ++exchange.commands;
      exchange.next = now + kResendInterval;
      return Send::kCommand;
    }
    finish(exchange, Result::kUnconfirmed);
    return Send::kNothing;
  case Step::kFinished:
    break;
  }
  return Send::kNothing;
}

Send on_reply(Exchange& exchange, Reply reply, Clock::time_point now) {
  const bool asking = exchange.step == Step::kGreeting || exchange.step == Step::kWaitingForLock;
  // With a key only proven replies count, anything else may be forged; without one, a
  // keyed reply is not for us.
  if (exchange.keyed != (reply == Reply::kKeyedStart || reply == Reply::kKeyedOk)) {
    return Send::kNothing;
  }
  switch (reply) {
  case Reply::kStart:
  case Reply::kKeyedStart:
    // Without a key, only the socket that opened a session is told START, so the session is
    // ours; with one, the START proves that it answers our nonce. The command goes out on
    // the first. One that arrives after the time limit is let go: a command sent now could
    // suspend the host after the client has given it up.
    if (!asking || now >= exchange.deadline) {
      return Send::kNothing;
    }
    exchange.step = Step::kCommanded;
    exchange.commands = 1;
    exchange.next = now + (exchange.keyed ? kResendInterval : kCommandWait);
    return Send::kCommand;
  case Reply::kLocked:
    // A session holds the daemon: another client's, or ours if the START of one of our
    // EHLOs was lost. Either way the command waits for a START; guessing could carry it out
    // in a session that then reports nothing, or twice.
    if (exchange.step == Step::kGreeting) {
      exchange.heard_locked = true;
      wait_for_lock(exchange, now);
    }
    return Send::kNothing;
  case Reply::kOk:
  case Reply::kKeyedOk:
    // Only the owner's command is answered OK; with a key, only our command's proof holds.
    if (exchange.step == Step::kCommanded) {
      finish(exchange, Result::kDone);
    }
    return Send::kNothing;
  case Reply::kEnd:
    // END goes only to a session's owner: before the command, that is our own session whose
    // START was lost, and the daemon is free again now.
    if (asking) {
      exchange.step = Step::kWaitingForLock;
      exchange.next = now;
    }
    return Send::kNothing;
  case Reply::kKeyed:
    // A client without a key never sends a command that a keyed daemon would refuse.
    if (asking) {
      finish(exchange, Result::kNeedsKey);
    }
    return Send::kNothing;
  case Reply::kOther:
    break;
  }
  return Send::kNothing;
}

std::string result_line(const std::string& host, Result result, Command command) {
  const char* text = "no answer";
  switch (result) {
  case Result::kDone:
    text = command == Command::kQuit ? "stopped" : "suspended";
    break;
  case Result::kLocked:
    text = "locked by another client";
    break;
  case Result::kUnconfirmed:
    text = "command not confirmed";
    break;
  case Result::kNeedsKey:
    text = "needs a key";
    break;
  case Result::kUnresolved:
    text = "cannot resolve";
    break;
  case Result::kPending:
  case Result::kNoAnswer:
    break;
  }
  return host + ": " + text;
}

int exit_status_of(const std::vector<Result>& results) {
  int status = 0;
  for (const Result result : results) {
    if (result == Result::kNeedsKey) {
      status = kKeyMismatchStatus;
    } else if (result == Result::kLocked) {
      status = status == 0 ? kLockedStatus : status;
    } else if (result != Result::kDone) {
      return kSilentStatus;
    }
  }
  return status;
}

std::string magic_packet(const Mac& mac) {
  std::string packet(6, '\xff');
  for (int i = 0; i < 16; ++i) {
    for (const std::uint8_t byte : mac) {
      packet.push_back(static_cast<char>(byte));
    }
  }
  return packet;
}

int run_command(Command command, const std::vector<Target>& targets,
                std::chrono::milliseconds time_limit, const KeySet* keys) {
  raise_descriptor_limit();
  Fleet fleet;
  fleet.peers.resize(targets.size());
  // Names are looked up one after another before any host is contacted, so that every
  // host then gets the whole time limit.
  for (std::size_t i = 0; i < targets.size(); ++i) {
    prepare_peer(fleet, i, targets[i], keys, command);
  }
  const Clock::time_point start = Clock::now();
  for (Peer& peer : fleet.peers) {
    if (peer.fd != -1) {
      peer.exchange = start_exchange(start, time_limit, peer.key != nullptr);
    }
  }
  while (fleet.pending > 0) {
    const Clock::time_point now = Clock::now();
    for (Peer& peer : fleet.peers) {
      if (peer.fd != -1 && peer.exchange.step != Step::kFinished) {
        send_to(peer, on_timer(peer.exchange, now), command);
      }
    }
    const Clock::time_point wake = report_finished(fleet, command, now);
    if (fleet.pending > 0) {
      wait_for_replies(fleet, command, now, wake);
    }
  }
  return exit_status_of(fleet.results);
}

int send_wake(const std::vector<Sleeper>& sleepers, in_addr address, std::uint16_t port) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const int on = 1;
  if (fd == -1 || setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) == -1) {
    (void)std::fprintf(stderr, "lomarind: cannot open a broadcast socket: %s\n",
                       std::strerror(errno));
    return kSilentStatus;
  }
  sockaddr_in destination{};
  destination.sin_family = AF_INET;
  destination.sin_addr = address;
  destination.sin_port = htons(port);
  int status = 0;
  for (const Sleeper& sleeper : sleepers) {
    const std::string packet = magic_packet(sleeper.mac);
    const ssize_t sent =
        sendto(fd, packet.data(), packet.size(), 0, reinterpret_cast<const sockaddr*>(&destination),
               sizeof destination);
    if (sent != static_cast<ssize_t>(packet.size())) {
      (void)std::fprintf(stderr, "lomarind: %s: cannot send the magic packet: %s\n",
                         sleeper.argument.c_str(),
                         sent < 0 ? std::strerror(errno) : "sent in part");
      status = kSilentStatus;
      continue;
    }
    print_line(sleeper.argument + ": magic packet sent");
  }
  close(fd);
  return status;
}
